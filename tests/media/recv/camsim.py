#!/usr/bin/python3
"""Plays a GB/T 28181 camera's media sender for tests.

Takes an H.264 or H.265 elementary stream, wraps every access unit as a
camera does (pack header; system header and program stream map before key
frames, naming stream type 0x1B or 0x24; video PES packets of at most 65535
bytes), cuts each picture into RTP packets of payload type 96 sharing one
timestamp, and sends them over UDP or TCP (RFC 4571 framing, or RTSP's
interleaved '$' header), connecting or listening. With --ps it sends a
program stream muxed by ffmpeg instead, one timestamp per pack.

Faults on demand: loss, reordering and duplication within a picture, a start
sequence number near 65535, a change of SSRC mid-stream, oversized packets, padding, CSRC lists, header
extensions, malformed and random packets, foreign payload types, empty and
unfinished TCP frames.

Standard library only. Prints one JSON line with what it sent.
"""
import argparse
import json
import random
import socket
import struct
import sys
import threading
import time


def split_nals(es):
    """Offsets where NAL units start (at their zero_byte when four-byte)."""
    starts = []
    i = 0
    n = len(es)
    while True:
        j = es.find(b"\x00\x00\x01", i)
        if j < 0 or j + 3 >= n:
            break
        s = j - 1 if j > 0 and es[j - 1] == 0 else j
        starts.append((s, j + 3))
        i = j + 3
    return starts


def looks_hevc(es):
    """H.265 by its first parameter set (VPS/SPS/PPS headers 40 01, 42 01, 44 01)."""
    for s, h in split_nals(es):
        if h + 1 < len(es) and es[h] in (0x40, 0x42, 0x44) and es[h + 1] == 0x01:
            return True
        if es[h] & 0x1F in (7, 8) and es[h] & 0x60:
            return False
    return False


def hevc_units(es, nals):
    cuts = [0]
    seen_vcl = False
    for s, h in nals:
        t = (es[h] >> 1) & 0x3F
        vcl = t <= 31
        first_slice = vcl and h + 2 < len(es) and (es[h + 2] & 0x80)
        opens = t in (32, 33, 34, 35, 39) or 41 <= t <= 44 or 48 <= t <= 55 or first_slice
        if seen_vcl and opens and s > cuts[-1]:
            cuts.append(s)
            seen_vcl = False
        if vcl:
            seen_vcl = True
    cuts.append(len(es))
    return [es[a:b] for a, b in zip(cuts, cuts[1:]) if b > a]


def access_units(es, hevc=False):
    """Splits an elementary stream into access units; their join is the input."""
    nals = split_nals(es)
    if not nals:
        return [es] if es else []
    if hevc:
        return hevc_units(es, nals)
    cuts = [0]
    seen_vcl = False
    for s, h in nals:
        t = es[h] & 0x1F
        first_mb_zero = h + 1 < len(es) and (es[h + 1] & 0x80)
        new_au = False
        if t == 9:
            new_au = seen_vcl or s > 0
        elif t in (6, 7, 8) and seen_vcl:
            new_au = True
        elif t in (1, 5) and seen_vcl and first_mb_zero:
            new_au = True
        if new_au and s > cuts[-1]:
            cuts.append(s)
            seen_vcl = False
        if t in (1, 5):
            seen_vcl = True
    cuts.append(len(es))
    units = [es[a:b] for a, b in zip(cuts, cuts[1:]) if b > a]
    return units


def is_key(au, hevc=False):
    for s, h in split_nals(au):
        if hevc:
            t = (au[h] >> 1) & 0x3F
            if 16 <= t <= 21 or t == 32:
                return True
        elif au[h] & 0x1F in (5, 7):
            return True
    return False


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if crc & 0x80000000 else (crc << 1) & 0xFFFFFFFF
    return crc


