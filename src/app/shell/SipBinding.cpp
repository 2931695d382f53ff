#include "app/shell/SipBinding.h"

// --- signalling binding (sig): the endpoint is the signalling core; its view
// calls arrive from the SIP thread and the send worker and are queued to the
// GUI thread here.
#include "app/shell/CDlgVHeader.h"
#include "app/shell/CListX.h"
#include "app/shell/CTarvexDlg.h"
#include "export/webview/CWebDlg.h"
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

namespace {

constexpr int kItemRole = Qt::UserRole + 1;

class QtSignalView final : public QObject, public ISignalView {
public:
    explicit QtSignalView(CTarvexDlg& dlg) : QObject(&dlg), dlg_(&dlg) {}

    void AppendLogRow(const LogRow& row) override {
        QStringList cells = {QString::fromStdString(row.ListTime()),
                             QString::fromStdString(row.typeText),
                             QString::fromStdString(row.deviceId),
                             QString::fromStdString(row.bodyText),
                             QString::fromStdString(row.headText)};
        Post([cells](CTarvexDlg& d) { d.MessageList()->Model()->AppendRow(cells); });
    }
    void RebuildDeviceTree(const TreeItem& root) override {
        Post([root](CTarvexDlg& d) {
            QTreeWidget* tree = d.DeviceTree();
            const QSignalBlocker b(tree);
            d.ResetDeviceTree(root.text);
            QTreeWidgetItem* top = tree->topLevelItem(0);
            top->setData(0, kItemRole, root.item);
            AddChildren(top, root);
        });
    }
    void ShowMessageBox(const std::string& text) override {
        Post([text](CTarvexDlg& d) { d.ShowMessage(text); });
    }
    void SetPlaybackProgress(const std::string& text, int range, int pos) override {
        Post([text, range, pos](CTarvexDlg& d) {
            if (auto* l = d.Ctl<QLabel>(1101)) l->setText(QString::fromStdString(text));
            if (auto* p = d.Ctl<QProgressBar>(1100)) {
                p->setRange(0, range);
                p->setValue(pos);
            }
        });
    }
    void FillCommandList(int list, const std::vector<CommandEntry>& rows) override {
        QStringList labels;
        for (const auto& e : rows) labels << QString::fromUtf8(e.label);
        Post([list, labels](CTarvexDlg& d) { d.FillCommandList(ListId(list), labels); });
    }
    void SetCommandChecked(int list, int row, bool checked) override {
        Post([list, row, checked](CTarvexDlg& d) {
            auto* l = d.Ctl<QTreeWidget>(ListId(list));
            if (!l || row < 0 || row >= l->topLevelItemCount()) return;
            l->topLevelItem(row)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
        });
    }
    void SetMessageText(const std::string& text) override {
        Post([text](CTarvexDlg& d) {
            if (auto* e = d.Ctl<QPlainTextEdit>(1091)) e->setPlainText(QString::fromStdString(text));
        });
    }

private:
    static int ListId(int list) { return list == kListSignalling ? 1080 : 1081; }
    static void AddChildren(QTreeWidgetItem* parent, const TreeItem& t) {
        for (const auto& c : t.children) {
            auto* it = new QTreeWidgetItem(parent, {QString::fromStdString(c.text)});
            it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
            it->setCheckState(0, Qt::Unchecked);
            it->setData(0, kItemRole, c.item);
            AddChildren(it, c);
        }
        parent->setExpanded(t.expanded);
    }
    template <class F> void Post(F f) {
        QPointer<CTarvexDlg> d = dlg_;
        QMetaObject::invokeMethod(
            this, [d, f] { if (d) f(*d); }, Qt::QueuedConnection);
    }
    QPointer<CTarvexDlg> dlg_;
};

} // namespace

std::unique_ptr<ISipEndpoint> MakeSipEndpoint() { return std::make_unique<SignalEndpoint>(); }

void BindSip(CTarvexDlg& dlg) {
    auto* endpoint = dynamic_cast<SignalEndpoint*>(&dlg.Core().Sip());
    if (!endpoint) return;
    SignalCore& core = endpoint->Core();
    auto* view = new QtSignalView(dlg);
    core.SetView(view);
    // The endpoint started in the window's initialisation; SetView hands the
    // view whatever arrived before this.
    // cmds: command bodies with the operator's inputs, the search dialog
    // before "文件检索" and drag zoom from the video view.
    auto* cmds = new CommandBinding(dlg, core.Builder(), dlg.Core());
    dlg.onVideoDrag = [cmds](QPoint a, QPoint b) { cmds->OnVideoDrag(a, b); };
    dlg.onCommand = [&core, cmds](int id, int row) {
        cmds->BeforeCommand(id, row); // cmds
        core.Builder().ClickRow(id == 1080 ? kListSignalling : kListMedia, row);
    };
    dlg.onDeviceTreeClick = [&core](QTreeWidgetItem* item) {
        core.OnTreeClick(item->data(0, kItemRole).toInt());
    };
    dlg.onLogDoubleClick = [&core, &dlg](int row, int column) {
        SignalCore::ViewerRequest r = core.OnLogDoubleClick(row, column);
        if (r.viewer == SignalCore::Viewer::Xml) {
            CWebDlg web(&dlg);
            web.SetText(r.text);
            web.exec();
        } else if (r.viewer == SignalCore::Viewer::Text) {
            CDlgVHeader v(&dlg);
            v.SetText(QString::fromStdString(r.text));
            v.exec();
        }
    };
    if (auto* custom = dlg.Ctl<QCheckBox>(1092)) {
        core.Builder().SetCustomMode(custom->isChecked());
        QObject::connect(custom, &QCheckBox::toggled, &dlg,
                         [&core](bool on) { core.Builder().SetCustomMode(on); });
    }
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
// --- end of signalling binding
