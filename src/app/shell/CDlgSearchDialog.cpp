#include "app/shell/CDlgSearchDialog.h"

#include "app/shell/ChineseButtons.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

CDlgSearchDialog::CDlgSearchDialog(CDlgSearch& search, QWidget* parent)
    : QDialog(parent), search_(search) {
    setObjectName("CDlgSearch");
    setWindowTitle(QString::fromUtf8("历史文件查询条件"));
    setModal(true);
    start_ = new QLineEdit(QString::fromStdString(search_.startText));
    start_->setObjectName("start");
    end_ = new QLineEdit(QString::fromStdString(search_.endText));
    end_->setObjectName("end");
    type_ = new QComboBox;
    type_->setObjectName("type");
    for (const char* item : kRecordTypeItems)
        type_->addItem(QString::fromUtf8(item));
    const int n = static_cast<int>(kRecordTypeItems.size());
    type_->setCurrentIndex(search_.typeIndex >= 0 && search_.typeIndex < n ? search_.typeIndex
                                                                           : -1);
    auto* form = new QFormLayout;
    form->addRow(QString::fromUtf8("起始时间:"), start_);
    form->addRow(QString::fromUtf8("终止时间:"), end_);
    form->addRow(QString::fromUtf8("录像类型:"), type_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    ChineseButtons(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* l = new QVBoxLayout(this);
    l->addLayout(form);
    l->addWidget(buttons);
    start_->setMinimumWidth(200);
}

void CDlgSearchDialog::accept() {
    search_.Accept(start_->text().toStdString(), end_->text().toStdString(), type_->currentIndex());
    QDialog::accept();
}

void CDlgSearchDialog::reject() {
    search_.Cancel();
    QDialog::reject();
}

bool RunSearchDialog(CDlgSearch& search, QWidget* parent) {
    search.PrepareOpen();
    CDlgSearchDialog dlg(search, parent);
    return dlg.exec() == QDialog::Accepted;
}
