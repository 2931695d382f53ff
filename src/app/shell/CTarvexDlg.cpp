#include "app/shell/CTarvexDlg.h"

#include "app/shell/AppIcon.h"
#include "app/shell/CAboutDlg.h"
#include "app/shell/CDlgCfgDialog.h"
#include "app/settings/ListenStatus.h"
#include "app/shell/CListX.h"
#include "app/shell/CStaticEx.h"
#include "app/shell/ShellMessage.h"
#include "app/shell/AudioMeterView.h"
#include "app/shell/VoiceControls.h"
#include "base/TextCodec.h"
#include "check/driver/CheckDriver.h"
#include "app/shell/CWebDlg.h"
#include "app/shell/CDlgVHeader.h"
#include "app/shell/CDlgSearchDialog.h"
#include "app/shell/CMediaPlots.h"
#include "app/shell/CMessageView.h"
#include "app/shell/CDlgRowInputs.h"
#include "app/shell/SnapshotPanel.h"
#include "app/shell/SubscriptionPanel.h"
#include "app/shell/TreeEventMarker.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QPointer>
#include <QThread>
#include <QVBoxLayout>
#include <QDateTime>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

template <class W> W* Named(W* w, int id) {
    w->setObjectName(QStringLiteral("ctl%1").arg(id));
    return w;
}

QTreeWidget* MakeCommandList(int id, const char* heading) {
    auto* l = Named(new QTreeWidget, id);
    l->setColumnCount(2);
    l->setHeaderLabels({U("序号"), U(heading)});
    l->setRootIsDecorated(false);
    l->setUniformRowHeights(true);
    l->setAllColumnsShowFocus(true);
    // The tick marks the row last acted on; a selection would only compete with it.
    l->setSelectionMode(QAbstractItemView::NoSelection);
    l->setFocusPolicy(Qt::NoFocus);
    l->header()->setStretchLastSection(true);
    l->setStyleSheet(QStringLiteral("QTreeView::item { border-bottom: 1px solid #d8d8d8; }"));
    return l;
}

QLabel* Caption(const char* text) { return new QLabel(U(text)); }

QString Utf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

constexpr int kItemIdRole = Qt::UserRole + 1;

// The check state of item goes to every descendant.
void CheckDescendants(QTreeWidgetItem* item) {
    std::vector<QTreeWidgetItem*> todo{item};
    while (!todo.empty()) {
        QTreeWidgetItem* it = todo.back();
        todo.pop_back();
        for (int i = 0; i < it->childCount(); ++i) {
            it->child(i)->setCheckState(0, item->checkState(0));
            todo.push_back(it->child(i));
        }
    }
}

} // namespace

