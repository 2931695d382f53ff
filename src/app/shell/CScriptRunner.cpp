#include "app/shell/CScriptRunner.h"

#include "app/shell/CDlgCfgDialog.h"
#include "app/shell/CListX.h"
#include "app/shell/CStaticEx.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "base/TimeText.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int kPollMs = 20;
constexpr int kUnansweredDialogMs = 3000;
// Tree snapshots arrive shortly after the log rows that caused them.
constexpr int kTreeWaitMs = 5000;
constexpr int kScanRowsPerPoll = 20000;

QTreeWidgetItem* FindDepthFirst(QTreeWidgetItem* it, const QString& text) {
    // An item is named by its whole text or by its identifier, the text
    // before the channel's name.
    const QString shown = it->text(0);
    if (shown == text || (shown.startsWith(text) && shown.mid(text.size(), 2) == QStringLiteral("  ")))
        return it;
    for (int i = 0; i < it->childCount(); ++i)
        if (auto* f = FindDepthFirst(it->child(i), text)) return f;
    return nullptr;
}

void SendMouse(QWidget* w, QEvent::Type type, QPoint p, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    const QPointF local(p);
    QMouseEvent e(type, local, w->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

// The text a control shows, for wait-text.
QString ControlText(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    return {};
}

// A dump line keeps its text on one line: backslash, line feed, carriage
// return and tab are written as \\, \n, \r and \t.
QString Escaped(const QString& text) {
    QString out;
    for (QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else
            out += c;
    }
    return out;
}

bool ClickOk(QDialog* d) {
    if (auto* box = d->findChild<QDialogButtonBox*>()) {
        if (auto* ok = box->button(QDialogButtonBox::Ok)) {
            ok->click();
            return true;
        }
    }
    d->accept();
    return true;
}

} // namespace

CScriptRunner::CScriptRunner(CTarvexDlg& dlg, std::vector<ScriptStep> steps, QObject* parent)
    : QObject(parent), dlg_(dlg), steps_(std::move(steps)) {
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &CScriptRunner::Poll);
    // Message boxes are printed instead of waiting for a click.
    SetShellMessageHook([this](QWidget*, const QString& text) {
        Print(QStringLiteral("message: ") + text.trimmed());
    });
}

CScriptRunner::~CScriptRunner() { SetShellMessageHook({}); }

QString CScriptRunner::Timestamp() { return QString::fromStdString(LocalTimeTextMs(SystemNow())); }

void CScriptRunner::Print(const QString& text) {
    std::printf("[%s] %s\n", Timestamp().toUtf8().constData(), text.toUtf8().constData());
    std::fflush(stdout);
}

void CScriptRunner::Start() {
    poll_.start();
    QTimer::singleShot(0, this, &CScriptRunner::RunStep);
}

void CScriptRunner::StepDone() {
    if (finished_) return;
    wait_ = Wait::None;
    ++next_;
    QTimer::singleShot(0, this, &CScriptRunner::RunStep);
}

void CScriptRunner::Fail(const QString& why) {
    if (finished_) return;
    const ScriptStep* s = next_ < steps_.size() ? &steps_[next_] : nullptr;
    const QString text = s ? QStringLiteral("line %1: FAILED: %2: %3")
                                 .arg(s->line)
                                 .arg(QString::fromStdString(s->source), why)
                           : QStringLiteral("FAILED: ") + why;
    Print(text);
    std::fprintf(stderr, "tarvex --script: %s\n", text.toUtf8().constData());
    exitCode_ = 1;
    finished_ = true;
    wait_ = Wait::None;
    poll_.stop();
    emit failed(text);
    // Close every dialog above the main one, then the main one as its close
    // box would (the settings are not stored).
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QDialog*>(w); d && d != &dlg_ && d->isVisible()) d->reject();
    dlg_.reject();
}

