#pragma once
// The toolkit-free signalling side of the main dialog: device records and the
// device tree, the message log with its two sheets, the dispatch of received
// MANSCDP bodies and the automatic query chain.

#include "manscdp/builder/CommandBuilder.h"
#include "manscdp/xml/XMLNode.h"
#include "export/xls/MessageLogWorkbook.h"
#include "sip/endpoint/CSIP.h"
#include "sip/endpoint/EXOSIP2INFO.h"
#include "sip/endpoint/SignalView.h"
#include "sip/endpoint/SipOwner.h"

#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Device tree as a model: items with text and children; the view shows copies.
class DeviceTreeModel {
public:
    int Reset(const std::string& rootText); // returns the root item
    int Root() const { return root_; }
    int FindChild(int parent, const std::string& text) const; // 0 if none
    int Append(int parent, const std::string& text, int kind);
    void Expand(int item);
    TreeItem Snapshot() const;
    std::size_t ItemCount() const { return items_.size(); }

private:
    struct Item {
        int parent = 0;
        std::string text;
        int kind = 0;
        bool expanded = false;
        std::vector<int> children;
    };
    TreeItem SnapshotOf(int item) const;
    std::map<int, Item> items_;
    int root_ = 0;
    int next_ = 1;
};

class SignalCore : public ISipOwner {
public:
    // Which viewer a double click in the log opens.
    enum class Viewer { None, Xml, Text };
    struct ViewerRequest {
        Viewer viewer = Viewer::None;
        std::string text;
    };
    // Media state the tree clicks consult; filled in by the media side.
    struct MediaHooks {
        std::function<bool()> livePlaying;
        std::function<bool()> playbackOpen; // download or playback under way
        std::function<void()> stopLive;     // runs media row 0 of set 1
        std::function<void(int seconds)> setPlaybackLength;
    };

    SignalCore();
    ~SignalCore() override;

    void SetView(ISignalView* v);
    void SetMediaHooks(MediaHooks h);
    // Root of the device tree: this system's SIP identifier.
    void ResetTree(const std::string& localId);
    CommandBuilder& Builder() { return builder_; }
    // The SIP endpoint with this core as its owner. Stopping cuts the pauses
    // of the automatic chain short.
    int StartEndpoint(int transport, const SipSettings& settings);
    void StopEndpoint();
    CSIP& Sip() { return sip_; }

    // ISipOwner
    void AddLogRow(int direction, const std::string& body, const std::string& head,
                   const char* registeringId) override;
    void SetTypeText(const std::string& text) override;
    void OnDeviceRegistered(std::unique_ptr<EXOSIP2INFO> node) override;
    void ShowMessageBox(const std::string& text) override;
    bool Pause(int ms) override;

    int DispatchBody(const std::string& text);
    void RebuildDeviceTree();

    // A click on a tree item (label, icon or check box); the check marks
    // themselves are the view's.
    void OnTreeClick(int item);
    ViewerRequest OnLogDoubleClick(int row, int column) const;

    // Deletes every device record with its channels and recordings.
    void DeleteDevices();

    // Read access for the window and tests.
    std::string TypeText() const;
    std::optional<std::string> CurrentDeviceId() const;
    std::vector<LogRow> SheetRows(int direction) const; // data rows, header not included
    int NextSheetRow(int direction) const;
    int ListRowCount() const;
    TreeItem TreeSnapshot() const;
    std::size_t DeviceRecordCount() const;
    // Visits the nodes under the lock: devices in registration order.
    void VisitDevices(const std::function<void(const EXOSIP2INFO&)>& f) const;

    // Writes the log workbook (at exit, after the endpoint stopped).
    std::filesystem::path SaveWorkbook(const std::filesystem::path& dir = {});
    // Runs f on the workbook under the core's lock (tests, the export view).
    void WithWorkbook(const std::function<void(tarvex::xls::MessageLogWorkbook&)>& f);

    static std::string TimeText(); // local time with milliseconds
    static const std::array<const char*, 5>& SheetHeader();

private:
    int CatalogHandler(XMLNode doc);
    int RecordHandler(XMLNode doc);
    void AddTreeChildrenLocked(int parent, const std::vector<std::unique_ptr<EXOSIP2INFO>>& nodes);
    void RebuildDeviceTreeLocked();
    EXOSIP2INFO* FindNodeLocked(int item, EXOSIP2INFO* under);

    mutable std::mutex mutex_;
    ISignalView* view_ = nullptr;
    MediaHooks media_;
    CommandBuilder builder_;
    std::vector<std::unique_ptr<EXOSIP2INFO>> deviceRecords_;
    EXOSIP2INFO* current_ = nullptr;
    std::string typeText_;
    std::string localId_;
    DeviceTreeModel tree_;
    tarvex::xls::MessageLogWorkbook workbook_;
    std::vector<LogRow> recvRows_, sendRows_;
    std::vector<LogRow> listRows_;
    XMLNode lastResponse_; // SIP thread only

    // Catalog collected over several messages.
    EXOSIP2INFO* catalogDevice_ = nullptr;
    std::string catalogSN_;
    long catalogSum_ = -1;
    long catalogCount_ = 0;

    std::mutex pauseMutex_;
    std::condition_variable pauseCv_;
    bool pausesCancelled_ = false;

    // Last member: destroyed first, so its thread never sees a dead core.
    CSIP sip_;
};