CTarvexDlg::CTarvexDlg(std::unique_ptr<CTarvexCore> core, QWidget* parent)
    : QDialog(parent), core_(std::move(core)) {
    setObjectName("CTarvexDlg");
    setWindowTitle(U("国标测试工具"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    BuildControls();
    core_->SetView(this);
    // The decoder draws into the video view from the first stream on.
    core_->SetVideoSurface(video_);
    InitialiseWindow();
}

CTarvexDlg::~CTarvexDlg() {
    // A running check ends its waits and judges what it saw before the core stops.
    checkDriver_.reset();
    // The endpoint's thread and the core's timer end (what already arrived is
    // handled) before any widget goes; their last view calls are queued to
    // this dialog and dropped with it.
    core_->Stop();
    core_->SetVideoSurface(nullptr);
    core_->SetView(nullptr);
}

void CTarvexDlg::BuildControls() {
    // Left: device tree over the local address tree.
    deviceTree_ = Named(new QTreeWidget, 1006);
    deviceTree_->setHeaderHidden(true);
    // Identifiers differ in their last digits: never cut them, scroll instead.
    deviceTree_->setTextElideMode(Qt::ElideMiddle);
    deviceTree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    deviceTree_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    deviceTree_->header()->setStretchLastSection(false);
    addressTree_ = Named(new QTreeWidget, 1094);
    addressTree_->setHeaderHidden(true);
    auto* left = new QSplitter(Qt::Vertical);
    left->addWidget(deviceTree_);
    left->addWidget(addressTree_);
    left->setStretchFactor(0, 3);
    left->setStretchFactor(1, 1);

    // Centre: video view, statistics line, download progress, audio.
    video_ = Named(new CStaticEx, 1007);
    video_->setMinimumSize(320, 180);
    statusText_ = Named(new QLabel, 1090);
    statusText_->setMinimumWidth(100);
    statusText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    // The statistics line ends with a line feed: two lines from the start, so
    // that the first figures do not shrink the video view, whose size the
    // decoder takes at a stream's first picture.
    statusText_->setFixedHeight(2 * statusText_->fontMetrics().lineSpacing());
    progress_ = Named(new QProgressBar, 1100);
    progress_->setTextVisible(false);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progressText_ = Named(new QLabel(QStringLiteral("00:00:00/00:00:00")), 1101);
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(Caption("下载进度:"));
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(progressText_);
    audioIn_ = Named(new AudioMeterView, 1103);
    audioOut_ = Named(new AudioMeterView, 1106);
    for (auto* m : {audioIn_, audioOut_}) {
        m->setMinimumSize(139, 40);
        m->setMaximumHeight(56);
        m->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    audioButton_ = Named(new QPushButton(U("开启音频")), 1102);
    auto* audioRow = new QHBoxLayout;
    audioRow->addWidget(Caption("音频输入:"));
    audioRow->addWidget(audioIn_, 1);
    audioRow->addWidget(Caption("音频输出:"));
    audioRow->addWidget(audioOut_, 1);
    audioRow->addWidget(audioButton_);
    // 录像: the live view's pictures into an MP4 file while it is down.
    auto* record = Named(new QPushButton(U("录像")), 1107);
    record->setCheckable(true);
    audioRow->addWidget(record);
    auto* voiceRow = new QHBoxLayout; // 静音, the voice source, 选择WAV…
    voiceControls_ = std::make_unique<VoiceControls>(*core_, this, voiceRow, audioOut_);
    connect(record, &QPushButton::clicked, this,
            [this, record] { record->setChecked(core_->ToggleLiveRecording()); });
    // 码流: main or sub stream of the next live view (a=streamnumber, 2022).
    auto* stream = Named(new QComboBox, 1111);
    stream->addItems({U("主码流"), U("子码流")});
    audioRow->addWidget(stream);
    connect(stream, &QComboBox::currentIndexChanged, this,
            [this](int index) { core_->SetLiveStream(index); });
    auto* centre = new QWidget;
    auto* cl = new QVBoxLayout(centre);
    cl->setContentsMargins(0, 0, 0, 0);
    cl->addWidget(video_, 1);
    sourceText_ = Named(new QLabel, 1095);
    cl->addWidget(sourceText_);
    cl->addWidget(statusText_);
    cl->addLayout(progressRow);
    cl->addLayout(audioRow);
    cl->addLayout(voiceRow);

    // Right: command lists, custom message, pan-tilt-zoom, settings and exit.
    signallingList_ = MakeCommandList(1080, "控制和查询信令");
    mediaList_ = MakeCommandList(1081, "媒体控制信令");
    customText_ = Named(new QPlainTextEdit, 1091);
    customCheck_ = Named(new QCheckBox(U("自定义消息")), 1092);
    auto* send = Named(new QPushButton(U("发送")), 1093);
    auto* customBox = new QWidget;
    auto* cb = new QVBoxLayout(customBox);
    cb->setContentsMargins(0, 0, 0, 0);
    cb->addWidget(customText_, 1);
    auto* sendRow = new QHBoxLayout;
    sendRow->addWidget(customCheck_);
    sendRow->addStretch(1);
    sendRow->addWidget(send);
    cb->addLayout(sendRow);

    speedSlider_ = Named(new QSlider(Qt::Horizontal), 1056);
    ptzAddress_ = Named(new QLineEdit(QStringLiteral("0")), 1058);
    speedEdit_ = Named(new QLineEdit(QStringLiteral("0")), 1065);
    presetNumber_ = Named(new QLineEdit(QStringLiteral("1")), 1104);
    presetName_ = Named(new QLineEdit(QStringLiteral("Preset")), 1105);
    for (auto* e : {ptzAddress_, speedEdit_, presetNumber_}) e->setMaximumWidth(56);
    auto* ptz = new QGroupBox(U("云台和预置位控制:"));
    auto* pg = new QGridLayout(ptz);
    pg->addWidget(Caption("速度:"), 0, 0);
    pg->addWidget(speedSlider_, 0, 1, 1, 2);
    pg->addWidget(speedEdit_, 0, 3);
    pg->addWidget(Caption("地址位:"), 1, 0);
    pg->addWidget(ptzAddress_, 1, 1);
    pg->addWidget(Caption("编号:"), 1, 2, Qt::AlignRight);
    pg->addWidget(presetNumber_, 1, 3);
    pg->addWidget(Caption("名称:"), 2, 0);
    pg->addWidget(presetName_, 2, 1, 1, 3);
    pg->setColumnStretch(1, 1);

    auto* settings = Named(new QPushButton(U("参数设置")), 1053);
    auto* exit = Named(new QPushButton(U("退出")), 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(settings);
    buttons->addWidget(exit);

    auto* rightSplit = new QSplitter(Qt::Vertical);
    rightSplit->addWidget(signallingList_);
    rightSplit->addWidget(mediaList_);
    rightSplit->addWidget(customBox);
    rightSplit->setStretchFactor(0, 3);
    rightSplit->setStretchFactor(1, 2);
    rightSplit->setStretchFactor(2, 2);
    auto* right = new QWidget;
    auto* rl = new QVBoxLayout(right);
    rl->setContentsMargins(0, 0, 0, 0);
    rl->addWidget(rightSplit, 1);
    rl->addWidget(ptz);
    rl->addLayout(buttons);

    auto* top = new QSplitter(Qt::Horizontal);
    top->addWidget(left);
    top->addWidget(centre);
    top->addWidget(right);
    top->setStretchFactor(0, 2);
    top->setStretchFactor(1, 5);
    top->setStretchFactor(2, 3);
    top->setSizes({250, 640, 370});

    messageList_ = Named(new CListX(core_->Log()), 1008);
    messageList_->setMinimumHeight(120);
    // Over the log: the display filter (Enter applies it) and find-next.
    logFilter_ = Named(new QLineEdit, 1201);
    logFilter_->setPlaceholderText(U("显示过滤 (回车应用): cmd==Catalog && dev==34020000001320000001"));
    logFilter_->setClearButtonEnabled(true);
    logFilterStatus_ = new QLabel;
    logFilterStatus_->setObjectName("logFilterStatus");
    findText_ = Named(new QLineEdit, 1203);
    findText_->setPlaceholderText(U("查找"));
    findText_->setMaximumWidth(200);
    auto* findNext = Named(new QPushButton(U("查找下一个")), 1202);
    auto* filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(0, 0, 0, 0);
    filterRow->addWidget(logFilter_, 1);
    filterRow->addWidget(logFilterStatus_);
    filterRow->addWidget(findText_);
    filterRow->addWidget(findNext);
    auto* logBox = new QWidget;
    auto* lb = new QVBoxLayout(logBox);
    lb->setContentsMargins(0, 0, 0, 0);
    lb->addLayout(filterRow);
    lb->addWidget(messageList_, 1);
    connect(logFilter_, &QLineEdit::returnPressed, this, [this] { ApplyLogFilter(logFilter_->text()); });
    connect(findNext, &QPushButton::clicked, this, [this] { FindNext(findText_->text()); });
    connect(findText_, &QLineEdit::returnPressed, this, [this] { FindNext(findText_->text()); });
    // Auto-follow: on while the list is scrolled to its end; scrolling up pauses it.
    connect(messageList_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) {
        followLog_ = v >= messageList_->verticalScrollBar()->maximum();
    });
    // Rows taken or the list resized while following: stay at the end.
    connect(messageList_->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int max) {
        if (followLog_) messageList_->verticalScrollBar()->setValue(max);
    });
    // Beside the log: the selected row in full and its call's ladder.
    messageView_ = new CMessageView;
    mediaPlots_ = new CMediaPlots;
    messageView_->addTab(mediaPlots_, U("媒体统计"));
    auto* logSplit = new QSplitter(Qt::Horizontal);
    logSplit->addWidget(logBox);
    logSplit->addWidget(messageView_);
    logSplit->setStretchFactor(0, 3);
    logSplit->setStretchFactor(1, 2);
    logSplit->setSizes({760, 500});
    connect(messageList_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& cur) {
                messageView_->ShowRow(core_->Log(), cur.isValid() ? messageList_->Model()->LogRow(cur.row()) : -1);
            });
    connect(messageView_, &CMessageView::ladderRowClicked, this, [this](int logRow) {
        const int row = messageList_->Model()->ListRow(logRow);
        if (row >= 0) messageList_->setCurrentIndex(messageList_->Model()->index(row, 0));
    });
    auto* main = new QSplitter(Qt::Vertical);
    main->addWidget(top);
    main->addWidget(logSplit);
    main->setStretchFactor(0, 3);
    main->setStretchFactor(1, 1);
    main->setSizes({480, 180});

    auto* menuBar = new QMenuBar;
    auto* tools = menuBar->addMenu(U("检查(&C)"));
    check_ = tools->addAction(U("设备检查(&D)..."));
    check_->setObjectName("actionCheck");
    connect(check_, &QAction::triggered, this, &CTarvexDlg::OnCheck);
    AddSubscriptionMenu(menuBar, *core_, this); // subscriptions, alarms, positions
    AddSnapshotMenu(menuBar, this);             // the snapshots devices uploaded
    new TreeEventMarker(this, *core_, [this](int item) -> QTreeWidgetItem* {
        auto it = treeItems_.find(item);
        return it == treeItems_.end() ? nullptr : it->second;
    });
    auto* help = menuBar->addMenu(U("帮助(&H)"));
    about_ = help->addAction(U("关于 Tarvex(&A)..."));
    about_->setObjectName("actionAbout");
    // Where SIP listens, or in red why not, with the way to the settings.
    listenStatus_ = new QLabel;
    listenStatus_->setObjectName("listenStatus");
    listenStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    listenSettings_ = new QPushButton(U("参数设置..."));
    listenSettings_->setObjectName("listenSettings");
    listenSettings_->hide();
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(listenStatus_, 1);
    statusRow->addWidget(listenSettings_);
    auto* l = new QVBoxLayout(this);
    l->setMenuBar(menuBar);
    l->setContentsMargins(6, 6, 6, 6);
    l->addWidget(main);
    l->addLayout(statusRow);
    resize(1280, 720);

    connect(about_, &QAction::triggered, this, &CTarvexDlg::OnAbout);
    connect(settings, &QPushButton::clicked, this, &CTarvexDlg::OnSettings);
    connect(listenSettings_, &QPushButton::clicked, this, &CTarvexDlg::OnSettings);
    connect(send, &QPushButton::clicked, this, &CTarvexDlg::OnSend);
    connect(exit, &QPushButton::clicked, this, &CTarvexDlg::OnExit);
    connect(signallingList_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* it) {
        OnListClicked(1080, signallingList_->indexOfTopLevelItem(it));
    });
    connect(mediaList_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* it) {
        OnListClicked(1081, mediaList_->indexOfTopLevelItem(it));
    });
    connect(deviceTree_, &QTreeWidget::itemClicked, this, &CTarvexDlg::OnDeviceTreeClicked);
    connect(deviceTree_, &QTreeWidget::itemChanged, this, &CTarvexDlg::OnDeviceItemChanged);
    connect(addressTree_, &QTreeWidget::itemChanged, this, &CTarvexDlg::OnAddressItemChanged);
    connect(messageList_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
        OnLogDoubleClick(messageList_->Model()->LogRow(i.row()), i.column());
    });
    // Released, or moved by keys and clicks on the groove (not while dragging).
    connect(speedSlider_, &QSlider::sliderReleased, this,
            [this] { core_->SpeedFromSlider(speedSlider_->value()); });
    connect(speedSlider_, &QSlider::valueChanged, this, [this](int v) {
        if (!updating_ && !speedSlider_->isSliderDown()) core_->SpeedFromSlider(v);
    });
    connect(speedEdit_, &QLineEdit::textChanged, this, &CTarvexDlg::SpeedEditChanged);
    connect(ptzAddress_, &QLineEdit::textChanged, this, [this](const QString& t) {
        bool ok = false;
        int v = t.toInt(&ok);
        if (ok) core_->SetPtzAddress(v);
    });
    for (auto* e : {ptzAddress_, speedEdit_, presetNumber_})
        connect(e, &QLineEdit::editingFinished, this, [this, e] { CheckInputBox(e); });
    connect(video_, &CStaticEx::dragEnded, this, &CTarvexDlg::OnVideoDrag);
    connect(video_, &CStaticEx::dragMoved, this, &CTarvexDlg::OnVideoDragMove);
    connect(customCheck_, &QCheckBox::toggled, this, [this] { core_->SetInputs(Inputs()); });

    // Log rows and tree changes are taken in batches, not one repaint each.
    logTimer_ = new QTimer(this);
    logTimer_->setSingleShot(true);
    logTimer_->setInterval(kLogBatchMs);
    connect(logTimer_, &QTimer::timeout, this, &CTarvexDlg::TakeLogRows);
    treeTimer_ = new QTimer(this);
    treeTimer_->setSingleShot(true);
    treeTimer_->setInterval(kTreeBatchMs);
    connect(treeTimer_, &QTimer::timeout, this, &CTarvexDlg::RedrawTree);
    // The media pane's open calls: polled once a second on this thread.
    auto* callTimer = new QTimer(this);
    callTimer->setInterval(1000);
    connect(callTimer, &QTimer::timeout, this, [this] {
        mediaPlots_->UpdateCalls(core_->MediaSession().OpenCalls(), std::chrono::steady_clock::now());
    });
    callTimer->start();
}

