// The device check's 2022 exchange, when the device declares that edition
// (X-GB-Ver 3.x on its REGISTER): the five 2022 queries, a PTZPreciseCtrl
// between two PTZPosition queries, one snapshot and a firmware upgrade, all
// through the signalling rows an operator clicks, at once after the device
// registered. The queries and the snapshot go out together; the upgrade goes
// last, because the device unregisters to install it and registers again
// before it reports (that registration starts the core's query chain again).
#include "app/core/CTarvexCore.h"
#include "check/battery/checks/Gb2022.h"
#include "check/driver/CheckDriver.h"
#include "export/http/TransferBook.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tarvex::check {
namespace {

using namespace std::chrono_literals;

// Signalling rows (src/manscdp/builder/CommandEntry.cpp, src/manscdp/gb2022).
constexpr int kRowSnapShot = 9;     // 图像抓拍配置
constexpr int kRowCruiseList = 13;  // 巡航轨迹列表查询
constexpr int kRowPrecise = 43;     // PTZ精准控制
constexpr int kRowUpgrade = 44;     // 设备软件升级
constexpr int kRowHome = 48;        // 看守位查询
constexpr int kRowCruiseTrack = 49; // 巡航轨迹查询
constexpr int kRowPosition = 50;    // PTZ精准状态查询
constexpr int kRowSdCard = 51;      // 存储卡状态查询
// A file that is no firmware, small enough to cost nothing to serve.
constexpr std::size_t kFirmwareBytes = 4096;

std::string Fixed(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

} // namespace

void CheckDriver::Click2022(int row, RowValues values) {
    OperatorInputs in;
    in.rowValues = std::move(values);
    core_.ClickCommand(kListSignalling, row, in);
}

const ObservedMessage* CheckDriver::LastResponse(std::size_t from, const char* cmdType) {
    ReadLog();
    const ObservedMessage* last = nullptr;
    for (std::size_t i = from; i < messages_.size(); ++i)
        if (messages_[i].Received() && messages_[i].manscdp.Is("Response", cmdType)) last = &messages_[i];
    return last;
}

bool CheckDriver::Notified(std::size_t from, const char* cmdType) {
    ReadLog();
    for (std::size_t i = from; i < messages_.size(); ++i)
        if (messages_[i].Received() && messages_[i].manscdp.Is("Notify", cmdType)) return true;
    return false;
}

void CheckDriver::Gb2022() {
    ReadLog();
    Observation seen;
    seen.messages = messages_;
    if (!DeviceEdition(seen).is2022 || Cancelled()) return;
    SubStep("the 2022 queries, snapshot and upgrade");
    const std::size_t from = messages_.size();
    Click2022(kRowPosition, {});
    Click2022(kRowCruiseList, {});
    Click2022(kRowHome, {});
    Click2022(kRowSdCard, {});
    Click2022(kRowSnapShot, {{"SnapNum", "1"}, {"Interval", "1"}});
    // The cruise track asked for is the first the list names.
    WaitFor([&] { return LastResponse(from, "CruiseTrackListQuery") && LastResponse(from, "PTZPosition"); },
            options_.answerWait);
    std::string track = "1";
    if (const ObservedMessage* l = LastResponse(from, "CruiseTrackListQuery")) {
        const std::string n = ChildText(l->manscdp.root.ChildByName("CruiseTrackList").ChildByName("CruiseTrack"),
                                        "Number");
        if (!n.empty() && n.size() <= 3) track = n;
    }
    Click2022(kRowCruiseTrack, {{"Number", track}});

    // Somewhere the device is not: a quarter turn on, the other half of the
    // tilt range, another zoom.
    double pan = 0, tilt = 0, zoom = 1;
    if (const ObservedMessage* p = LastResponse(from, "PTZPosition")) {
        pan = std::atof(ChildText(p->manscdp.root, "Pan").c_str());
        tilt = std::atof(ChildText(p->manscdp.root, "Tilt").c_str());
        zoom = std::atof(ChildText(p->manscdp.root, "Zoom").c_str());
    }
    const double toPan = std::fmod(std::fabs(pan) + 90.0, 360.0);
    const double toTilt = tilt > 30 ? 10.0 : 45.0;
    const double toZoom = zoom >= 2.5 ? 1.0 : 4.0;
    ReadLog();
    const std::size_t moved = messages_.size();
    Click2022(kRowPrecise, {{"Pan", Fixed(toPan)}, {"Tilt", Fixed(toTilt)}, {"Zoom", Fixed(toZoom)}});
    WaitFor(
        [&] {
            ReadLog();
            const ObservedMessage* sent = FindSentRequest(moved, "MESSAGE");
            return sent && FinalAnswer(*sent);
        },
        options_.answerWait);
    // Asked again while it still moves, up to the answer wait.
    const auto until = std::chrono::steady_clock::now() + options_.answerWait;
    for (;;) {
        ReadLog();
        const std::size_t asked = messages_.size();
        Click2022(kRowPosition, {});
        WaitFor([&] { return LastResponse(asked, "PTZPosition") != nullptr; }, options_.answerWait);
        const ObservedMessage* p = LastResponse(asked, "PTZPosition");
        if (!p || Cancelled() || std::chrono::steady_clock::now() + 300ms > until) break;
        const double got = std::atof(ChildText(p->manscdp.root, "Pan").c_str());
        if (std::fabs(got - toPan) <= 1.0 || ChildText(p->manscdp.root, "Pan").empty()) break;
        Pause(300ms);
    }
    WaitFor(
        [&] {
            return LastResponse(from, "HomePositionQuery") && LastResponse(from, "SDCardStatus") &&
                   LastResponse(from, "CruiseTrackQuery") && Notified(from, "UploadSnapShotFinished");
        },
        options_.answerWait);

    // The upgrade: a small file served once; the device reports after it
    // registered again.
    if (Cancelled()) return;
    std::error_code ec;
    std::filesystem::create_directories(options_.outDir, ec);
    const std::filesystem::path file = options_.outDir / "check-firmware.bin";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (std::size_t i = 0; i < kFirmwareBytes; ++i) out.put(static_cast<char>(i * 7 % 251));
    }
    ReadLog();
    const std::size_t upgrade = messages_.size();
    std::string manufacturer = "Tarvex";
    for (const ObservedMessage& m : messages_)
        if (m.Received() && m.manscdp.Is("Response", "DeviceInfo"))
            if (std::string v = ChildText(m.manscdp.root, "Manufacturer"); !v.empty() && v.size() <= 64)
                manufacturer = v;
    Click2022(kRowUpgrade, {{"Manufacturer", manufacturer},
                            {"Firmware", "tarvex-check"},
                            {"FirmwareFile", file.string()}});
    // The offer holds the bytes: the file is not needed any more.
    std::filesystem::remove(file, ec);
    WaitFor([&] { return Notified(upgrade, "DeviceUpgradeResult"); }, options_.answerWait);
    // Registered again, the device gets the chain's Catalog a second later;
    // the check's clicks on the tree wait for it (its rows are applied just
    // after they are logged).
    ReadLog();
    bool again = false;
    for (std::size_t i = upgrade; i < messages_.size(); ++i)
        again = again || (messages_[i].Received() && messages_[i].IsRequest("REGISTER") &&
                          messages_[i].sip.Value("Expires") != "0");
    if (again && WaitFor([&] { return Answered(upgrade, "Catalog"); }, options_.answerWait + 1s))
        Pause(300ms);
}

