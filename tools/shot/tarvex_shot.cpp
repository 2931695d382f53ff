// Starts the main window offscreen, fills it with the state of a session with
// one registered camera (channels in the tree, command lists, a few log rows,
// a picture and statistics) and saves a PNG of it.
//
//   QT_QPA_PLATFORM=offscreen build/tools/shot/tarvex_shot docs/shell.png [WIDTH HEIGHT]
//   QT_QPA_PLATFORM=offscreen build/tools/shot/tarvex_shot settings.png --settings

#include "app/shell/CDlgCfgDialog.h"
#include "app/shell/CListX.h"
#include "app/shell/CStaticEx.h"
#include "app/shell/CTarvexDlg.h"
#include "manscdp/cfg/CfgIniStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

// A colour-bar test card with a moving-object stand-in, drawn as packed BGR
// and handed to the view the way the decoder does.
void PresentTestCard(CStaticEx* view) {
    const int w = view->width(), h = view->height();
    QImage img(w, h, QImage::Format_BGR888);
    QPainter p(&img);
    const QColor bars[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green,
                           Qt::magenta, Qt::red, Qt::blue, Qt::black};
    for (int i = 0; i < 8; ++i)
        p.fillRect(QRect(i * w / 8, 0, w / 8 + 1, h * 2 / 3), bars[i]);
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0, Qt::black);
    g.setColorAt(1, Qt::white);
    p.fillRect(QRect(0, h * 2 / 3, w, h / 3), g);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setPixelSize(18);
    p.setFont(f);
    p.fillRect(QRect(8, 8, 330, 28), QColor(0, 0, 0, 160));
    p.drawText(QRect(14, 8, 320, 28), Qt::AlignVCenter, "2026-12-08 09:30:05  Camera 01");
    p.end();
    view->Present(img.constBits(), w, h, static_cast<int>(img.bytesPerLine()));
}

// The picture needs no network: an endpoint that listens nowhere.
class QuietEndpoint final : public ISipEndpoint {
public:
    int Start(int, const SipSettings&, ISipEvents&) override { return 0; }
    void Stop() override {}
    bool IsStarted() const override { return false; }
    void SetContentType(const std::string&) override {}
    SendResult Send(const SipRequest&) override { return {}; }
    void EndCall(int, int) override {}
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("shell.png");
    const bool settingsOnly = argc > 2 && QString::fromLocal8Bit(argv[2]) == "--settings";
    const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
    const int height = argc > 3 ? std::atoi(argv[3]) : 720;

    QTemporaryDir dir;
    const std::string ini = QDir(dir.path()).filePath("config.ini").toStdString();
    {
        // A working configuration, written the way the settings dialog stores it.
        auto cfg = LoadSettings(ini);
        CfgTexts t = cfg->Texts();
        auto set = [&](CfgField f, const char* v) { t[static_cast<int>(f)] = v; };
        set(CfgField::LocalTransport, "0");
        set(CfgField::LocalId, "34020000002000000001");
        set(CfgField::LocalDomain, "3402000000");
        set(CfgField::LocalAddress, "127.0.0.1");
        set(CfgField::LocalPort, "5060");
        set(CfgField::MediaTransport, "0");
        set(CfgField::MediaAddress, "127.0.0.1");
        set(CfgField::MediaPort, "6000");
        set(CfgField::DownloadSpeed, "4");
        set(CfgField::PtzAddress, "0");
        set(CfgField::PtzSpeed, "50");
        std::string msg;
        if (!cfg->Accept(t, nullptr, &msg)) {
            std::fprintf(stderr, "settings: %s\n", msg.c_str());
            return 1;
        }
    }
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings(ini);
    parts.sip = std::make_unique<QuietEndpoint>();
    parts.timerThread = false; // nothing is sent: no follow-ups
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    if (settingsOnly) {
        CDlgCfgDialog cfg(dlg.Core().Settings());
        cfg.show();
        QApplication::processEvents();
        const bool ok = cfg.grab().save(out, "PNG");
        std::printf("%s %s\n", ok ? "saved" : "cannot write", out.toLocal8Bit().constData());
        return ok ? 0 : 1;
    }
    dlg.resize(width, height);
    dlg.show();
    QApplication::processEvents();