void CTarvexDlg::InitialiseWindow() {
    // 2: the About entry lives in the Help menu; 3: icons.
    // The installed theme icon of the desktop entry (Icon=tarvex), else the
    // same drawing.
    setWindowIcon(QIcon::fromTheme(QStringLiteral("tarvex"), TarvexIcon()));
    // 4: speed slider (its clamping to the new range is not an operator move).
    updating_ = true;
    speedSlider_->setRange(1, 255);
    speedSlider_->setSingleStep(5);
    speedSlider_->setPageStep(10);
    speedSlider_->setTickInterval(25);
    speedSlider_->setTickPosition(QSlider::TicksBelow);
    updating_ = false;
    // 4 to 7: speed byte, device tree root, content type, endpoint start; 10:
    // the signalling list's rows.
    core_->Initialise();
    ShowListenStatus();
    // A settings restart starts the endpoint a moment after the OK; the line follows it.
    auto* listenTimer = new QTimer(this);
    listenTimer->setInterval(500);
    connect(listenTimer, &QTimer::timeout, this, &CTarvexDlg::ShowListenStatus);
    listenTimer->start();
    RedrawTree();
    // 8: the workbook sheets are created by the message-log writer.
    // 9, 10: list columns; styles were set when the lists were made.
    messageList_->FitColumns();
    for (auto* l : {signallingList_, mediaList_}) {
        const int w = l->viewport()->width() > 0 ? l->viewport()->width() : 360;
        l->setColumnWidth(0, w / 4);
    }
    // 11: local addresses.
    addressTree_->clear();
    addressRoot_ = new QTreeWidgetItem(addressTree_, {U("本地联接:")});
    addressRoot_->setFlags(addressRoot_->flags() | Qt::ItemIsUserCheckable);
    addressRoot_->setCheckState(0, Qt::Unchecked);
    core_->ListAddresses();
    addressTree_->expandAll();
    // 12: the input meter goes to the audio toggle, which runs on each click of
    // button 1102; the video view is the decoder's surface (the media session
    // hands it to SetHWND) and reports drags.
    ConnectAudioToggle(core_->Audio(), audioButton_, audioIn_);
}

