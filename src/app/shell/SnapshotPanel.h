#pragma once
// The snapshots a device uploaded (menu 图像 → 抓拍图片): the pictures the
// transfer server saved as snapshots/<channel>/<time>.jpg under the working
// folder, newest first, grouped by channel, and the chosen one shown scaled
// to the panel with its size. 刷新 reads the folder again; it is also read
// each time the panel is opened. Reads files only: no lock of the core.

#include <QDialog>
#include <QString>

#include <filesystem>

class QLabel;
class QPushButton;
class QTreeWidget;

class SnapshotPanel : public QDialog {
public:
    explicit SnapshotPanel(std::filesystem::path workDir, QWidget* parent = nullptr);
    // Lists the folder again; the chosen picture stays chosen when it is still there.
    void Refresh();
    // How many pictures are listed (for the title and tests).
    int Count() const { return count_; }

private:
    void Show(const QString& file);
    void resizeEvent(QResizeEvent* e) override;

    const std::filesystem::path workDir_;
    QTreeWidget* list_;
    QLabel* picture_;
    QLabel* info_;
    QPushButton* refresh_;
    QString shown_;
    int count_ = 0;
};

// The menu entry that opens the panel (one per window), for CTarvexDlg.
class QMenuBar;
void AddSnapshotMenu(QMenuBar* bar, QWidget* window);
