#include "app/shell/CDlgCfgDialog.h"

#include "app/shell/ChineseButtons.h"
#include "app/shell/ShellMessage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace {
QString U(const char* s) { return QString::fromUtf8(s); }
} // namespace

CDlgCfgDialog::CDlgCfgDialog(CDlgCfg& cfg, QWidget* parent) : QDialog(parent), cfg_(cfg) {
    setObjectName("CDlgCfg");
    setWindowTitle(U("国标参数配置"));

    auto edit = [&](CfgField f) {
        auto* e = new QLineEdit(QString::fromStdString(cfg_.FieldText(f)));
        e->setObjectName(CfgInfo(f).name);
        // A 20-digit identifier fits whole.
        e->setMinimumWidth(e->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 24);
        boxes_[static_cast<int>(f)] = e;
        return e;
    };
    auto combo = [&](CfgField f, auto items, int index) {
        auto* c = new QComboBox;
        c->setObjectName(CfgInfo(f).name);
        for (const char* i : items) c->addItem(U(i));
        c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
        boxes_[static_cast<int>(f)] = c;
        return c;
    };
    auto group = [](const char* title) {
        auto* g = new QGroupBox(U(title));
        auto* f = new QFormLayout(g);
        f->setLabelAlignment(Qt::AlignRight);
        return std::make_pair(g, f);
    };

    auto [local, lf] = group("本地服务器:");
    lf->addRow(U("协议:"), combo(CfgField::LocalTransport, kLocalTransports, cfg_.localTransport));
    lf->addRow(U("ID:"), edit(CfgField::LocalId));
    lf->addRow(U("域:"), edit(CfgField::LocalDomain));
    lf->addRow(U("地址:"), edit(CfgField::LocalAddress));
    lf->addRow(U("端口:"), edit(CfgField::LocalPort));
    lf->addRow(U("密码:"), edit(CfgField::LocalPassword));
    lf->addRow(U("国标版本:"), edit(CfgField::GbEdition));
    lf->addRow(U("摘要算法:"), edit(CfgField::DigestAlgorithm));
    lf->addRow(U("HTTP端口:"), edit(CfgField::HttpPort));
    auto* verify = new QCheckBox(U("验证密码"));
    verify->setObjectName(CfgInfo(CfgField::LocalVerifyPassword).name);
    verify->setChecked(cfg_.localVerifyPassword);
    boxes_[static_cast<int>(CfgField::LocalVerifyPassword)] = verify;
    lf->addRow(QString(), verify);

    auto [peer, pf] = group("互联网服务器:");
    pf->addRow(U("ID:"), edit(CfgField::PeerId));
    pf->addRow(U("域:"), edit(CfgField::PeerDomain));
    pf->addRow(U("地址:"), edit(CfgField::PeerAddress));
    pf->addRow(U("端口:"), edit(CfgField::PeerPort));
    pf->addRow(U("密码:"), edit(CfgField::PeerPassword));
    pf->addRow(U("过期时长:"), edit(CfgField::RegistrationTime));
    pf->addRow(U("心跳周期:"), edit(CfgField::HeartbeatPeriod));

    auto [media, mf] = group("媒体接收者:");
    mf->addRow(U("协议:"), combo(CfgField::MediaTransport, kMediaTransports, cfg_.mediaTransport));
    mf->addRow(U("地址:"), edit(CfgField::MediaAddress));
    mf->addRow(U("接收端口:"), edit(CfgField::MediaPort));
    slider_ = new QSlider(Qt::Horizontal);
    slider_->setObjectName("media.speedSlider");
    slider_->setRange(1, 16);
    slider_->setSingleStep(1);
    slider_->setPageStep(2);
    slider_->setTickInterval(1);
    slider_->setTickPosition(QSlider::TicksBelow);
    auto* speedBox = edit(CfgField::DownloadSpeed);
    speedBox->setMinimumWidth(0);
    speedBox->setFixedWidth(speedBox->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 5);
    slider_->setMinimumWidth(120);
    auto* speedRow = new QHBoxLayout;
    speedRow->addWidget(slider_, 1);
    speedRow->addWidget(speedBox);
    mf->addRow(U("下载速度:"), speedRow);
    // For devices that read a=setup as their own role (the old reading).
    auto* legacy = new QCheckBox(U("TCP旧角色读法 (a=setup 为设备角色)"));
    legacy->setObjectName(CfgInfo(CfgField::MediaSetupLegacy).name);
    legacy->setChecked(cfg_.mediaSetupLegacy);
    boxes_[static_cast<int>(CfgField::MediaSetupLegacy)] = legacy;
    mf->addRow(QString(), legacy);
    auto* savePs = new QCheckBox(U("保存PS流 (下载另存 .ps)"));
    savePs->setObjectName(CfgInfo(CfgField::MediaSavePs).name);
    savePs->setChecked(cfg_.mediaSavePs);
    boxes_[static_cast<int>(CfgField::MediaSavePs)] = savePs;
    mf->addRow(QString(), savePs);

    auto [ptz, zf] = group("云台控制:");
    zf->addRow(U("地址位:"), edit(CfgField::PtzAddress));
    zf->addRow(U("速度:"), edit(CfgField::PtzSpeed));

    auto [server, sf] = group("媒体服务器:");
    sf->addRow(U("ID:"), edit(CfgField::MediaServerId));
    sf->addRow(U("地址:"), edit(CfgField::MediaServerAddress));
    sf->addRow(U("命令端口:"), edit(CfgField::MediaServerPort));

    // The slider takes the stored speed (clamped to its range); its position
    // then shows in the box, as after every move.
    slider_->setValue(cfg_.downloadSpeed);
    speedBox->setText(QString::number(slider_->value()));
    connect(slider_, &QSlider::valueChanged, this, [this, speedBox](int v) {
        if (syncing_) return;
        syncing_ = true;
        speedBox->setText(QString::number(v));
        syncing_ = false;
    });
    connect(speedBox, &QLineEdit::textChanged, this, &CDlgCfgDialog::SpeedBoxEdited);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    ChineseButtons(buttons);
    buttons->button(QDialogButtonBox::Ok)->setText(U("确定"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
    buttons->button(QDialogButtonBox::Cancel)->setText(U("取消"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgCfgDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(local, 0, 0);
    grid->addWidget(peer, 0, 1, 2, 1);
    grid->addWidget(server, 1, 0);
    grid->addWidget(media, 2, 0);
    grid->addWidget(ptz, 2, 1);
    auto* l = new QVBoxLayout(this);
    l->addLayout(grid);
    l->addWidget(buttons);
}

void CDlgCfgDialog::SpeedBoxEdited(const QString& text) {
    if (syncing_) return;
    // A box being emptied for retyping is left alone until OK.
    if (text.trimmed().isEmpty()) return;
    // Every change of this box takes all boxes, with their checks: the first
    // box in error is named and gets the focus. Nothing is stored until OK.
    const CfgTexts texts = CurrentTexts();
    for (int i = 0; i < kCfgFieldCount; ++i) {
        const std::string err = CDlgCfg::Validate(static_cast<CfgField>(i), texts[i]);
        if (err.empty()) continue;
        ShellMessage(this, QString::fromStdString(err));
        boxes_[i]->setFocus();
        return;
    }
    // The slider clamps to 1..16 and the box shows where it ended.
    syncing_ = true;
    slider_->setValue(text.trimmed().toInt());
    auto* box = static_cast<QLineEdit*>(Box(CfgField::DownloadSpeed));
    const QString shown = QString::number(slider_->value());
    if (box->text() != shown) box->setText(shown);
    syncing_ = false;
}

CfgTexts CDlgCfgDialog::CurrentTexts() const {
    CfgTexts t;
    for (int i = 0; i < kCfgFieldCount; ++i) {
        if (auto* c = qobject_cast<QComboBox*>(boxes_[i]))
            t[i] = std::to_string(c->currentIndex());
        else if (auto* e = qobject_cast<QLineEdit*>(boxes_[i]))
            t[i] = e->text().toStdString();
        else if (auto* b = qobject_cast<QCheckBox*>(boxes_[i]))
            t[i] = std::to_string(b->isChecked() ? 1 : 0);
    }
    return t;
}

std::string CDlgCfgDialog::SetField(CfgField f, const QString& value) {
    // The value passes the checks of the dialog's OK, with the same message.
    const std::string why = CDlgCfg::Check(f, value.toStdString());
    if (!why.empty()) return why;
    QWidget* w = Box(f);
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        int i = c->findText(value, Qt::MatchFixedString);
        if (i < 0) i = value.trimmed().toInt();
        c->setCurrentIndex(i);
        return {};
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(value);
        return {};
    }
    if (auto* b = qobject_cast<QCheckBox*>(w)) {
        if (value != "0" && value != "1") return "请输入 0 或 1。";
        b->setChecked(value == "1");
        return {};
    }
    return "没有这个设置项。";
}

void CDlgCfgDialog::accept() {
    CfgField bad = CfgField::Count;
    std::string message;
    if (!cfg_.Accept(CurrentTexts(), &bad, &message)) {
        ShellMessage(this, QString::fromStdString(message));
        if (bad != CfgField::Count) Box(bad)->setFocus();
        return;
    }
    QDialog::accept();
}