QWidget* CTarvexDlg::Control(int id) const {
    return findChild<QWidget*>(QStringLiteral("ctl%1").arg(id));
}

template <class Fn> void CTarvexDlg::OnGui(Fn fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    QPointer<CTarvexDlg> self(this);
    QMetaObject::invokeMethod(
        this, [self, fn] { if (self) fn(); }, Qt::QueuedConnection);
}

void CTarvexDlg::ArmBatch(std::atomic<bool>& pending, QTimer* timer) {
    // Only the first change of a batch posts anything.
    if (pending.exchange(true)) return;
    QPointer<QTimer> t(timer);
    QMetaObject::invokeMethod(
        this, [t] { if (t && !t->isActive()) t->start(); }, Qt::QueuedConnection);
}

void CTarvexDlg::LogGrew() { ArmBatch(logPending_, logTimer_); }

void CTarvexDlg::TakeLogRows() {
    logPending_ = false;
    const int before = messageList_->Model()->rowCount();
    messageList_->Model()->TakeNewRows();
    if (followLog_ && messageList_->Model()->rowCount() != before) messageList_->scrollToBottom();
    // The ladder on show takes the call's new rows.
    if (messageView_->currentIndex() == CMessageView::kLadder && messageView_->ShownRow() >= 0)
        messageView_->RefreshLadder(core_->Log());
}

