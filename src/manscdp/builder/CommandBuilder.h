#pragma once
// Builds the MANSCDP texts of the two command lists: the envelope with the
// sequence number, the text buffer, the selected row and the last send kind.
// A plain object: its owner (the core) guards it, appends the command's own
// elements between BuildEnvelope and Finish, and hands the result to the SIP
// endpoint and the window.
//
//   const CommandEntry* e = b.Select(list, row, untick);  // null: nothing happens
//   b.BuildEnvelope(*e, deviceId);   // or b.SetReadyText(offer) for kinds 5 and 6
//   AppendCommandBody(..., b.Root());
//   CommandBuilder::Result r = b.Finish(customMode);

#include "manscdp/builder/CommandEntry.h"
#include "manscdp/xml/XMLNode.h"

#include <optional>
#include <string>
#include <string_view>

enum CommandList : int { kListSignalling = 0, kListMedia = 1 };

class CommandBuilder {
public:
    static constexpr std::size_t kBufferSize = 2048;

    struct Tick {
        int list, row;
        bool operator==(const Tick&) const = default;
    };
    // What a build shows and sends.
    struct Result {
        bool shown = false; // text goes into the message box
        bool send = false;  // and to the device (not in custom mode)
        int kind = 0;
        std::string text;
        std::string label; // the entry's label: the log's type text when sent
    };

    // The entry of row in list (the media list shows the current set), or null.
    const CommandEntry* Entry(int list, int row) const;
    // A click on a row: it becomes the selected row of its list, and the send kind
    // follows the entry. untick: the row whose tick goes (in both lists). Null
    // when the row does not exist (nothing changes).
    const CommandEntry* Select(int list, int row, std::optional<int>& untick);

    // Clears the buffer and makes the root for the entry's kind with CmdType,
    // SN (the counter, then advanced) and DeviceID.
    void BuildEnvelope(const CommandEntry& e, const std::string& deviceId);
    // A stream offer or playback control text in place of a tree ("" sends nothing).
    void SetReadyText(const CommandEntry& e, std::string_view text);
    XMLNode& Root() { return root_; }

    // Writes the tree into the buffer when it is empty (cut at 2047 bytes), and
    // shows the buffer; in custom mode nothing is sent.
    Result Finish(bool customMode);
    // 国标版本: a body with Chinese text declares GB18030 under 2022 and
    // GB2312 under 2016 (the bytes are GB18030 in both, a superset of GBK).
    void SetEdition2022(bool on) { edition2022_ = on; }
    const char* DeclaredEncoding() const { return edition2022_ ? "GB18030" : "GB2312"; }
    // "发送": the edited text goes out with the kind and label of the last build.
    Result Edited(std::string text);

    // Media set 0 to 3 (remembered; decides what a media-list click builds).
    void SetMediaSet(int set) { mediaSet_ = set; }
    int MediaSetNumber() const { return mediaSet_; }
    int NextSequenceNumber() const { return sn_; }
    // The SN of a body built elsewhere (the Broadcast notification), then advanced.
    int TakeSequenceNumber() { return sn_++; }
    int SendKind() const { return sendKind_; }
    int SelectedRow() const { return selected_; }
    int CurrentList() const { return list_; }
    const std::string& MessageText() const { return messageText_; }
    const std::string& Description() const { return description_; }

private:
    int sn_ = 10;
    int selected_ = -1;
    int list_ = kListSignalling;
    int mediaSet_ = 0;
    bool edition2022_ = false;
    int sendKind_ = 0;
    std::string label_;
    XMLNode root_;
    char buffer_[kBufferSize] = {};
    std::string messageText_;
    std::string description_;
};