def pack_header(scr, stuffing):
    base = scr & ((1 << 33) - 1)
    b = bytearray(b"\x00\x00\x01\xba")
    b.append(0x44 | ((base >> 27) & 0x38) | ((base >> 28) & 0x03))
    b.append((base >> 20) & 0xFF)
    b.append((((base >> 12) & 0xF8) | 0x04 | ((base >> 13) & 0x03)) & 0xFF)
    b.append((base >> 5) & 0xFF)
    b.append((((base << 3) & 0xF8) | 0x04) & 0xFF)
    b.append(0x01)  # SCR extension 0 and marker
    b += bytes([0x01, 0x89, 0xC3])  # program mux rate and markers
    b.append(0xF8 | stuffing)
    b += b"\xff" * stuffing
    return bytes(b)


def system_header():
    body = bytes([0x80, 0x01, 0x89, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0x80, 0xC0, 0xC0, 0x20])
    return b"\x00\x00\x01\xbb" + struct.pack(">H", len(body)) + body


def stream_map(video_type=0x1B):
    es_map = bytes([video_type, 0xE0, 0x00, 0x00, 0x90, 0xC0, 0x00, 0x00])
    body = bytes([0xE0, 0xFF, 0x00, 0x00]) + struct.pack(">H", len(es_map)) + es_map
    head = b"\x00\x00\x01\xbc" + struct.pack(">H", len(body) + 4)
    crc = crc32_mpeg(head + body)
    return head + body + struct.pack(">I", crc)


def pts_bytes(pts):
    pts &= (1 << 33) - 1
    return bytes([0x21 | ((pts >> 29) & 0x0E), (pts >> 22) & 0xFF, ((pts >> 14) & 0xFE) | 1,
                  (pts >> 7) & 0xFF, ((pts << 1) & 0xFE) | 1])


def pes(stream_id, payload, pts=None):
    hdr = pts_bytes(pts) if pts is not None else b""
    flags = 0x80 if pts is not None else 0x00
    length = 3 + len(hdr) + len(payload)
    assert length <= 65535
    return b"\x00\x00\x01" + bytes([stream_id]) + struct.pack(">H", length) + bytes(
        [0x80, flags, len(hdr)]) + hdr + payload


def camera_frames(es, args, rng):
    """One program-stream frame per access unit."""
    frames = []
    limit = 65535 - 3 - 5  # PES packet length field, header flags, PTS
    hevc = args.codec == "h265" or (args.codec == "auto" and looks_hevc(es))
    for i, au in enumerate(access_units(es, hevc)):
        pts = 3600 * i
        ps = bytearray(pack_header(pts, args.stuffing))
        if is_key(au, hevc):
            ps += system_header()
            if not args.no_map:
                ps += stream_map(0x24 if hevc else 0x1B)
        first = True
        off = 0
        while off < len(au):
            room = limit if first else limit + 5
            chunk = au[off:off + room]
            ps += pes(0xE0, chunk, pts if first else None)
            first = False
            off += len(chunk)
        if args.audio:
            ps += pes(0xC0, bytes(rng.randrange(256) for _ in range(160)), pts)
        frames.append(bytes(ps))
    return frames


def ffmpeg_packs(ps):
    """Splits a program stream at its pack headers."""
    cuts = []
    i = 0
    while True:
        j = ps.find(b"\x00\x00\x01\xba", i)
        if j < 0:
            break
        cuts.append(j)
        i = j + 4
    if not cuts or cuts[0] != 0:
        cuts.insert(0, 0)
    cuts.append(len(ps))
    return [ps[a:b] for a, b in zip(cuts, cuts[1:]) if b > a]


def rtp_packet(args, seq, ts, ssrc, payload, marker, pt=96):
    first = 0x80
    extra = b""
    if args.csrc:
        first |= min(args.csrc, 15)
        extra += b"".join(struct.pack(">I", 0x1000 + k) for k in range(min(args.csrc, 15)))
    if args.ext is not None:
        first |= 0x10
        extra += struct.pack(">HH", 0xBEDE, args.ext) + b"\xab" * (4 * args.ext)
    pad = b""
    if args.padding:
        first |= 0x20
        pad = b"\x00" * (args.padding - 1) + bytes([args.padding])
    head = struct.pack(">BBHII", first, (0x80 if marker else 0) | pt, seq & 0xFFFF, ts & 0xFFFFFFFF,
                       ssrc)
    return head + extra + payload + pad


