// libFuzzer entry point for the session's receive path: the input is what a
// device writes on a TCP media connection. It goes through the TCP
// transmitter's deframing, RTP and RTCP parsing and the source table of a
// session without a poll thread; the packets handed out are reassembled and
// demultiplexed as the receiver does.
#include "media/recv/CHbPSDemux.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/rtp/RtpSession.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 60000) return 0;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    int buf = 1 << 20;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    {
        tvrtp::TcpTransmitter tcp;
        tcp.Init(true);
        tcp.Create(65535);
        tvrtp::SessionParams p;
        p.usePollThread = false;
        p.ownTimestampUnit = 1.0 / 90000;
        p.cname = "fuzz";
        tvrtp::Session s;
        if (s.Create(p, &tcp) == 0 && s.AddDestination(tvrtp::TcpAddress(sv[0])) == 0) {
            if (size) (void)!::send(sv[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            ::shutdown(sv[1], SHUT_WR);
            CHbRtpDemux rtp;
            CHbPSDemux ps;
            std::vector<uint8_t> out;
            for (int round = 0; round < 4; ++round) {
                s.Poll(0);
                s.BeginDataAccess();
                std::vector<std::unique_ptr<tvrtp::Packet>> got;
                if (s.GotoFirstSourceWithData()) {
                    do {
                        while (auto pk = s.GetNextPacket())
                            got.push_back(std::move(pk));
                    } while (s.GotoNextSourceWithData());
                }
                s.EndDataAccess();
                for (auto& pk : got) {
                    uint8_t* f;
                    int32_t n;
                    if (rtp.InputRtp(*pk, &f, &n)) {
                        out.resize(static_cast<size_t>(n));
                        ps.Demux(f, n, out.data());
                    }
                }
            }
            s.BYEDestroy(std::chrono::milliseconds(0), nullptr, 0);
        }
    }
    ::close(sv[0]);
    ::close(sv[1]);
    return 0;
}
