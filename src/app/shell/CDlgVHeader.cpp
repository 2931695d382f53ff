#include "app/shell/CDlgVHeader.h"

#include "app/shell/ChineseButtons.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

CDlgVHeader::CDlgVHeader(QWidget* parent) : QDialog(parent) {
    setObjectName("CDlgVHeader");
    setWindowTitle(QStringLiteral("Dialog"));
    edit_ = new QPlainTextEdit;
    edit_->setObjectName("ctl1002");
    edit_->setReadOnly(true);
    edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    ChineseButtons(buttons);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* l = new QVBoxLayout(this);
    l->addWidget(edit_, 1);
    l->addWidget(buttons);
    resize(640, 480);
}

void CDlgVHeader::SetText(const QString& text) { edit_->setPlainText(text); }
QString CDlgVHeader::Text() const { return edit_->toPlainText(); }