def malformed(rng, ts, ssrc):
    """Packets the receiver must refuse without harm."""
    kind = rng.randrange(4)
    if kind == 0:  # CSRC count pointing past the packet
        return struct.pack(">BBHII", 0x8F, 96, 1, ts, ssrc) + b"\x00" * 8
    if kind == 1:  # extension length pointing past the packet
        return struct.pack(">BBHII", 0x90, 96, 1, ts, ssrc) + struct.pack(">HH", 0xBEDE, 4000)
    if kind == 2:  # padding count larger than the packet
        return struct.pack(">BBHII", 0xA0, 96, 1, ts, ssrc) + b"\x00" * 3 + b"\xff"
    return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200)))


class Sender:
    def __init__(self, args):
        self.args = args
        self.rtcp = {"packets": 0, "rr": 0, "bye": 0, "sdes": 0}
        self.socks = []
        self.readers = []
        self.udp_rtcp = None
        self.sent_packets = 0
        self.sent_bytes = 0
        self.reconnects = 0
        self.ls = None

    def count_rtcp(self, data):
        i = 0
        self.rtcp["packets"] += 1
        while i + 4 <= len(data):
            pt = data[i + 1]
            ln = (struct.unpack(">H", data[i + 2:i + 4])[0] + 1) * 4
            if pt == 201:
                self.rtcp["rr"] += 1
            elif pt == 202:
                self.rtcp["sdes"] += 1
            elif pt == 203:
                self.rtcp["bye"] += 1
            i += ln

    def tcp_reader(self, s):
        buf = b""
        while True:
            try:
                d = s.recv(65536)
            except OSError:
                return
            if not d:
                return
            buf += d
            head = 4 if self.args.framing == "interleaved" else 2
            while len(buf) >= head:
                n = struct.unpack(">H", buf[head - 2:head])[0]
                if len(buf) < head + n:
                    break
                pkt = buf[head:head + n]
                buf = buf[head + n:]
                if n >= 2 and 200 <= pkt[1] <= 204:
                    self.count_rtcp(pkt)

    def udp_reader(self):
        while True:
            try:
                d = self.udp_rtcp.recv(65536)
            except OSError:
                return
            if d and len(d) >= 2 and 200 <= d[1] <= 204:
                self.count_rtcp(d)

    def open(self):
        a = self.args
        if a.transport == "udp":
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
            s.bind((a.bind, a.src_port))
            self.socks = [s]
            if a.src_port and a.listen_rtcp:
                self.udp_rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                self.udp_rtcp.bind((a.bind, a.src_port + 1))
                self.udp_rtcp.settimeout(0.2)
                t = threading.Thread(target=self.udp_reader, daemon=True)
                t.start()
        elif a.transport == "tcp-connect":
            deadline = time.time() + 10
            for _ in range(a.connections):
                while True:
                    try:
                        s = socket.create_connection((a.host, a.port), timeout=2,
                                                     source_address=(a.bind, 0))
                        break
                    except OSError:
                        if time.time() > deadline:
                            raise
                        time.sleep(0.05)
                self.socks.append(s)
        else:
            ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            ls.bind((a.bind, a.port))
            ls.listen(5)
            ls.settimeout(a.accept_timeout)
            print(json.dumps({"listening": a.port}), flush=True)
            for _ in range(a.connections):
                s, _ = ls.accept()
                self.socks.append(s)
            if a.drop_after:
                self.ls = ls  # the platform connects again after the drop
            else:
                ls.close()
        if a.transport != "udp":
            for s in self.socks:
                s.settimeout(None)
                t = threading.Thread(target=self.tcp_reader, args=(s,), daemon=True)
                t.start()
                self.readers.append(t)

    def reopen(self):
        """Drops the TCP connection and takes the next: connects again, or
        accepts the platform's new connection."""
        a = self.args
        old = self.socks.pop()
        try:
            old.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        old.close()
        if a.transport == "tcp-connect":
            time.sleep(0.2)
            deadline = time.time() + 10
            while True:
                try:
                    s = socket.create_connection((a.host, a.port), timeout=2,
                                                 source_address=(a.bind, 0))
                    break
                except OSError:
                    if time.time() > deadline:
                        raise
                    time.sleep(0.05)
        else:
            s, _ = self.ls.accept()
            self.ls.close()
        s.settimeout(None)
        t = threading.Thread(target=self.tcp_reader, args=(s,), daemon=True)
        t.start()
        self.readers.append(t)
        self.socks.append(s)
        self.reconnects += 1

    def send(self, data, raw_tcp=None):
        a = self.args
        s = self.socks[-1]
        if a.transport == "udp":
            s.sendto(data, (a.host, a.port))
        else:
            if raw_tcp is not None:
                s.sendall(raw_tcp)
            elif a.framing == "interleaved":
                s.sendall(b"$\x00" + struct.pack(">H", len(data)) + data)
            else:
                s.sendall(struct.pack(">H", len(data)) + data)
        self.sent_packets += 1
        self.sent_bytes += len(data)