bool CTarvexDlg::ApplyLogFilter(const QString& text) {
    std::string error;
    const bool ok = messageList_->Model()->SetFilter(text.toStdString(), &error);
    // Green for a filter in force, red with the reason for one that does not parse.
    if (!ok) {
        logFilter_->setStyleSheet(QStringLiteral("QLineEdit { background: #ffd0d0; }"));
        logFilterStatus_->setText(QString::fromStdString(error));
        return false;
    }
    logFilter_->setStyleSheet(text.trimmed().isEmpty() ? QString()
                                                       : QStringLiteral("QLineEdit { background: #d0ffd0; }"));
    logFilterStatus_->setText(text.trimmed().isEmpty()
                                  ? QString()
                                  : U("%1 / %2 行").arg(messageList_->Model()->rowCount())
                                        .arg(core_->Log().Size()));
    followLog_ = true;
    messageList_->scrollToBottom();
    return true;
}

int CTarvexDlg::FindNext(const QString& text) {
    CLogModel* m = messageList_->Model();
    const int n = m->rowCount();
    if (text.isEmpty() || n == 0) return -1;
    const int from = messageList_->currentIndex().isValid() ? messageList_->currentIndex().row() + 1 : 0;
    for (int k = 0; k < n; ++k) {
        const int row = (from + k) % n; // wraps to the top
        if (m->Cells(row).join(QLatin1Char('\n')).contains(text, Qt::CaseInsensitive)) {
            messageList_->setCurrentIndex(m->index(row, 0));
            messageList_->scrollTo(m->index(row, 0));
            return row;
        }
    }
    return -1;
}

void CTarvexDlg::DeviceTreeChanged() { ArmBatch(treePending_, treeTimer_); }

void CTarvexDlg::RedrawTree() {
    treePending_ = false;
    TreeDelta delta = core_->TakeTreeDelta();
    if (delta.full) {
        RedrawWholeTree(delta.snapshot);
        MarkOffline(delta.offline);
        return;
    }
    // Only the rows that changed: new items are appended to their parent (in
    // runs, one insertion each), gone ones removed with their descendants.
    const QSignalBlocker block(deviceTree_);
    std::size_t i = 0;
    while (i < delta.changes.size()) {
        const TreeChange& c = delta.changes[i];
        if (c.op == TreeChange::Op::Add) {
            auto parent = treeItems_.find(c.parent);
            QList<QTreeWidgetItem*> run;
            for (; i < delta.changes.size() && delta.changes[i].op == TreeChange::Op::Add &&
                   delta.changes[i].parent == c.parent;
                 ++i) {
                const TreeChange& a = delta.changes[i];
                auto* it = new QTreeWidgetItem(QStringList{Utf8(a.text)});
                it->setData(0, kItemIdRole, a.item);
                it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
                it->setCheckState(0, Qt::Unchecked);
                treeItems_[a.item] = it;
                run.push_back(it);
            }
            if (parent != treeItems_.end()) {
                parent->second->addChildren(run);
            } else {
                for (QTreeWidgetItem* it : run) treeItems_.erase(it->data(0, kItemIdRole).toInt());
                qDeleteAll(run);
            }
            continue;
        }
        auto it = treeItems_.find(c.item);
        if (it != treeItems_.end()) {
            QTreeWidgetItem* item = it->second;
            if (c.op == TreeChange::Op::Expand) {
                item->setExpanded(true);
            } else {
                std::vector<QTreeWidgetItem*> todo{item};
                while (!todo.empty()) {
                    QTreeWidgetItem* t = todo.back();
                    todo.pop_back();
                    treeItems_.erase(t->data(0, kItemIdRole).toInt());
                    for (int k = 0; k < t->childCount(); ++k) todo.push_back(t->child(k));
                }
                delete item;
            }
        }
        ++i;
    }
    MarkOffline(delta.offline);
}

