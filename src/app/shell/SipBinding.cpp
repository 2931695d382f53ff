#include "app/shell/SipBinding.h"

#include "base/TextCodec.h"
#include "app/shell/CDlgVHeader.h"
#include "app/shell/CListX.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "export/webview/CWebDlg.h"
#include "manscdp/cfg/CDlgCfg.h"
#include "manscdp/control/CommandBinding.h" // cmds
#include "sip/endpoint/SignalEndpoint.h"

#include <QCheckBox>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr int kItemIdRole = Qt::UserRole + 1;

QString Utf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

// The signalling core's view on the main dialog. Calls come from the SIP
// thread and the GUI thread; all of them are queued to the GUI thread and
// never wait for it.
class SignalWindowView final : public QObject, public ISignalView {
public:
    explicit SignalWindowView(CTarvexDlg* dlg) : QObject(dlg), dlg_(dlg) {}

    void AppendLogRow(const LogRow& row) override {
        Post([row](CTarvexDlg& d) {
            d.MessageList()->Model()->AppendRow({Utf8(row.ListTime()), Utf8(row.typeText),
                                                 Utf8(row.deviceId), Utf8(row.bodyText),
                                                 Utf8(row.headText)});
        });
    }

    void RebuildDeviceTree(const TreeItem& root) override {
        Post([root](CTarvexDlg& d) { Rebuild(*d.DeviceTree(), root); });
    }

    void ShowMessageBox(const std::string& text) override {
        Post([text](CTarvexDlg& d) { ShellMessage(&d, Utf8(text)); });
    }

    void SetPlaybackProgress(const std::string& text, int rangeSeconds, int position) override {
        Post([=](CTarvexDlg& d) {
            d.Ctl<QLabel>(1101)->setText(Utf8(text));
            d.Ctl<QProgressBar>(1100)->setRange(0, rangeSeconds > 0 ? rangeSeconds : 0);
            d.Ctl<QProgressBar>(1100)->setValue(position);
        });
    }

    void FillCommandList(int list, const std::vector<CommandEntry>& rows) override {
        QStringList labels;
        for (const auto& e : rows) labels << QString::fromUtf8(e.label);
        Post([list, labels](CTarvexDlg& d) {
            d.FillCommandList(list == kListSignalling ? 1080 : 1081, labels);
        });
    }

    void SetCommandChecked(int list, int row, bool checked) override {
        Post([=](CTarvexDlg& d) {
            auto* l = d.Ctl<QTreeWidget>(list == kListSignalling ? 1080 : 1081);
            if (row >= 0 && row < l->topLevelItemCount())
                l->topLevelItem(row)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
        });
    }

    void SetMessageText(const std::string& text) override {
        const QString t = Utf8(TextCodec::BodyToUtf8(text));
        Post([t](CTarvexDlg& d) { d.Ctl<QPlainTextEdit>(1091)->setPlainText(t); });
    }

private:
    template <class Fn> void Post(Fn fn) {
        QPointer<CTarvexDlg> target = dlg_;
        if (!target) return;
        QMetaObject::invokeMethod(
            target.data(), [target, fn] { if (target) fn(*target); }, Qt::QueuedConnection);
    }

    // Replaces the tree by the snapshot; the check marks are the view's and
    // survive the rebuild by item id.
    static void Rebuild(QTreeWidget& tree, const TreeItem& root) {
        std::map<int, Qt::CheckState> checks;
        int current = -1;
        std::vector<QTreeWidgetItem*> todo;
        for (int i = 0; i < tree.topLevelItemCount(); ++i) todo.push_back(tree.topLevelItem(i));
        while (!todo.empty()) {
            QTreeWidgetItem* it = todo.back();
            todo.pop_back();
            const QVariant id = it->data(0, kItemIdRole);
            if (id.isValid()) {
                checks[id.toInt()] = it->checkState(0);
                if (it == tree.currentItem()) current = id.toInt();
            }
            for (int i = 0; i < it->childCount(); ++i) todo.push_back(it->child(i));
        }
        const QSignalBlocker block(&tree);
        tree.clear();
        QTreeWidgetItem* selected = nullptr;
        std::function<void(QTreeWidgetItem*, const TreeItem&)> add = [&](QTreeWidgetItem* parent,
                                                                         const TreeItem& t) {
            auto* it = parent ? new QTreeWidgetItem(parent, {Utf8(t.text)})
                              : new QTreeWidgetItem(&tree, {Utf8(t.text)});
            it->setData(0, kItemIdRole, t.item);
            it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
            auto c = checks.find(t.item);
            it->setCheckState(0, c != checks.end() ? c->second : Qt::Unchecked);
            if (t.item == current) selected = it;
            for (const auto& ch : t.children) add(it, ch);
            it->setExpanded(t.expanded || !parent);
        };
        add(nullptr, root);
        if (selected) tree.setCurrentItem(selected);
    }