void CheckDriver::ObserveTransfers(Observation& obs) {
    std::error_code ignored;
    for (const ObservedMessage& m : obs.messages) {
        if (!m.Sent() || !m.IsRequest("MESSAGE") || m.manscdp.rootName != "Control") continue;
        if (const XMLNode s = m.manscdp.root.ChildByName("SnapShotConfig"); !s.IsEmpty()) {
            http::SnapshotSession got;
            bool closed = false;
            const std::string id = ChildText(s, "SessionID");
            if (!core_.SnapshotSeen(id, got, closed)) continue;
            SnapshotReceipt r{id, got.channel, {}, got.refused, closed};
            for (const auto& f : got.files) {
                std::ifstream in(f, std::ios::binary);
                const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                r.files.push_back({std::filesystem::relative(f, std::filesystem::current_path(), ignored).string(),
                                   bytes.size(), http::LooksLikeJpeg(bytes)});
            }
            obs.transfers.snapshots.push_back(std::move(r));
        }
        if (const XMLNode u = m.manscdp.root.ChildByName("DeviceUpgrade"); !u.IsEmpty()) {
            http::FirmwareOffer o;
            const std::string id = ChildText(u, "SessionID");
            if (!core_.FirmwareSeen(id, o)) continue;
            obs.transfers.firmware.push_back(
                {id, o.name, o.bytes ? o.bytes->size() : 0, o.served, o.fetched, o.complete});
        }
    }
}

} // namespace tarvex::check