void CTarvexDlg::MarkOffline(const std::vector<std::pair<int, bool>>& marks) {
    // A device that missed its keepalives shows grey and italic; its text stays
    // what scripts and the operator look for.
    for (const auto& [id, offline] : marks) {
        auto it = treeItems_.find(id);
        if (it == treeItems_.end()) continue;
        QTreeWidgetItem* item = it->second;
        QFont f = item->font(0);
        f.setItalic(offline);
        item->setFont(0, f);
        item->setForeground(0, offline ? QBrush(Qt::gray) : QBrush());
        item->setToolTip(0, offline ? U("离线: 心跳超时") : QString());
    }
    // A device's tooltip names the version it declared (X-GB-Ver).
    for (const auto& [id, tip] : core_->DeviceVersionTips())
        if (auto it = treeItems_.find(id); it != treeItems_.end())
            it->second->setToolTip(0, (it->second->font(0).italic() ? U("离线: 心跳超时\n") : QString()) + Utf8(tip));
}

void CTarvexDlg::RedrawWholeTree(const TreeItem& root) {
    // The check marks are the view's and survive the redraw by item number.
    std::map<int, Qt::CheckState> checks;
    int current = -1;
    for (const auto& [id, it] : treeItems_) {
        checks[id] = it->checkState(0);
        if (it == deviceTree_->currentItem()) current = id;
    }
    const QSignalBlocker block(deviceTree_);
    treeItems_.clear();
    deviceTree_->clear();
    QTreeWidgetItem* selected = nullptr;
    std::function<void(QTreeWidgetItem*, const TreeItem&)> add = [&](QTreeWidgetItem* parent,
                                                                     const TreeItem& t) {
        auto* it = parent ? new QTreeWidgetItem(parent, {Utf8(t.text)})
                          : new QTreeWidgetItem(deviceTree_, {Utf8(t.text)});
        it->setData(0, kItemIdRole, t.item);
        it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
        auto c = checks.find(t.item);
        it->setCheckState(0, c != checks.end() ? c->second : Qt::Unchecked);
        treeItems_[t.item] = it;
        if (t.item == current) selected = it;
        for (const auto& ch : t.children) add(it, ch);
        it->setExpanded(t.expanded || !parent);
    };
    add(nullptr, root);
    if (selected) deviceTree_->setCurrentItem(selected);
}

void CTarvexDlg::ShowLocalAddresses(const std::vector<std::string>& addresses) {
    const QSignalBlocker b(addressTree_);
    for (const auto& a : addresses) {
        auto* it = new QTreeWidgetItem(addressRoot_, {QString::fromStdString(a)});
        it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
        it->setCheckState(0, Qt::Unchecked);
    }
}

void CTarvexDlg::ShowSpeed(int speed) {
    updating_ = true;
    speedSlider_->setValue(speed);
    const QString t = QString::number(speed);
    if (speedEdit_->text() != t) speedEdit_->setText(t);
    updating_ = false;
}

void CTarvexDlg::ShowMessage(const std::string& text) {
    // Always later: the core may be in the middle of an action.
    QPointer<CTarvexDlg> self(this);
    const QString t = Utf8(text);
    QMetaObject::invokeMethod(
        this, [self, t] { if (self) ShellMessage(self, t); }, Qt::QueuedConnection);
}

bool CTarvexDlg::CheckRunning() const { return checkDriver_ != nullptr; }

void CTarvexDlg::OnCheck() {
    if (checkDriver_) {
        if (checkProgress_) checkProgress_->show();
        return;
    }
    const std::optional<std::string> device = core_->CurrentDeviceId();
    if (!device) {
        ShellMessage(this, U("提示\r\n设备未注册到服务器"));
        return;
    }
    tarvex::check::DriverOptions o;
    // Beside config.ini in the working folder, one folder per check.
    o.outDir = QDateTime::currentDateTime()
                   .toString(QStringLiteral("'tarvex-check-'yyyyMMdd-HHmmss"))
                   .toStdString();
    o.outDir = std::filesystem::absolute(o.outDir);
    // Two checks within a second keep both reports.
    const std::filesystem::path base = o.outDir;
    for (int n = 2; std::filesystem::exists(o.outDir); ++n)
        o.outDir = base.string() + "-" + std::to_string(n);
    o.registerTimeout = std::chrono::milliseconds(0);
    o.window = checkWindow_;
    o.view = video_;
    o.report.language = "zh";
    checkProgress_ = new QProgressDialog(this);
    checkProgress_->setObjectName("checkProgress");
    checkProgress_->setWindowTitle(U("设备检查"));
    checkProgress_->setLabelText(Utf8("设备 " + *device));
    checkProgress_->setRange(0, tarvex::check::CheckDriver::StepCount(o));
    checkProgress_->setValue(0);
    checkProgress_->setCancelButtonText(U("停止"));
    checkProgress_->setAutoClose(false);
    checkProgress_->setAutoReset(false);
    checkProgress_->setMinimumDuration(0);
    checkProgress_->setWindowModality(Qt::NonModal);
    QPointer<CTarvexDlg> self(this);
    checkDriver_ = std::make_unique<tarvex::check::CheckDriver>(
        *core_, o,
        [self](const tarvex::check::DriverProgress& p) {
            if (self) QMetaObject::invokeMethod(self, [self, p] { if (self) self->CheckProgress(p); },
                                                Qt::QueuedConnection);
        },
        [self](const tarvex::check::DriverOutcome& out) {
            if (self) QMetaObject::invokeMethod(self, [self, out] { if (self) self->CheckDone(out); },
                                                Qt::QueuedConnection);
        });
    tarvex::check::CheckDriver* driver = checkDriver_.get();
    connect(checkProgress_, &QProgressDialog::canceled, this, [driver] { driver->Cancel(); });
    checkProgress_->show();
    checkDriver_->Start();
}

