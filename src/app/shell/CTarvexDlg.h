#pragma once
// The main dialog "国标测试工具" (template 102): a Qt view over CTarvexCore.
// Every control is findable by objectName "ctl" + its identifier.

#include "app/core/CTarvexCore.h"

#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>

class AudioMeterView;
class CListX;
class CStaticEx;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QTreeWidget;
class QTreeWidgetItem;
class QAction;

class CTarvexDlg : public QDialog, public ICoreView {
    Q_OBJECT
public:
    // bind runs once the controls exist and before the window is initialised
    // (the endpoint starts then): the place where other layers attach.
    explicit CTarvexDlg(std::unique_ptr<CTarvexCore> core, QWidget* parent = nullptr,
                        const std::function<void(CTarvexDlg&)>& bind = {});
    ~CTarvexDlg() override;

    CTarvexCore& Core() { return *core_; }
    // The control with this identifier, or nullptr.
    QWidget* Control(int id) const;
    template <class T> T* Ctl(int id) const { return qobject_cast<T*>(Control(id)); }

    QAction* AboutAction() const { return about_; }
    CListX* MessageList() const { return messageList_; }
    CStaticEx* VideoView() const { return video_; }
    QTreeWidget* DeviceTree() const { return deviceTree_; }
    QTreeWidget* AddressTree() const { return addressTree_; }

    // Fills command list 1080 or 1081 with its rows ("%02d" number, label).
    void FillCommandList(int id, const QStringList& labels);
    // Row last acted on in the command lists (-1 none) and its list (0 none).
    int SelectedRow() const { return selectedRow_; }
    int SelectedList() const { return selectedList_; }

    // ICoreView
    void ResetDeviceTree(const std::string& rootText) override;
    void ShowLocalAddresses(const std::vector<std::string>& addresses) override;
    void ShowSpeed(int speed) override;
    void ShowMessage(const std::string& text) override;
    void RunLater(int ms, std::function<void()> fn) override;

    // Handlers of later layers: the signalling and media command builders, the
    // device tree handling and the drag zoom plug in here.
    std::function<void(int list, int row)> onCommand;
    std::function<void(QTreeWidgetItem* item)> onDeviceTreeClick;
    std::function<void(int row, int column)> onLogDoubleClick;
    std::function<void(QPoint press, QPoint release)> onVideoDrag;

public slots:
    void OnAbout();
    void OnSettings();
    void OnSend();
    void OnExit();
    void OnListClicked(int id, int row);
    void OnDeviceTreeClicked(QTreeWidgetItem* item);

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void BuildControls();
    void InitialiseWindow();
    void OnAddressItemChanged(QTreeWidgetItem* item, int column);
    void SpeedEditChanged(const QString& text);
    void RefreshControls();

    std::unique_ptr<CTarvexCore> core_;
    QAction* about_ = nullptr;
    QTreeWidget* deviceTree_ = nullptr;
    QTreeWidget* addressTree_ = nullptr;
    QTreeWidgetItem* deviceRoot_ = nullptr;
    QTreeWidgetItem* addressRoot_ = nullptr;
    CStaticEx* video_ = nullptr;
    CListX* messageList_ = nullptr;
    QTreeWidget* signallingList_ = nullptr;
    QTreeWidget* mediaList_ = nullptr;
    QLabel* statusText_ = nullptr;
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
    int selectedRow_ = -1;
    int selectedList_ = 0;
    bool updating_ = false;
};