void CScriptRunner::RunStep() {
    if (finished_) return;
    if (next_ >= steps_.size()) {
        Print(QStringLiteral("script done"));
        finished_ = true;
        return;
    }
    const ScriptStep& s = steps_[next_];
    Print(QStringLiteral("line %1: %2").arg(s.line).arg(QString::fromStdString(s.source)));
    const QString text = QString::fromStdString(s.text);
    switch (s.verb) {
    case ScriptVerb::Sleep:
    case ScriptVerb::WaitRegistered:
    case ScriptVerb::WaitLog:
        wait_ = s.verb == ScriptVerb::Sleep            ? Wait::Sleep
                : s.verb == ScriptVerb::WaitRegistered ? Wait::Registered
                                                       : Wait::Log;
        waitMs_ = s.number;
        waitText_ = text;
        logScanned_ = 0;
        waitClock_.start();
        Poll();
        return;
    case ScriptVerb::Click: {
        auto* list = dlg_.Ctl<QTreeWidget>(s.id);
        if (!list) return Fail(QStringLiteral("no list %1").arg(s.id));
        if (s.number >= list->topLevelItemCount())
            return Fail(QStringLiteral("list %1 has %2 rows").arg(s.id).arg(list->topLevelItemCount()));
        QTreeWidgetItem* it = list->topLevelItem(s.number);
        Print(QStringLiteral("click %1 row %2: %3").arg(s.id).arg(s.number).arg(it->text(1)));
        emit list->itemClicked(it, 1);
        return StepDone();
    }
    case ScriptVerb::Tree:
        if (ClickTreeItem(text)) return StepDone();
        wait_ = Wait::Tree;
        waitMs_ = kTreeWaitMs;
        waitText_ = text;
        waitClock_.start();
        return;
    case ScriptVerb::Check: {
        auto* box = dlg_.Ctl<QCheckBox>(s.id);
        if (!box) return Fail(QStringLiteral("no check box %1").arg(s.id));
        if (box->isChecked() != s.flag) box->click();
        return StepDone();
    }
    case ScriptVerb::Set: {
        QWidget* w = dlg_.Control(s.id);
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            e->setText(text);
            // As if typed and ended with Enter: the log filter (1201) and find (1203) act on it.
            emit e->returnPressed();
        } else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
            p->setPlainText(text);
        else
            return Fail(QStringLiteral("no edit %1").arg(s.id));
        return StepDone();
    }
    case ScriptVerb::Press:
    case ScriptVerb::Exit: {
        const int id = s.verb == ScriptVerb::Exit ? 1 : s.id;
        auto* b = dlg_.Ctl<QPushButton>(id);
        if (!b) return Fail(QStringLiteral("no button %1").arg(id));
        if (!b->isEnabled()) return Fail(QStringLiteral("button %1 is disabled").arg(id));
        // The click may open a modal dialog; the step ends when it returns.
        QTimer::singleShot(0, this, [this, b = QPointer<QPushButton>(b)] {
            if (b) b->click();
            StepDone();
        });
        return;
    }
    case ScriptVerb::Drag: {
        CStaticEx* v = dlg_.VideoView();
        const QPoint a(s.x1, s.y1), b(s.x2, s.y2);
        SendMouse(v, QEvent::MouseButtonPress, a, Qt::LeftButton, Qt::LeftButton);
        SendMouse(v, QEvent::MouseMove, (a + b) / 2, Qt::NoButton, Qt::LeftButton);
        SendMouse(v, QEvent::MouseMove, b, Qt::NoButton, Qt::LeftButton);
        SendMouse(v, QEvent::MouseButtonRelease, b, Qt::LeftButton, Qt::NoButton);
        return StepDone();
    }
    case ScriptVerb::Search:
        searchAnswer_ = &s;
        return StepDone();
    case ScriptVerb::Inputs:
        inputsAnswer_ = &s;
        return StepDone();
    case ScriptVerb::Settings:
    case ScriptVerb::About: {
        if (s.verb == ScriptVerb::Settings)
            settingsAnswer_ = &s;
        else
            aboutAnswer_ = true;
        wait_ = Wait::Modal;
        waitClock_.start();
        QTimer::singleShot(0, this, [this, settings = s.verb == ScriptVerb::Settings] {
            if (settings) {
                if (auto* b = dlg_.Ctl<QPushButton>(1053)) b->click();
            } else {
                dlg_.AboutAction()->trigger();
            }
            if (finished_) return;
            const bool unanswered = settings ? settingsAnswer_ != nullptr : aboutAnswer_;
            settingsAnswer_ = nullptr;
            aboutAnswer_ = false;
            if (unanswered) return Fail(QStringLiteral("the dialog did not open"));
            StepDone();
        });
        return;
    }
    case ScriptVerb::Dump:
        if (!Dump(text)) return Fail(QStringLiteral("cannot write %1").arg(text));
        Print(QStringLiteral("dumped %1").arg(text));
        return StepDone();
    case ScriptVerb::WaitText:
        if (!dlg_.Control(s.id)) return Fail(QStringLiteral("no control %1").arg(s.id));
        wait_ = Wait::Text;
        waitMs_ = s.number;
        waitText_ = text;
        waitId_ = s.id;
        waitClock_.start();
        Poll();
        return;
    case ScriptVerb::Shot: {
        QWidget* w = s.id ? dlg_.Control(s.id) : static_cast<QWidget*>(&dlg_);
        if (!w) return Fail(QStringLiteral("no control %1").arg(s.id));
        // A control on a tab page that is not shown: its page is brought up first.
        for (QWidget* c = w; c && c != &dlg_; c = c->parentWidget())
            if (auto* stack = qobject_cast<QStackedWidget*>(c->parentWidget())) {
                // A tab widget's pages are changed through it, so that its tabs follow.
                if (auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget())) tabs->setCurrentWidget(c);
                else stack->setCurrentWidget(c);
            }
        QPixmap picture;
        if (s.x1 > 0 && s.y1 > 0) {
            // Drawn at the size asked for, then given back its place in the layout.
            const QSize before = w->size();
            // The parent's layout would give the control its place back while
            // the events below run (a label's new text asks it to): held off.
            QLayout* held = w->parentWidget() ? w->parentWidget()->layout() : nullptr;
            const bool heldOn = held && held->isEnabled();
            if (heldOn) held->setEnabled(false);
            w->resize(s.x1, s.y1);
            // Layouts of every object at the new size (a chart's scene lays out its own items).
            for (int i = 0; i < 3; ++i) {
                QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
                QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            }
            picture = w->grab();
            if (heldOn) held->setEnabled(true);
            w->resize(before);
            if (w->parentWidget() && w->parentWidget()->layout()) w->parentWidget()->layout()->invalidate();
        } else {
            picture = w->grab();
        }
        if (!picture.save(text, "PNG")) return Fail(QStringLiteral("cannot write %1").arg(text));
        Print(QStringLiteral("saved %1").arg(text));
        return StepDone();
    }
    }
}