void CTarvexDlg::CheckProgress(const tarvex::check::DriverProgress& p) {
    if (!checkProgress_) return;
    checkProgress_->setValue(p.step - 1);
    checkProgress_->setLabelText(QStringLiteral("%1/%2 ").arg(p.step).arg(p.steps) + Utf8(p.text));
}

void CTarvexDlg::CheckDone(const tarvex::check::DriverOutcome& out) {
    // The driver's thread has handed over its last word: joining it is quick.
    checkDriver_.reset();
    if (checkProgress_) {
        checkProgress_->deleteLater();
        checkProgress_ = nullptr;
    }
    if (!out.files.error.empty()) {
        ShellMessage(this, U("设备检查\r\n报告未能写入: ") + Utf8(out.files.error));
        return;
    }
    int counts[4] = {0, 0, 0, 0};
    for (const auto& c : out.results) ++counts[static_cast<int>(c.verdict)];
    // Not modal: the window goes on while the report is read.
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Tarvex"),
                                U("设备检查\r\n") +
                                    QStringLiteral("%1: %2 pass, %3 fail, %4 not supported, %5 "
                                                   "not run\n")
                                        .arg(Utf8(out.deviceId))
                                        .arg(counts[0])
                                        .arg(counts[1])
                                        .arg(counts[2])
                                        .arg(counts[3]) +
                                    Utf8(out.files.html.string()),
                                QMessageBox::Ok, this);
    box->setObjectName("checkDone");
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* open = box->addButton(U("打开报告"), QMessageBox::ActionRole);
    open->setObjectName("openReport");
    const QUrl report = QUrl::fromLocalFile(Utf8(out.files.html.string()));
    connect(open, &QPushButton::clicked, box, [report] { QDesktopServices::openUrl(report); });
    box->setModal(false);
    box->show();
}

void CTarvexDlg::RunLater(int ms, std::function<void()> fn) {
    QTimer::singleShot(ms, this, std::move(fn));
}

QTreeWidget* CTarvexDlg::CommandListOf(int list) const {
    return list == kListSignalling ? signallingList_ : mediaList_;
}

void CTarvexDlg::FillCommandList(int list, const std::vector<std::string>& labels) {
    OnGui([this, list, labels] {
        QTreeWidget* l = CommandListOf(list);
        const QSignalBlocker b(l);
        l->clear();
        for (std::size_t i = 0; i < labels.size(); ++i) {
            auto* it = new QTreeWidgetItem(l, {QString::asprintf("%02d", static_cast<int>(i) + 1),
                                               Utf8(labels[i])});
            it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
            it->setCheckState(0, Qt::Unchecked);
        }
    });
}

void CTarvexDlg::SetCommandChecked(int list, int row, bool checked) {
    OnGui([this, list, row, checked] {
        QTreeWidget* l = CommandListOf(list);
        if (row >= 0 && row < l->topLevelItemCount())
            l->topLevelItem(row)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
    });
}

void CTarvexDlg::ShowMessageText(const std::string& body) {
    const QString t = Utf8(TextCodec::BodyToUtf8(body));
    OnGui([this, t] { customText_->setPlainText(t); });
}

void CTarvexDlg::ShowStreamSource(const std::string& text) {
    const QString t = Utf8(text);
    OnGui([this, t] {
        sourceText_->setText(t);
        setWindowTitle(t.isEmpty() ? U("国标测试工具") : U("国标测试工具") + QStringLiteral(" — ") + t);
    });
}

void CTarvexDlg::ShowMediaFigures(const MediaViewUpdate& u) {
    // Always queued, from the GUI thread too: the figures a stopping stream
    // sends last are applied after any the receive thread posted before.
    QPointer<CTarvexDlg> self(this);
    // The plots place the figures at the time they were published, not taken.
    const auto published = std::chrono::steady_clock::now();
    QMetaObject::invokeMethod(
        this,
        [self, u, published] {
            if (!self) return;
            if (u.statistics) self->statusText_->setText(Utf8(*u.statistics));
            if (u.figures) self->mediaPlots_->Add(*u.figures, published);
            if (u.progressText) self->progressText_->setText(Utf8(*u.progressText));
            if (u.progressMax) self->progress_->setRange(0, std::max(*u.progressMax, 0));
            if (u.progressPos) self->progress_->setValue(*u.progressPos);
        },
        Qt::QueuedConnection);
}

