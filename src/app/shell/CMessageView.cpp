#include "app/shell/CMessageView.h"

#include "app/core/CallLadder.h"
#include "app/core/MessageLog.h"
#include "app/core/SipText.h"
#include "app/shell/CLadderView.h"
#include "app/shell/CListX.h"
#include "app/shell/ChineseButtons.h"
#include "base/TextCodec.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
QString U(const char* s) { return QString::fromUtf8(s); }
QString Utf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

QPlainTextEdit* ReadOnlyText(const char* name) {
    auto* t = new QPlainTextEdit;
    t->setObjectName(name);
    t->setReadOnly(true);
    t->setLineWrapMode(QPlainTextEdit::NoWrap);
    t->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return t;
}
} // namespace

CMessageView::CMessageView(QWidget* parent) : QTabWidget(parent) {
    setObjectName("ctl1210");
    text_ = ReadOnlyText("ctl1211");
    headers_ = new QTreeWidget;
    headers_->setObjectName("ctl1212");
    headers_->setColumnCount(2);
    headers_->setHeaderLabels({U("名称"), U("值")});
    headers_->setRootIsDecorated(false);
    headers_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    headers_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    auto* copy = new QAction(U("复制"), headers_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    headers_->addAction(copy);
    headers_->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(copy, &QAction::triggered, this, [this] { QApplication::clipboard()->setText(SelectedHeaders()); });
    raw_ = ReadOnlyText("ctl1213");
    raw_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ladder_ = new CLadderView;
    ladder_->setObjectName("ctl1215");
    auto* scroll = new QScrollArea;
    scroll->setObjectName("ctl1214");
    scroll->setWidget(ladder_);
    scroll->setWidgetResizable(true);
    scroll->setBackgroundRole(QPalette::Base);
    addTab(text_, U("消息"));
    addTab(headers_, U("信息头"));
    addTab(raw_, U("原始字节"));
    addTab(scroll, U("呼叫流程"));
    connect(ladder_, &CLadderView::stepClicked, this, &CMessageView::ladderRowClicked);
    // The ladder is read when its tab is shown, not at every selection.
    connect(this, &QTabWidget::currentChanged, this, [this](int tab) {
        if (tab == kLadder && ladderStale_ && log_) RefreshLadder(*log_);
    });
}

void CMessageView::ShowRow(const MessageLog& log, int logRow) {
    log_ = &log;
    MessageLog::RowText r;
    if (logRow < 0 || !log.Row(static_cast<std::size_t>(logRow), r)) {
        row_ = -1;
        text_->clear();
        headers_->clear();
        raw_->clear();
        ladder_->SetLadder({});
        ladderStale_ = false;
        return;
    }
    row_ = logRow;
    const QString head = Utf8(TextCodec::BodyToUtf8(r.head));
    const QString body = Utf8(TextCodec::BodyToUtf8(r.body));
    QString title = U("第 %1 行  %2  %3").arg(logRow + 1).arg(Utf8(r.time), CLogModel::DirectionText(r.direction));
    if (!r.peer.empty()) title += (r.direction == 2 ? U("  来自 ") : U("  发往 ")) + Utf8(r.peer);
    if (!r.deviceId.empty()) title += U("  设备 ") + Utf8(r.deviceId);
    if (!r.typeText.empty()) title += U("  类型 ") + Utf8(r.typeText).trimmed();
    text_->setPlainText(title + "\n\n" + head + (head.endsWith('\n') ? "" : "\n") + body);
    headers_->clear();
    auto* start = new QTreeWidgetItem(headers_, {U("起始行"), Utf8(std::string(tarvex::siptext::FirstLine(r.head)))});
    start->setFirstColumnSpanned(false);
    for (const auto& [name, value] : tarvex::siptext::Headers(r.head))
        new QTreeWidgetItem(headers_, {Utf8(name), Utf8(TextCodec::BodyToUtf8(value))});
    raw_->setPlainText(Utf8(tarvex::siptext::HexDump(r.head + r.body)));
    ladderStale_ = true;
    if (currentIndex() == kLadder) RefreshLadder(log);
}

void CMessageView::RefreshLadder(const MessageLog& log) {
    log_ = &log;
    ladderStale_ = false;
    ladder_->SetLadder(row_ < 0 ? CallLadder{} : BuildCallLadder(log, static_cast<std::size_t>(row_)));
}

QString CMessageView::SelectedHeaders() const {
    QStringList lines;
    for (int i = 0; i < headers_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* it = headers_->topLevelItem(i);
        if (!it->isSelected()) continue;
        lines << (i == 0 ? it->text(1) : it->text(0) + ": " + it->text(1));
    }
    return lines.join('\n');
}

CMessageDlg::CMessageDlg(const MessageLog& log, int logRow, QWidget* parent) : QDialog(parent) {
    setObjectName("CMessageDlg");
    setWindowTitle(U("消息内容"));
    view_ = new CMessageView;
    view_->ShowRow(log, logRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    ChineseButtons(buttons);
    buttons->button(QDialogButtonBox::Close)->setText(U("关闭"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* l = new QVBoxLayout(this);
    l->addWidget(view_, 1);
    l->addWidget(buttons);
    resize(900, 620);
}