    // A camera's session as the endpoint reports it: the registration, the
    // catalog with two channels, a recording search and a heartbeat.
    CTarvexCore& core = dlg.Core();
    const std::string dev = "34020000001320000001";
    auto log = [&](int dir, LoggedMessage::Role role, const std::string& head, const std::string& body) {
        LoggedMessage m;
        m.direction = dir;
        m.role = role;
        m.deviceId = dev;
        m.peerUser = dev;
        m.head = head;
        m.body = body;
        core.OnMessageLogged(m);
    };
    log(kLogReceived, LoggedMessage::Role::Register,
        "REGISTER sip:34020000002000000001@3402000000 SIP/2.0\r\nVia: SIP/2.0/UDP "
        "127.0.0.1:15060;rport;branch=z9hG4bK1\r\nFrom: <sip:34020000001320000001@3402000000>;tag=1\r\n",
        "No Body!\n");
    log(kLogSent, LoggedMessage::Role::RegisterAnswer,
        "SIP/2.0 200 OK\r\nDate: 2026-12-08T09:30:01\r\n", "No Body!\n");
    core.OnDeviceRegistered({dev, "127.0.0.1", 15060});
    log(kLogReceived, LoggedMessage::Role::Plain,
        "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\n",
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>\r\n"
        "<SN>10</SN>\r\n<DeviceID>34020000001320000001</DeviceID>\r\n<SumNum>2</SumNum>\r\n"
        "<DeviceList Num=\"2\">\r\n<Item><DeviceID>34020000001310000001</DeviceID></Item>\r\n"
        "<Item><DeviceID>34020000001310000002</DeviceID></Item>\r\n</DeviceList>\r\n</Response>\r\n");
    log(kLogSent, LoggedMessage::Role::Plain, "SIP/2.0 200 OK\r\n", "No Body!\n");
    log(kLogReceived, LoggedMessage::Role::Plain,
        "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\n",
        "<?xml version=\"1.0\"?>\r\n<Response>\r\n<CmdType>RecordInfo</CmdType>\r\n<SN>12</SN>\r\n"
        "<DeviceID>34020000001310000001</DeviceID>\r\n<RecordList Num=\"1\">\r\n<Item>"
        "<DeviceID>34020000001310000001</DeviceID><FilePath>2026-12-08T08:00:00</FilePath>"
        "<StartTime>2026-12-08T08:00:00</StartTime><EndTime>2026-12-08T20:00:00</EndTime></Item>\r\n"
        "</RecordList>\r\n</Response>\r\n");
    log(kLogReceived, LoggedMessage::Role::Plain,
        "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\n",
        "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<SN>3</SN>\r\n"
        "<Status>OK</Status>\r\n</Notify>\r\n");
    dlg.TakeLogRows();
    // The tree is redrawn by the window's batch timer.
    QElapsedTimer batch;
    batch.start();
    while (batch.elapsed() < 3 * CTarvexDlg::kTreeBatchMs) QApplication::processEvents();
    QTreeWidget* tree = dlg.DeviceTree();
    tree->expandAll();
    if (QTreeWidgetItem* root = tree->topLevelItem(0); root && root->childCount() > 0 &&
                                                        root->child(0)->childCount() > 0)
        tree->setCurrentItem(root->child(0)->child(0));
    dlg.Ctl<QTreeWidget>(1080)->topLevelItem(2)->setCheckState(0, Qt::Checked);
    CLogModel* model = dlg.MessageList()->Model();
    model->setData(model->index(2, 0), Qt::Checked, Qt::CheckStateRole);
    dlg.MessageList()->setCurrentIndex(model->index(4, 0));

    dlg.Ctl<QPlainTextEdit>(1091)->setPlainText(
        "<?xml version=\"1.0\"?>\r\n<Query>\r\n<CmdType>Catalog</CmdType>\r\n<SN>10</SN>\r\n"
        "<DeviceID>34020000001320000001</DeviceID>\r\n</Query>\r\n");
    dlg.Ctl<QLabel>(1090)->setText(
        U("解码 1250帧 丢 0帧 帧率 25 Fps 接收数据 6400 KB 码率 128 KBps \n").trimmed());
    dlg.Ctl<QLabel>(1101)->setText("00:00:50/12:00:00");
    dlg.Ctl<QProgressBar>(1100)->setValue(0);
    QApplication::processEvents();
    PresentTestCard(dlg.VideoView());
    QApplication::processEvents();
    QApplication::processEvents();

    if (!dlg.grab().save(out, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", out.toLocal8Bit().constData());
        return 1;
    }
    std::printf("saved %s (%dx%d)\n", out.toLocal8Bit().constData(), dlg.width(), dlg.height());
    return 0;
}
