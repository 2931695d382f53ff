#include "app/shell/SubscriptionPanel.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

namespace {

QString U(const std::string& s) { return QString::fromStdString(s); }
QString U(const char* s) { return QString::fromUtf8(s); }

const char* PackageLabel(tvsub::Package p) {
    switch (p) {
    case tvsub::Package::Catalog: return "目录";
    case tvsub::Package::Alarm: return "报警";
    case tvsub::Package::MobilePosition: return "移动位置";
    case tvsub::Package::PTZPosition: return "PTZ位置";
    }
    return "";
}

const char* StateLabel(tvsub::State s) {
    switch (s) {
    case tvsub::State::Pending: return "等待应答";
    case tvsub::State::Active: return "有效";
    case tvsub::State::Terminated: return "已终止";
    }
    return "";
}

QTableWidget* Table(const QStringList& columns, const char* name) {
    auto* t = new QTableWidget(0, columns.size());
    t->setObjectName(name);
    t->setHorizontalHeaderLabels(columns);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

void Set(QTableWidget* t, int row, int column, const QString& text) {
    if (auto* it = t->item(row, column)) {
        if (it->text() != text) it->setText(text);
        return;
    }
    t->setItem(row, column, new QTableWidgetItem(text));
}

} // namespace

PositionPlot::PositionPlot(QWidget* parent) : QWidget(parent) {
    setObjectName("positionPlot");
    setMinimumSize(200, 150);
}

void PositionPlot::SetTrack(std::vector<tvsub::PositionRecord> track) {
    track_ = std::move(track);
    update();
}

void PositionPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(250, 250, 246));
    p.setPen(QColor(200, 200, 200));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    if (track_.empty()) {
        p.setPen(Qt::gray);
        p.drawText(rect(), Qt::AlignCenter, U("无位置"));
        return;
    }
    double minX = track_[0].longitude, maxX = minX, minY = track_[0].latitude, maxY = minY;
    for (const auto& t : track_) {
        minX = std::min(minX, t.longitude);
        maxX = std::max(maxX, t.longitude);
        minY = std::min(minY, t.latitude);
        maxY = std::max(maxY, t.latitude);
    }
    // Equal scale on both axes, so that the path keeps its shape.
    const double span = std::max({maxX - minX, maxY - minY, 1e-6});
    const QRectF area = QRectF(rect()).adjusted(16, 16, -16, -28);
    const double scale = std::min(area.width(), area.height()) / span;
    auto at = [&](const tvsub::PositionRecord& t) {
        return QPointF(area.left() + (t.longitude - minX) * scale, area.bottom() - (t.latitude - minY) * scale);
    };
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path(at(track_[0]));
    for (std::size_t i = 1; i < track_.size(); ++i) path.lineTo(at(track_[i]));
    p.setPen(QPen(QColor(40, 110, 200), 1.5));
    p.drawPath(path);
    p.setBrush(QColor(40, 110, 200));
    for (const auto& t : track_) p.drawEllipse(at(t), 1.8, 1.8);
    p.setBrush(QColor(210, 40, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(at(track_.back()), 4, 4);
    p.setPen(Qt::darkGray);
    const auto& last = track_.back();
    p.drawText(QRectF(rect()).adjusted(6, 0, -6, -4), Qt::AlignBottom | Qt::AlignLeft,
               QString("%1, %2  (%3)").arg(last.longitude, 0, 'f', 6).arg(last.latitude, 0, 'f', 6)
                   .arg(track_.size()));
}

SubscriptionPanel::SubscriptionPanel(CTarvexCore& core, QWidget* parent) : QDialog(parent), core_(core) {
    setObjectName("subscriptionPanel");
    setWindowTitle(U("订阅与报警"));
    target_ = new QLabel;
    target_->setObjectName("subscriptionTarget");
    package_ = new QComboBox;
    package_->setObjectName("subscriptionPackage");
    // PTZPosition joins them while the target's device speaks 2022 (Poll).
    for (tvsub::Package p : tvsub::kPackages) package_->addItem(U(PackageLabel(p)), static_cast<int>(p));
    auto spin = [](const char* name, int lo, int hi, int value) {
        auto* s = new QSpinBox;
        s->setObjectName(name);
        s->setRange(lo, hi);
        s->setValue(value);
        return s;
    };
    expires_ = spin("subscriptionExpires", 1, 86400, 3600);
    interval_ = spin("subscriptionInterval", 1, 3600, 5);
    startPriority_ = spin("alarmStartPriority", 0, 4, 1);
    endPriority_ = spin("alarmEndPriority", 0, 4, 4);
    method_ = spin("alarmMethod", 0, 7, 0);
    subscribe_ = new QPushButton(U("订阅"));
    subscribe_->setObjectName("subscribe");
    unsubscribe_ = new QPushButton(U("取消订阅"));
    unsubscribe_->setObjectName("unsubscribe");
    auto* form = new QFormLayout;
    form->addRow(U("目标"), target_);
    form->addRow(U("事件"), package_);
    form->addRow(U("Expires (秒)"), expires_);
    form->addRow(U("位置间隔 (秒)"), interval_);
    auto* prio = new QHBoxLayout;
    prio->addWidget(startPriority_);
    prio->addWidget(endPriority_);
    prio->addWidget(new QLabel(U("方式")));
    prio->addWidget(method_);
    form->addRow(U("报警级别"), prio);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(subscribe_);
    buttons->addWidget(unsubscribe_);
    buttons->addStretch();
    subs_ = Table({U("目标"), U("事件"), U("状态"), U("有效期"), U("刷新"), U("通知"), U("原因")}, "subscriptionTable");
    alarms_ = Table({U("时间"), U("设备"), U("通道"), U("级别"), U("方式"), U("类型"), U("描述"), U("位置"), U("复位")},
                    "alarmTable");
    acknowledge_ = new QPushButton(U("报警复位"));
    acknowledge_->setObjectName("acknowledgeAlarm");
    channel_ = new QComboBox;
    channel_->setObjectName("positionChannel");
    position_ = new QLabel;
    position_->setObjectName("positionText");
    ptz_ = new QLabel;
    ptz_->setObjectName("ptzText");
    plot_ = new PositionPlot;

    auto* left = new QWidget;
    auto* ll = new QVBoxLayout(left);
    ll->addLayout(form);
    ll->addLayout(buttons);
    ll->addWidget(subs_, 1);
    auto* right = new QWidget;
    auto* rl = new QVBoxLayout(right);
    rl->addWidget(channel_);
    rl->addWidget(plot_, 1);
    rl->addWidget(position_);
    rl->addWidget(ptz_);
    auto* top = new QSplitter(Qt::Horizontal);
    top->addWidget(left);
    top->addWidget(right);
    auto* alarmBox = new QWidget;
    auto* al = new QVBoxLayout(alarmBox);
    al->setContentsMargins(0, 0, 0, 0);
    al->addWidget(alarms_, 1);
    auto* ab = new QHBoxLayout;
    ab->addStretch();
    ab->addWidget(acknowledge_);
    al->addLayout(ab);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(top);
    split->addWidget(alarmBox);
    auto* l = new QVBoxLayout(this);
    l->addWidget(split);
    resize(960, 640);

    connect(subscribe_, &QPushButton::clicked, this, [this] { Subscribe(); });
    connect(unsubscribe_, &QPushButton::clicked, this, [this] { Unsubscribe(); });
    connect(acknowledge_, &QPushButton::clicked, this, [this] { Acknowledge(); });
    connect(channel_, &QComboBox::currentTextChanged, this, [this] { FillPositions(); });
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_->start(kPollMs);
    Poll();
}

tvsub::Package SubscriptionPanel::ChosenPackage() const {
    const QVariant v = package_->currentData();
    return v.isValid() ? static_cast<tvsub::Package>(v.toInt()) : tvsub::Package::Catalog;
}

CTarvexCore::SubscribeInputs SubscriptionPanel::Inputs() const {
    CTarvexCore::SubscribeInputs in;
    in.package = ChosenPackage();
    in.expires = expires_->value();
    in.interval = interval_->value();
    in.alarm.startPriority = startPriority_->value();
    in.alarm.endPriority = endPriority_->value();
    in.alarm.method = method_->value();
    return in;
}

void SubscriptionPanel::Subscribe() {
    core_.Subscribe(Inputs());
    Poll();
}

void SubscriptionPanel::Unsubscribe() {
    core_.Unsubscribe(ChosenPackage());
    Poll();
}

void SubscriptionPanel::Acknowledge() {
    const int row = alarms_->currentRow();
    if (row < 0 || row >= static_cast<int>(alarmSerials_.size())) return;
    core_.AcknowledgeAlarm(alarmSerials_[static_cast<std::size_t>(row)]);
    Poll();
}

void SubscriptionPanel::Poll() {
    const auto [device, channel] = core_.SelectedIds();
    target_->setText(U(channel.empty() ? (device.empty() ? std::string("(唯一注册设备)") : device) : channel));
    OfferPtz(core_.TargetSpeaks2022());
    const std::uint64_t v = core_.EventsVersion();
    if (v == version_) return;
    version_ = v;
    FillSubscriptions();
    FillAlarms();
    FillPositions();
}

void SubscriptionPanel::OfferPtz(bool offer) {
    const int ptz = static_cast<int>(tvsub::Package::PTZPosition);
    const int at = package_->findData(ptz);
    if (offer && at < 0) package_->addItem(U(PackageLabel(tvsub::Package::PTZPosition)), ptz);
    if (!offer && at >= 0) package_->removeItem(at);
}

void SubscriptionPanel::FillSubscriptions() {
    const auto subs = core_.Subscriptions();
    subs_->setRowCount(static_cast<int>(subs.size()));
    const auto now = std::chrono::steady_clock::now();
    for (int i = 0; i < static_cast<int>(subs.size()); ++i) {
        const auto& s = subs[static_cast<std::size_t>(i)];
        Set(subs_, i, 0, U(s.request.targetId));
        Set(subs_, i, 1, U(PackageLabel(s.request.package)));
        Set(subs_, i, 2, U(StateLabel(s.state)) + (s.ending ? U(" (取消中)") : QString()) +
                             (s.fellBack ? U(" (489 后改用 Event: ") + U(s.event) + U(")") : QString()));
        QString left;
        if (s.state == tvsub::State::Active)
            left = QString::number(std::chrono::duration_cast<std::chrono::seconds>(s.expiresAt - now).count()) +
                   U(" / ") + QString::number(s.granted);
        Set(subs_, i, 3, left);
        Set(subs_, i, 4, QString::number(s.refreshes));
        Set(subs_, i, 5, QString::number(s.notifies));
        Set(subs_, i, 6, U(s.reason));
    }
}

void SubscriptionPanel::FillAlarms() {
    const auto alarms = core_.Alarms();
    alarmSerials_.clear();
    // Newest first.
    alarms_->setRowCount(static_cast<int>(alarms.size()));
    int row = 0;
    for (auto it = alarms.rbegin(); it != alarms.rend(); ++it, ++row) {
        const auto& a = *it;
        alarmSerials_.push_back(a.serial);
        Set(alarms_, row, 0, U(a.time.empty() ? a.received : a.time));
        Set(alarms_, row, 1, U(a.device));
        Set(alarms_, row, 2, U(a.channel));
        Set(alarms_, row, 3, U(a.priority));
        Set(alarms_, row, 4, U(a.method));
        Set(alarms_, row, 5, U(a.type));
        Set(alarms_, row, 6, U(a.description));
        Set(alarms_, row, 7, a.longitude.empty() ? QString() : U(a.longitude + ", " + a.latitude));
        Set(alarms_, row, 8, a.acknowledged ? U("已复位") : QString());
    }
}

void SubscriptionPanel::FillPositions() {
    auto channels = core_.PositionChannels();
    for (const auto& c : core_.PtzChannels())
        if (std::find(channels.begin(), channels.end(), c) == channels.end()) channels.push_back(c);
    std::sort(channels.begin(), channels.end());
    if (channel_->count() != static_cast<int>(channels.size())) {
        const QString keep = channel_->currentText();
        channel_->blockSignals(true);
        channel_->clear();
        for (const auto& c : channels) channel_->addItem(U(c));
        const int i = channel_->findText(keep);
        channel_->setCurrentIndex(i >= 0 ? i : 0);
        channel_->blockSignals(false);
    }
    const std::string chosen = channel_->currentText().toStdString();
    auto track = chosen.empty() ? std::vector<tvsub::PositionRecord>{} : core_.Positions(chosen);
    if (!track.empty()) {
        const auto& t = track.back();
        position_->setText(U(t.time + "  " + std::to_string(t.longitude) + ", " + std::to_string(t.latitude) +
                             (t.speed.empty() ? std::string() : "  " + t.speed + " km/h") +
                             (t.direction.empty() ? std::string() : "  " + t.direction + "°")));
    } else {
        position_->clear();
    }
    plot_->SetTrack(std::move(track));
    const auto ptz = chosen.empty() ? std::vector<tvsub::PtzRecord>{} : core_.PtzPositions(chosen);
    if (!ptz.empty())
        ptz_->setText(U("PTZ 位置: " + tvsub::PtzText(ptz.back()) + ", 共 " + std::to_string(ptz.size()) + " 次"));
    else
        ptz_->clear();
}

void AddSubscriptionMenu(QMenuBar* bar, CTarvexCore& core, QWidget* window) {
    auto* menu = bar->addMenu(U("订阅(&S)"));
    QAction* open = menu->addAction(U("订阅与报警(&A)..."));
    open->setObjectName("actionSubscriptions");
    auto panel = std::make_shared<QPointer<SubscriptionPanel>>();
    QObject::connect(open, &QAction::triggered, window, [panel, &core, window] {
        if (!*panel) *panel = new SubscriptionPanel(core, window);
        (*panel)->show();
        (*panel)->raise();
    });
}
