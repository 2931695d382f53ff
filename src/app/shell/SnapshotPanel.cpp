#include "app/shell/SnapshotPanel.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QMenuBar>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }
QString Q(const fs::path& p) { return QString::fromStdString(p.string()); }

constexpr int kPathRole = Qt::UserRole;
// A folder of a long session stays quick to list.
constexpr std::size_t kMaxListed = 2000;

} // namespace

SnapshotPanel::SnapshotPanel(fs::path workDir, QWidget* parent)
    : QDialog(parent), workDir_(std::move(workDir)) {
    setObjectName("snapshotPanel");
    setWindowTitle(U("抓拍图片"));
    list_ = new QTreeWidget;
    list_->setObjectName("snapshotList");
    list_->setHeaderLabels({U("通道 / 时间"), U("字节")});
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    picture_ = new QLabel(U("(未选择图片)"));
    picture_->setObjectName("snapshotPicture");
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setMinimumSize(320, 180);
    info_ = new QLabel;
    info_->setObjectName("snapshotInfo");
    info_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    refresh_ = new QPushButton(U("刷新"));
    refresh_->setObjectName("snapshotRefresh");

    auto* right = new QWidget;
    auto* rl = new QVBoxLayout(right);
    rl->addWidget(picture_, 1);
    rl->addWidget(info_);
    auto* split = new QSplitter;
    split->addWidget(list_);
    split->addWidget(right);
    split->setStretchFactor(1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(refresh_);
    auto* l = new QVBoxLayout(this);
    l->addWidget(split, 1);
    l->addLayout(buttons);
    resize(900, 480);

    connect(refresh_, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item && !item->data(0, kPathRole).toString().isEmpty()) Show(item->data(0, kPathRole).toString());
    });
    Refresh();
}

void SnapshotPanel::Refresh() {
    const QString keep = shown_;
    list_->clear();
    count_ = 0;
    std::error_code ec;
    const fs::path root = workDir_ / "snapshots";
    std::vector<fs::path> channels;
    for (fs::directory_iterator d(root, ec), end; !ec && d != end; d.increment(ec))
        if (d->is_directory(ec)) channels.push_back(d->path());
    std::sort(channels.begin(), channels.end());
    QTreeWidgetItem* chosen = nullptr;
    for (const fs::path& c : channels) {
        std::vector<fs::directory_entry> pictures;
        for (fs::directory_iterator f(c, ec), end; !ec && f != end; f.increment(ec))
            if (f->is_regular_file(ec) && f->path().extension() == ".jpg") pictures.push_back(*f);
        if (pictures.empty()) continue;
        // The names are times: newest first.
        std::sort(pictures.begin(), pictures.end(),
                  [](const auto& a, const auto& b) { return a.path().filename() > b.path().filename(); });
        auto* group = new QTreeWidgetItem(list_, {Q(c.filename()) + U(" (%1 张)").arg(pictures.size())});
        for (const auto& p : pictures) {
            if (static_cast<std::size_t>(count_) >= kMaxListed) break;
            auto* item = new QTreeWidgetItem(group, {Q(p.path().stem()), QString::number(p.file_size(ec))});
            item->setData(0, kPathRole, Q(p.path()));
            ++count_;
            if (Q(p.path()) == keep || (!chosen && keep.isEmpty())) chosen = item;
        }
        group->setExpanded(true);
    }
    setWindowTitle(U("抓拍图片 (%1 张, %2)").arg(count_).arg(Q(root)));
    if (chosen) {
        list_->setCurrentItem(chosen);
        Show(chosen->data(0, kPathRole).toString());
    } else {
        shown_.clear();
        picture_->setPixmap({});
        picture_->setText(count_ ? U("(未选择图片)") : U("(尚无抓拍图片: ") + Q(root) + U(")"));
        info_->clear();
    }
}

void SnapshotPanel::Show(const QString& file) {
    shown_ = file;
    QImageReader reader(file);
    const QString format = QString::fromLatin1(reader.format()).toUpper(); // read from the bytes
    const QImage image = reader.read();
    if (image.isNull()) {
        picture_->setPixmap({});
        picture_->setText(U("无法解码: ") + reader.errorString());
        info_->setText(file);
        return;
    }
    picture_->setPixmap(QPixmap::fromImage(image).scaled(picture_->size(), Qt::KeepAspectRatio,
                                                          Qt::SmoothTransformation));
    info_->setText(U("%1  %2×%3 %4").arg(file).arg(image.width()).arg(image.height()).arg(format));
}

void SnapshotPanel::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    if (!shown_.isEmpty()) Show(shown_);
}

void AddSnapshotMenu(QMenuBar* bar, QWidget* window) {
    auto* menu = bar->addMenu(U("图像(&I)"));
    QAction* open = menu->addAction(U("抓拍图片(&P)..."));
    open->setObjectName("actionSnapshots");
    auto panel = std::make_shared<QPointer<SnapshotPanel>>();
    QObject::connect(open, &QAction::triggered, window, [panel, window] {
        // The transfer server saves under the working folder.
        if (!*panel) *panel = new SnapshotPanel(fs::current_path(), window);
        else (*panel)->Refresh();
        (*panel)->show();
        (*panel)->raise();
    });
}
