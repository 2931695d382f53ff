#pragma once
// The standard buttons in the window's language: Qt shows "OK" and "Cancel"
// unless a translation is loaded, beside Chinese labels.

#include <QDialogButtonBox>
#include <QPushButton>

inline void ChineseButtons(QDialogButtonBox* box) {
    if (QPushButton* b = box->button(QDialogButtonBox::Ok)) b->setText(QString::fromUtf8("确定"));
    if (QPushButton* b = box->button(QDialogButtonBox::Cancel)) b->setText(QString::fromUtf8("取消"));
}