def main():
    p = argparse.ArgumentParser()
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--es", help="H.264 elementary stream to wrap as a camera does")
    src.add_argument("--ps", help="program stream muxed by ffmpeg, one timestamp per pack")
    p.add_argument("--transport", choices=["udp", "tcp-connect", "tcp-listen"], default="udp")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--src-port", type=int, default=0, help="UDP source port (even)")
    p.add_argument("--listen-rtcp", action="store_true", help="count RTCP at src-port + 1")
    p.add_argument("--connections", type=int, default=1)
    p.add_argument("--accept-timeout", type=float, default=20)
    p.add_argument("--drop-after", type=int, default=0,
                   help="TCP: drop the connection before picture N and take a new one")
    p.add_argument("--payload", type=int, default=1400, help="RTP payload bytes per packet")
    p.add_argument("--seq-start", type=int, default=None)
    p.add_argument("--ts-start", type=int, default=None)
    p.add_argument("--ssrc", type=lambda x: int(x, 0), default=0x0BADCAFE)
    p.add_argument("--ssrc-switch", type=int, default=0,
                   help="from this picture on, send with --ssrc2 and a new sequence")
    p.add_argument("--ssrc2", type=lambda x: int(x, 0), default=0x5EC0DD)
    p.add_argument("--codec", choices=["auto", "h264", "h265"], default="auto",
                   help="elementary stream codec; auto tells by the parameter sets")
    p.add_argument("--no-map", action="store_true", help="no program stream map")
    p.add_argument("--framing", choices=["4571", "interleaved"], default="4571",
                   help="TCP framing: RFC 4571 length or RTSP's '$' channel length")
    p.add_argument("--loss", type=float, default=0)
    p.add_argument("--reorder", type=float, default=0)
    p.add_argument("--dup", type=float, default=0)
    p.add_argument("--garbage", type=float, default=0, help="malformed or random packets")
    p.add_argument("--foreign-pt", type=float, default=0, help="packets of payload type 8")
    p.add_argument("--tcp-zero", type=float, default=0, help="empty TCP frames")
    p.add_argument("--tcp-unfinished", action="store_true", help="end with a cut TCP frame")
    p.add_argument("--padding", type=int, default=0)
    p.add_argument("--csrc", type=int, default=0)
    p.add_argument("--ext", type=int, default=None, help="header extension words")
    p.add_argument("--stuffing", type=int, default=0, choices=range(8))
    p.add_argument("--audio", action="store_true", help="an audio PES after each picture")
    p.add_argument("--fps", type=float, default=0, help="pictures per second; 0 paces by bytes")
    p.add_argument("--pace-bytes", type=int, default=8000,
                   help="UDP bytes sent between 1 ms pauses; the receiver's buffer is small")
    p.add_argument("--linger", type=float, default=0, help="seconds to stay for RTCP after sending")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--count-only", action="store_true")
    p.add_argument("--dump", help="write the units to this file and their sizes to FILE.sizes")
    p.add_argument("--times", help="write 'unit monotonic-seconds' per unit once its last "
                                   "packet is sent")
    a = p.parse_args()
    rng = random.Random(a.seed)

    if a.es:
        units = camera_frames(open(a.es, "rb").read(), a, rng)
    else:
        units = ffmpeg_packs(open(a.ps, "rb").read())
    if a.dump:
        with open(a.dump, "wb") as f:
            for u in units:
                f.write(u)
        with open(a.dump + ".sizes", "w") as f:
            f.write("\n".join(str(len(u)) for u in units) + "\n")
        return 0
    if a.count_only:
        out = {"units": len(units), "last": len(units[-1]) if units else 0}
        if a.es:
            es = open(a.es, "rb").read()
            hevc = a.codec == "h265" or (a.codec == "auto" and looks_hevc(es))
            aus = access_units(es, hevc)
            out["last_es"] = len(aus[-1]) if aus else 0
        print(json.dumps(out))
        return 0

    snd = Sender(a)
    snd.open()
    seq = a.seq_start if a.seq_start is not None else rng.randrange(1000, 30000)
    ts = a.ts_start if a.ts_start is not None else rng.randrange(1 << 20, 1 << 30)
    paced = 0
    foreign_seq = 100
    ssrc = a.ssrc
    times = open(a.times, "w") if a.times else None
    for index, unit in enumerate(units):
        if a.drop_after and a.transport != "udp" and index == a.drop_after:
            snd.reopen()
        if a.ssrc_switch and index == a.ssrc_switch:
            # The camera restarts its stream: new SSRC, sequence and timestamps,
            # after a pause. Without it, loopback may hand the new source's first
            # packets over before the old one's last (when this process moves to
            # another CPU between the sends); the receiver then drops that late
            # picture, by design.
            time.sleep(0.05)
            ssrc = a.ssrc2
            seq = (seq + 20000) & 0xFFFF
            ts = (ts + 9000000) & 0xFFFFFFFF
        pkts = []
        chunks = [unit[o:o + a.payload] for o in range(0, len(unit), a.payload)]
        for k, c in enumerate(chunks):
            pkts.append(rtp_packet(a, seq, ts, ssrc, c, k == len(chunks) - 1))
            seq = (seq + 1) & 0xFFFF
        # Faults stay inside the picture: a packet moved into the next
        # timestamp would be lost by design, not by the fault.
        if a.reorder:
            k = 0
            while k + 1 < len(pkts):
                if rng.random() < a.reorder:
                    pkts[k], pkts[k + 1] = pkts[k + 1], pkts[k]
                    k += 2
                else:
                    k += 1
        out = []
        for pk in pkts:
            if a.loss and rng.random() < a.loss:
                continue
            out.append(pk)
            if a.dup and rng.random() < a.dup:
                out.append(pk)
            if a.garbage and rng.random() < a.garbage:
                out.append(malformed(rng, ts, ssrc))
            if a.foreign_pt and rng.random() < a.foreign_pt:
                # Another source of the same sender with a payload type of its own.
                out.append(rtp_packet(a, foreign_seq, ts + 1, ssrc ^ 0x5A5A, b"\x00\x00\x01\xe0",
                                      False, pt=8))
                foreign_seq = (foreign_seq + 1) & 0xFFFF
        for pk in out:
            snd.send(pk)
            if a.transport != "udp" and a.tcp_zero and rng.random() < a.tcp_zero:
                snd.send(b"", raw_tcp=b"\x00\x00")
            paced += len(pk)
            if a.transport == "udp" and not a.fps and paced > a.pace_bytes:
                time.sleep(0.001)
                paced = 0
        if times:
            times.write("%d %.6f\n" % (index, time.monotonic()))
        ts = (ts + 3600) & 0xFFFFFFFF
        if a.fps:
            time.sleep(1.0 / a.fps)
    if times:
        times.close()
    if a.tcp_unfinished and a.transport != "udp":
        snd.send(b"", raw_tcp=b"\xff\xf0" + b"\x80\x60")
    time.sleep(a.linger)
    for s in snd.socks:
        try:
            if a.transport != "udp":
                s.shutdown(socket.SHUT_WR)
        except OSError:
            pass
    if a.transport != "udp":
        for t in snd.readers:
            t.join(timeout=2)
    print(json.dumps({"units": len(units), "packets": snd.sent_packets, "bytes": snd.sent_bytes,
                      "last": len(units[-1]) if units else 0, "rtcp": snd.rtcp,
                      "reconnects": snd.reconnects}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