    QPointer<CTarvexDlg> dlg_;
};

} // namespace

std::unique_ptr<ISipEndpoint> MakeSipEndpoint(const std::filesystem::path& workbookDir) {
    return std::make_unique<SignalEndpoint>(true, workbookDir);
}

SignalCore* SignalCoreOf(ISipEndpoint& endpoint) {
    auto* s = dynamic_cast<SignalEndpoint*>(&endpoint);
    return s ? &s->Core() : nullptr;
}

void BindSip(CTarvexDlg& dlg) {
    auto* ep = dynamic_cast<SignalEndpoint*>(&dlg.Core().Sip());
    if (!ep) return;
    SignalCore& sig = ep->Core();
    // The view lives as long as the dialog; the endpoint (and its SIP thread)
    // stops before the dialog's children go.
    auto* view = new SignalWindowView(&dlg);
    sig.SetView(view);
    // Exit step 4: the device records go after the endpoint has stopped.
    dlg.Core().SetDeviceRecordsRelease([&sig] { sig.DeleteDevices(); });
    // Step 10: the signalling list gets its fixed table.
    sig.Builder().FillSignalling();

    // cmds: command bodies with the operator's inputs, the search dialog
    // before "文件检索" and drag zoom from the video view.
    auto* cmds = new CommandBinding(dlg, sig.Builder(), dlg.Core());
    dlg.onVideoDrag = [cmds](QPoint a, QPoint b) { cmds->OnVideoDrag(a, b); };
    dlg.onCommand = [&sig, cmds](int list, int row) {
        cmds->BeforeCommand(list, row); // cmds
        sig.Builder().ClickRow(list == 1080 ? kListSignalling : kListMedia, row);
    };
    dlg.onDeviceTreeClick = [&sig](QTreeWidgetItem* item) {
        const QVariant id = item->data(0, kItemIdRole);
        if (id.isValid()) sig.OnTreeClick(id.toInt());
    };
    QPointer<CTarvexDlg> target(&dlg);
    dlg.onLogDoubleClick = [&sig, target](int row, int column) {
        const SignalCore::ViewerRequest r = sig.OnLogDoubleClick(row, column);
        if (!target || r.viewer == SignalCore::Viewer::None) return;
        if (r.viewer == SignalCore::Viewer::Xml) {
            CWebDlg web(target);
            web.SetText(r.text);
            web.exec();
        } else {
            CDlgVHeader viewer(target);
            viewer.SetText(Utf8(TextCodec::BodyToUtf8(r.text)));
            viewer.exec();
        }
    };
    auto* custom = dlg.Ctl<QCheckBox>(1092);
    sig.Builder().SetCustomMode(custom->isChecked());
    QObject::connect(custom, &QCheckBox::toggled, &dlg,
                     [&sig](bool on) { sig.Builder().SetCustomMode(on); });
    // A check box in the device tree passes its state to every descendant.
    QTreeWidget* tree = dlg.DeviceTree();
    QObject::connect(tree, &QTreeWidget::itemChanged, &dlg, [tree](QTreeWidgetItem* item, int col) {
        if (col != 0 || !item) return;
        const QSignalBlocker b(tree);
        std::vector<QTreeWidgetItem*> todo{item};
        while (!todo.empty()) {
            QTreeWidgetItem* it = todo.back();
            todo.pop_back();
            for (int i = 0; i < it->childCount(); ++i) {
                it->child(i)->setCheckState(0, item->checkState(0));
                todo.push_back(it->child(i));
            }
        }
    });
}
