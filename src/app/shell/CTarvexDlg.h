#pragma once
// The main dialog "国标测试工具" (template 102): the one view of CTarvexCore.
// Every control is findable by objectName "ctl" + its identifier. Each operator
// action hands the core the operator's inputs (OperatorInputs) read from the
// controls; what the core shows arrives through ICoreView and is applied on the
// GUI thread.

#include "app/core/CTarvexCore.h"
#include "app/shell/VoiceControls.h"

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <memory>
#include <unordered_map>

class AudioMeterView;
class CListX;
class CMessageView;
class CMediaPlots;
class CStaticEx;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QAction;
class QProgressDialog;
namespace tarvex::check {
class CheckDriver;
struct DriverOutcome;
struct DriverProgress;
} // namespace tarvex::check

class CTarvexDlg : public QDialog, public ICoreView {
    Q_OBJECT
public:
    // How often at most the list takes new log rows and the tree redraws.
    static constexpr int kLogBatchMs = 150;
    static constexpr int kTreeBatchMs = 100;

    explicit CTarvexDlg(std::unique_ptr<CTarvexCore> core, QWidget* parent = nullptr);
    // Stops the core (every way out) before any widget goes.
    ~CTarvexDlg() override;

    CTarvexCore& Core() { return *core_; }
    // The control with this identifier, or nullptr.
    QWidget* Control(int id) const;
    template <class T> T* Ctl(int id) const { return qobject_cast<T*>(Control(id)); }

    QAction* AboutAction() const { return about_; }
    QAction* CheckAction() const { return check_; }
    // The device check of the menu runs (its driver exists until its end is shown).
    bool CheckRunning() const;
    // Measuring window of each stream of the menu's check (10 s).
    void SetCheckWindow(std::chrono::milliseconds window) { checkWindow_ = window; }
    CListX* MessageList() const { return messageList_; }
    // The selected log row in full, with its call's ladder (CMessageView.h).
    CMessageView* MessageView() const { return messageView_; }
    // "媒体统计", a tab beside the message view: the shown stream's recent figures.
    CMediaPlots* MediaPlots() const { return mediaPlots_; }
    CStaticEx* VideoView() const { return video_; }
    QTreeWidget* DeviceTree() const { return deviceTree_; }
    QTreeWidget* AddressTree() const { return addressTree_; }

    // What the operator has typed and set, for the core.
    OperatorInputs Inputs() const;
    // The list takes the log's new rows now (also done by its batch timer).
    void TakeLogRows();
    // The log's display filter (LogFilter.h syntax); false, the text marked red
    // with the reason, when it does not parse.
    bool ApplyLogFilter(const QString& text);
    // Selects the next list row after the current one containing text (wrapping); -1 for none.
    int FindNext(const QString& text);
    // Auto-follow: new rows scroll into view unless the operator scrolled up.
    bool LogFollowing() const { return followLog_; }

    // ICoreView
    void LogGrew() override;
    void DeviceTreeChanged() override;
    void FillCommandList(int list, const std::vector<std::string>& labels) override;
    void SetCommandChecked(int list, int row, bool checked) override;
    void ShowMessageText(const std::string& body) override;
    void ShowMediaFigures(const MediaViewUpdate& update) override;
    void ShowStreamSource(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
    void ShowLocalAddresses(const std::vector<std::string>& addresses) override;
    void ShowSpeed(int speed) override;
    void RunLater(int ms, std::function<void()> fn) override;

public slots:
    void OnAbout();
    // "设备检查": the device check against the selected (or only) device, its progress in
    // a window of its own; at the end a message names the report.
    void OnCheck();
    void OnSettings();
    void OnSend();
    void OnExit();
    // A click on row of list 1080 or 1081.
    void OnListClicked(int id, int row);
    // 静音, the voice source and 选择WAV… (1108 to 1110).
    VoiceControls& Voice() { return *voiceControls_; }
    void OnDeviceTreeClicked(QTreeWidgetItem* item);

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void BuildControls();
    void InitialiseWindow();
    // The listening line under the log, from the settings and the last start.
    void ShowListenStatus();
    void OnAddressItemChanged(QTreeWidgetItem* item, int column);
    void OnDeviceItemChanged(QTreeWidgetItem* item, int column);
    void SpeedEditChanged(const QString& text);
    void OnVideoDrag(QPoint press, QPoint release);
    void OnVideoDragMove(QPoint press, QPoint current);
    void OnLogDoubleClick(int row, int column);
    void RedrawTree();
    void RedrawWholeTree(const TreeItem& root);
    void MarkOffline(const std::vector<std::pair<int, bool>>& marks);
    // Box 1058, 1065 or 1104 left: the standard message when out of range.
    void CheckInputBox(QLineEdit* box);
    QTreeWidget* CommandListOf(int list) const;
    // Starts timer on the GUI thread unless a batch is pending already.
    void ArmBatch(std::atomic<bool>& pending, QTimer* timer);
    // Runs fn on the GUI thread: now when called there, else queued.
    template <class Fn> void OnGui(Fn fn);
    void CheckProgress(const tarvex::check::DriverProgress& p);
    void CheckDone(const tarvex::check::DriverOutcome& out);

    std::unique_ptr<CTarvexCore> core_;
    std::unique_ptr<VoiceControls> voiceControls_; // after core_: goes before it
    QAction* about_ = nullptr;
    QAction* check_ = nullptr;
    std::unique_ptr<tarvex::check::CheckDriver> checkDriver_;
    QProgressDialog* checkProgress_ = nullptr;
    std::chrono::milliseconds checkWindow_{10000};
    QTreeWidget* deviceTree_ = nullptr;
    QLabel* sourceText_ = nullptr; // whose stream the view shows
    QTreeWidget* addressTree_ = nullptr;
    QTreeWidgetItem* addressRoot_ = nullptr;
    CStaticEx* video_ = nullptr;
    CListX* messageList_ = nullptr;
    CMessageView* messageView_ = nullptr;
    CMediaPlots* mediaPlots_ = nullptr;
    QTreeWidget* signallingList_ = nullptr;
    QTreeWidget* mediaList_ = nullptr;
    QLabel* statusText_ = nullptr;
    QLabel* listenStatus_ = nullptr;
    QLineEdit* logFilter_ = nullptr;
    QLabel* logFilterStatus_ = nullptr;
    QLineEdit* findText_ = nullptr;
    bool followLog_ = true;
    QPushButton* listenSettings_ = nullptr;
    QPlainTextEdit* customText_ = nullptr;
    QCheckBox* customCheck_ = nullptr;
    QSlider* speedSlider_ = nullptr;
    QLineEdit* ptzAddress_ = nullptr;
    QLineEdit* speedEdit_ = nullptr;
    QLineEdit* presetNumber_ = nullptr;
    QLineEdit* presetName_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* progressText_ = nullptr;
    QPushButton* audioButton_ = nullptr;
    AudioMeterView* audioIn_ = nullptr;
    AudioMeterView* audioOut_ = nullptr;
    QTimer* logTimer_ = nullptr;
    QTimer* treeTimer_ = nullptr;
    std::atomic<bool> logPending_{false};
    std::atomic<bool> treePending_{false};
    std::unordered_map<int, QTreeWidgetItem*> treeItems_; // device tree items by model item
    DragRect drag_;
    bool updating_ = false;
};
