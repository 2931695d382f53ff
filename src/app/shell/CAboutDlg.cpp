#include "app/shell/CAboutDlg.h"

#include "app/shell/ChineseButtons.h"
#include "app/shell/AppIcon.h"
#include "base/Version.h"

#include <QDir>

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("CAboutDlg");
    setWindowTitle(QStringLiteral("关于 Tarvex"));
    auto* icon = new QLabel;
    icon->setPixmap(TarvexIcon().pixmap(48, 48));
    auto* name = new QLabel(QStringLiteral("Tarvex"));
    name->setObjectName("name");
    QFont f = name->font();
    f.setBold(true);
    name->setFont(f);
    auto* version = new QLabel(QStringLiteral(TARVEX_VERSION));
    version->setObjectName("version");
    // Where config.ini, Search.ini and the workbooks are.
    auto* folder = new QLabel(QStringLiteral("工作目录: ") + QDir::toNativeSeparators(QDir::currentPath()));
    folder->setObjectName("folder");
    folder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addWidget(folder);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(text, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    ChineseButtons(buttons);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* l = new QVBoxLayout(this);
    l->addLayout(top);
    l->addWidget(buttons);
}