OperatorInputs CTarvexDlg::Inputs() const {
    OperatorInputs in;
    in.speed = speedEdit_->text().trimmed().toStdString();
    in.address = ptzAddress_->text().trimmed().toStdString();
    in.presetNumber = presetNumber_->text().trimmed().toStdString();
    in.presetName = presetName_->text().toStdString();
    in.viewWidth = video_->width();
    in.viewHeight = video_->height();
    in.drag = drag_;
    // The editor keeps line ends as LF; bodies go out with CR LF like the rest
    // of the system's texts.
    QString text = customText_->toPlainText();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    in.customText = text.toStdString();
    in.customMode = customCheck_->isChecked();
    return in;
}

void CTarvexDlg::OnAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CTarvexDlg::OnSettings() {
    CDlgCfgDialog dlg(core_->Settings(), this);
    if (dlg.exec() == QDialog::Accepted) {
        core_->SettingsAccepted();
        ShowListenStatus();
    }
}

void CTarvexDlg::ShowListenStatus() {
    const CDlgCfg& cfg = core_->Settings();
    const ListenStatus s = core_->WithInputStatus(DescribeListen(cfg.localTransport, cfg.localPort, core_->LastStartResult()));
    if (listenStatus_->text() == QString::fromStdString(s.text)) return;
    listenStatus_->setText(QString::fromStdString(s.text));
    listenStatus_->setStyleSheet(s.listening ? QString() : QStringLiteral("color: #c00000;"));
    listenSettings_->setVisible(!s.listening);
}

void CTarvexDlg::OnSend() { core_->PressSend(Inputs()); }

void CTarvexDlg::OnExit() {
    core_->Exit();
    accept();
}

void CTarvexDlg::OnListClicked(int id, int row) {
    const int list = id == 1080 ? kListSignalling : kListMedia;
    if (row < 0 || row >= CommandListOf(list)->topLevelItemCount()) return;
    // The search conditions first, so that no lock is held across a modal loop.
    // 取消 in the search dialog cancels the search: nothing is sent.
    if (core_->ClickSearchesRecordings(list, row) && !RunSearchDialog(core_->Search(), this)) return;
    OperatorInputs in = Inputs();
    if (list == kListSignalling && !AskRowInputs(row, SignallingTable()[row].label,
                                                 {}, this, in.rowValues))
        return;
    core_->ClickCommand(list, row, in);
    ShowSpeed(core_->SpeedByte());
}

void CTarvexDlg::OnDeviceTreeClicked(QTreeWidgetItem* item) {
    if (!item) return;
    const QVariant id = item->data(0, kItemIdRole);
    if (id.isValid()) core_->TreeClicked(id.toInt());
}

void CTarvexDlg::OnDeviceItemChanged(QTreeWidgetItem* item, int column) {
    if (column != 0 || !item) return;
    const QSignalBlocker b(deviceTree_);
    CheckDescendants(item);
}

void CTarvexDlg::OnVideoDrag(QPoint press, QPoint release) {
    drag_ = DragRect{press.x(), press.y(), release.x(), release.y()};
    core_->VideoDragged(Inputs());
}

void CTarvexDlg::OnVideoDragMove(QPoint press, QPoint current) {
    core_->VideoDragging(DragRect{press.x(), press.y(), current.x(), current.y()});
}

void CTarvexDlg::OnLogDoubleClick(int row, int column) {
    // Body and head open their viewers (the core's columns 3 and 4); the other
    // columns the whole message.
    if (column != CLogModel::kBody && column != CLogModel::kHead) {
        if (row < 0) return;
        CMessageDlg dlg(core_->Log(), row, this);
        dlg.exec();
        return;
    }
    const CTarvexCore::ViewerRequest r = core_->LogDoubleClicked(row, column == CLogModel::kBody ? 3 : 4);
    if (r.viewer == CTarvexCore::Viewer::Xml) {
        CWebDlg web(this);
        web.SetText(r.text);
        web.exec();
    } else if (r.viewer == CTarvexCore::Viewer::Text) {
        CDlgVHeader viewer(this);
        viewer.SetText(Utf8(r.text));
        viewer.exec();
    }
}

void CTarvexDlg::OnAddressItemChanged(QTreeWidgetItem* item, int column) {
    if (column != 0 || !item) return;
    {
        const QSignalBlocker b(addressTree_);
        CheckDescendants(item);
    }
    if (item->checkState(0) == Qt::Checked) core_->AddressChecked(item->text(0).toStdString());
}

void CTarvexDlg::SpeedEditChanged(const QString& text) {
    if (updating_) return;
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < 0 || v > 255) return;
    core_->SpeedFromEdit(v);
}

void CTarvexDlg::CheckInputBox(QLineEdit* box) {
    const int id = box->objectName().mid(3).toInt();
    const std::string why = CTarvexCore::InputBoxMessage(id, box->text().trimmed().toStdString());
    if (why.empty()) return;
    // As the dialog's standard check does: the message, and back to the box.
    ShellMessage(this, Utf8(why));
    box->setFocus();
    box->selectAll();
}

void CTarvexDlg::keyPressEvent(QKeyEvent* e) {
    // Enter must not close the main dialog; Escape closes it like the close box.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(e);
}
