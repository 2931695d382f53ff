#pragma once
// Builds the MANSCDP bodies of the two command lists and hands them to the
// SIP endpoint. One build runs at a time, whether the operator's thread or the
// SIP thread (automatic query chain) starts it.

#include "manscdp/builder/CommandEntry.h"
#include "manscdp/xml/XMLNode.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum CommandList : int { kListSignalling = 0, kListMedia = 1 };

// What the window shows of the builder; called from any thread, so an
// implementation queues to its GUI thread.
class ICommandView {
public:
    virtual ~ICommandView() = default;
    virtual void FillCommandList(int list, const std::vector<CommandEntry>& rows) = 0;
    virtual void SetCommandChecked(int list, int row, bool checked) = 0;
    virtual void SetMessageText(const std::string& text) = 0;
};

class CommandBuilder {
public:
    static constexpr std::size_t kBufferSize = 2048;

    struct Hooks {
        // Identifier of the current device; nullopt while none registered.
        std::function<std::optional<std::string>()> deviceId;
        // Hands a finished text with its kind to the SIP endpoint.
        std::function<int(int kind, const std::string& text)> send;
        // The log's message type text follows the entry being sent.
        std::function<void(const std::string& typeText)> setTypeText;
        // Appends the command's own elements after the envelope (control and
        // configuration bodies, record search). list, set (media only), row.
        std::function<void(int list, int set, int row, XMLNode& root)> appendBody;
        // Writes a stream offer or playback control text for a media row of
        // kind 5 or 6 into the buffer; leaving it empty sends nothing.
        std::function<void(int set, int row, char* buffer, std::size_t size)> mediaText;
    };

    CommandBuilder() = default;
    void SetHooks(Hooks h);
    void SetView(ICommandView* v);
    // cmds: replaces only the appendBody hook (the window's command bodies).
    void SetBodyHook(std::function<void(int list, int set, int row, XMLNode& root)> f);

    // Fills a list: the signalling table, or media set 0 to 3 (remembered).
    void FillSignalling();
    void FillMedia(int set);
    // Clears the tick of the selected row when it belongs to list.
    void ClearChecks(int list);

    // A click on a row of either list: tick it, build, show, send.
    void ClickRow(int list, int row);
    // The automatic query chain runs signalling rows exactly like clicks.
    void RunSignalling(int row) { ClickRow(kListSignalling, row); }

    void SetCustomMode(bool on);
    bool CustomMode() const;
    // "发送": sends the edited message text with the kind of the last build,
    // only in custom mode. Returns the endpoint's result, or -1 when nothing
    // was sent.
    int PressSend(const std::string& editedText);
    // The same without looking at the mode (the window checked the box).
    int SendEdited(const std::string& editedText);

    // Creates the root for the kind of entry `row` of the current list and
    // adds CmdType, SN (the counter, then advanced) and DeviceID.
    void BuildEnvelope(int row);
    // Writes the tree into the buffer when it is empty, shows the buffer and
    // sends it unless custom mode holds it back.
    void FinishAndSend();

    int NextSequenceNumber() const;
    int SendKind() const;
    int MediaSetNumber() const;
    int SelectedRow() const;
    int CurrentList() const;
    std::string MessageText() const;
    std::string Description() const;

private:
    struct Pending {
        bool send = false;
        int kind = 0;
        std::string text;
        std::string typeText;
    };
    const CommandEntry* EntryLocked(int list, int row) const;
    void BuildEnvelopeLocked(const CommandEntry& e, const std::string& deviceId);
    Pending FinishLocked();
    void Deliver(const Pending& p);

    mutable std::mutex mutex_;
    Hooks hooks_;
    ICommandView* view_ = nullptr;
    int sn_ = 10;
    int selected_ = -1;
    int list_ = kListSignalling;
    int mediaSet_ = 0;
    int sendKind_ = 0;
    bool custom_ = false;
    std::string label_;
    XMLNode root_;
    char buffer_[kBufferSize] = {};
    std::string messageText_;
    std::string description_;
};