bool CScriptRunner::ClickTreeItem(const QString& text) {
    QTreeWidget* tree = dlg_.DeviceTree();
    QTreeWidgetItem* found = nullptr;
    for (int i = 0; i < tree->topLevelItemCount() && !found; ++i)
        found = FindDepthFirst(tree->topLevelItem(i), text);
    if (!found) return false;
    tree->setCurrentItem(found);
    emit tree->itemClicked(found, 0);
    return true;
}

bool CScriptRunner::Dump(const QString& file) const {
    QString out;
    auto line = [&](int id, const QString& rest) {
        out += QString::number(id) + QLatin1Char(' ') + rest + QLatin1Char('\n');
    };
    for (int id : {1090, 1101}) {
        auto* l = dlg_.Ctl<QLabel>(id);
        line(id, Escaped(l ? l->text() : QString()));
    }
    if (auto* bar = dlg_.Ctl<QProgressBar>(1100))
        line(1100,
             QStringLiteral("%1 %2 %3").arg(bar->minimum()).arg(bar->maximum()).arg(bar->value()));
    for (int id : {1080, 1081}) {
        auto* list = dlg_.Ctl<QTreeWidget>(id);
        for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* it = list->topLevelItem(i);
            const QString tick =
                it->checkState(0) == Qt::Checked ? QStringLiteral("[x]") : QStringLiteral("[ ]");
            line(id, Escaped(it->text(0)) + QLatin1Char(' ') + tick + QLatin1Char(' ') +
                         Escaped(it->text(1)));
        }
    }
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = out.toUtf8();
    return f.write(bytes) == bytes.size();
}

bool CScriptRunner::LogContains(const QString& text, int& scanned) const {
    // The rows the list shows; a long backlog is scanned a slice per poll so
    // that the window stays responsive.
    const int n = dlg_.MessageList()->Model()->rowCount();
    const std::string needle = text.toStdString();
    const int end = std::min(n, scanned + kScanRowsPerPoll);
    for (; scanned < end; ++scanned)
        if (dlg_.Core().Log().RowContains(static_cast<std::size_t>(scanned), needle)) return true;
    return false;
}

