#include "manscdp/control/CommandBinding.h"

#include "app/core/CTarvexCore.h"
#include "app/core/ICoreView.h"
#include "manscdp/builder/CommandBuilder.h"
#include "manscdp/cfg/CDlgCfg.h"
#include "manscdp/search/CDlgSearchDialog.h"

#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

namespace {

constexpr int kMediaListId = 1081;
constexpr int kRowRecordSearch = 3;

} // namespace

CommandBinding::CommandBinding(QWidget& window, CommandBuilder& builder, CTarvexCore& core,
                               const std::string& searchIni)
    : QObject(&window), window_(window), builder_(builder), core_(core),
      search_(std::make_shared<CDlgSearch>(searchIni)),
      bodies_(std::make_shared<CommandBodies>(search_.get())) {
    QPointer<CommandBinding> self(this);
    bodies_->onRefused = [self](const std::string& text) {
        // The builder holds its lock here: the message box opens later.
        QMetaObject::invokeMethod(
            self.data(),
            [self, text] {
                if (self) self->Show(text);
            },
            Qt::QueuedConnection);
    };
    ReadInputs(false);
    // The hook shares the bodies and the conditions: the builder may outlive
    // this object while the window is torn down.
    builder_.SetBodyHook(
        [bodies = bodies_, search = search_](int list, int set, int row, XMLNode& root) {
            bodies->Append(list, set, row, root);
        });
}

CommandBinding::~CommandBinding() = default;

void CommandBinding::Show(const std::string& text) {
    if (auto* v = dynamic_cast<ICoreView*>(&window_)) v->ShowMessage(text);
}

std::uint8_t CommandBinding::ReadByteBox(int id, std::uint8_t last, bool report) {
    auto* box = window_.findChild<QLineEdit*>(QStringLiteral("ctl%1").arg(id));
    if (!box) return last;
    const std::string text = box->text().toStdString();
    const std::string why = CDlgCfg::Validate(CfgField::PtzSpeed, text);
    if (!why.empty()) {
        if (report) Show(why);
        return last;
    }
    return static_cast<std::uint8_t>(CfgAtoi(text));
}

void CommandBinding::ReadInputs(bool report) {
    // The speed follows the slider and the box through the core; a box holding
    // anything but 0 to 255 is reported and the last accepted values are used.
    const std::uint8_t speed = static_cast<std::uint8_t>(core_.SpeedByte());
    ReadByteBox(1065, speed, report);
    preset_ = ReadByteBox(1104, preset_, report);
    auto* name = window_.findChild<QLineEdit*>(QStringLiteral("ctl1105"));
    auto* view = window_.findChild<QWidget*>(QStringLiteral("ctl1007"));
    const QRect client = view ? view->rect() : QRect();
    bodies_->SetControl(speed, preset_, name ? name->text().toStdString() : std::string(),
                        client.width(), client.height());
    const CDlgCfg& cfg = core_.Settings();
    // A missing key reads as -1; the device gets the defaults of empty settings.
    bodies_->SetSettings(cfg.registrationTime < 0 ? 3600 : cfg.registrationTime,
                         cfg.heartbeatPeriod < 0 ? 60 : cfg.heartbeatPeriod);
}

void CommandBinding::BeforeCommand(int listId, int row) {
    ReadInputs(listId == kMediaListId);
    // The dialog runs before the build, so that the builder's lock is never
    // held across a modal loop; without a device nothing is built at all.
    if (listId == kMediaListId && builder_.MediaSetNumber() == 0 && row == kRowRecordSearch &&
        core_.Sip().IsRegistered())
        RunSearchDialog(*search_, &window_);
}

void CommandBinding::OnVideoDrag(QPoint press, QPoint release) {
    const DragRect r{press.x(), press.y(), release.x(), release.y()};
    bodies_->SetDrag(r);
    auto* view = window_.findChild<QWidget*>(QStringLiteral("ctl1007"));
    if (view && !view->rect().contains(release)) return;
    // Set 1 is shown exactly while a live view is open on the channel.
    if (builder_.MediaSetNumber() != 1) return;
    // As a click on the row would: the window ticks it and forwards the build.
    QMetaObject::invokeMethod(&window_, "OnListClicked", Qt::DirectConnection,
                              Q_ARG(int, kMediaListId), Q_ARG(int, DragZoomRow(r)));
}