bool CScriptRunner::AnswerModal(QDialog* d) {
    if (auto* cfg = qobject_cast<CDlgCfgDialog*>(d); cfg && settingsAnswer_) {
        const ScriptStep* s = settingsAnswer_;
        settingsAnswer_ = nullptr;
        for (const auto& [key, value] : s->pairs) {
            const CfgField f = CfgFieldByName(key);
            if (f == CfgField::Count) {
                Fail(QStringLiteral("unknown settings field \"%1\"").arg(QString::fromStdString(key)));
                return true;
            }
            if (const std::string why = cfg->SetField(f, QString::fromStdString(value));
                !why.empty()) {
                Fail(QStringLiteral("settings field %1 cannot take \"%2\": %3")
                         .arg(QString::fromStdString(key), QString::fromStdString(value),
                              QString::fromStdString(why)));
                return true;
            }
        }
        answering_ = d;
        ClickOk(d);
        return true;
    }
    if (d->objectName() == QLatin1String("CAboutDlg") && aboutAnswer_) {
        aboutAnswer_ = false;
        auto* name = d->findChild<QLabel*>("name");
        auto* version = d->findChild<QLabel*>("version");
        Print(QStringLiteral("about: %1 %2").arg(name ? name->text() : QString(),
                                                version ? version->text() : QString()));
        answering_ = d;
        ClickOk(d);
        return true;
    }
    if (d->objectName() == QLatin1String("CDlgRowInputs")) {
        // Without an inputs step the dialog is taken as it shows (the values
        // typed last); a box the step names must exist.
        const ScriptStep* s = inputsAnswer_;
        inputsAnswer_ = nullptr;
        answering_ = d;
        if (s && s->flag) {
            d->reject();
            return true;
        }
        for (const auto& [key, value] : s ? s->pairs : std::vector<std::pair<std::string, std::string>>{}) {
            if (key == "confirm") {
                if (auto* c = d->findChild<QCheckBox*>("confirm")) c->setChecked(value == "1");
                continue;
            }
            auto* e = d->findChild<QLineEdit*>(QString::fromStdString(key));
            if (!e) {
                Fail(QStringLiteral("the inputs dialog has no box %1").arg(QString::fromStdString(key)));
                return true;
            }
            e->setText(QString::fromStdString(value));
        }
        ClickOk(d);
        return true;
    }
    if (d->objectName() == QLatin1String("CDlgSearch") && searchAnswer_) {
        const ScriptStep* s = searchAnswer_;
        searchAnswer_ = nullptr;
        answering_ = d;
        if (s->flag) {
            d->reject();
            return true;
        }
        auto* start = d->findChild<QLineEdit*>("start");
        auto* end = d->findChild<QLineEdit*>("end");
        auto* type = d->findChild<QComboBox*>("type");
        if (!start || !end || !type) {
            Fail(QStringLiteral("the search dialog lacks its start, end or type box"));
            return true;
        }
        start->setText(QString::fromStdString(s->text));
        end->setText(QString::fromStdString(s->text2));
        type->setCurrentIndex(s->id);
        ClickOk(d);
        return true;
    }
    return false;
}

void CScriptRunner::Poll() {
    if (finished_) return;
    // Dialogs above the main one: answer them, or fail when nobody will.
    auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (modal && modal != &dlg_ && modal->isVisible()) {
        if (modal == answering_) {
            Fail(QStringLiteral("dialog \"%1\" stayed open after the answer").arg(modal->windowTitle()));
            return;
        }
        if (AnswerModal(modal)) {
            unanswered_.invalidate();
            return;
        }
        if (!unanswered_.isValid()) unanswered_.start();
        if (unanswered_.elapsed() > kUnansweredDialogMs) {
            unanswered_.invalidate();
            Fail(QStringLiteral("dialog \"%1\" opened and the script has no answer for it")
                     .arg(modal->windowTitle()));
        }
        return;
    }
    unanswered_.invalidate();
    answering_ = nullptr;

    const qint64 elapsed = waitClock_.isValid() ? waitClock_.elapsed() : 0;
    switch (wait_) {
    case Wait::None:
    case Wait::Modal:
        break;
    case Wait::Sleep:
        if (elapsed >= waitMs_) StepDone();
        break;
    case Wait::Registered:
        if (dlg_.Core().Registered()) {
            Print(QStringLiteral("registered"));
            StepDone();
        } else if (elapsed >= waitMs_) {
            Fail(QStringLiteral("no device registered within %1 ms").arg(waitMs_));
        }
        break;
    case Wait::Tree:
        if (ClickTreeItem(waitText_))
            StepDone();
        else if (elapsed >= waitMs_)
            Fail(QStringLiteral("no device tree item \"%1\" within %2 ms").arg(waitText_).arg(waitMs_));
        break;
    case Wait::Text: {
        QWidget* w = dlg_.Control(waitId_);
        const QString shown = w ? ControlText(w) : QString();
        if (shown.contains(waitText_)) {
            Print(QString::number(waitId_) + QStringLiteral(" shows \"") + Escaped(shown) +
                  QLatin1Char('"'));
            StepDone();
        } else if (elapsed >= waitMs_) {
            Fail(QString::number(waitId_) + QStringLiteral(" did not show \"") + waitText_ +
                 QStringLiteral("\" within %1 ms; it shows \"").arg(waitMs_) + Escaped(shown) +
                 QLatin1Char('"'));
        }
        break;
    }
    case Wait::Log:
        if (LogContains(waitText_, logScanned_)) {
            Print(QStringLiteral("log row %1 contains \"%2\"").arg(logScanned_).arg(waitText_));
            StepDone();
        } else if (elapsed >= waitMs_) {
            Fail(QStringLiteral("no log row contains \"%1\" within %2 ms").arg(waitText_).arg(waitMs_));
        }
        break;
    }
}
