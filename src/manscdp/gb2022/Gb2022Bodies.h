#pragma once
// The command rows whose bodies come from the operator's inputs: the 2022
// controls, queries and configuration types, and the 2016 rows that used to
// send fixed values (设备配置, 设备配置获取, 抓拍 now SnapShotConfig, and the
// cruise query now CruiseTrackListQuery). Each row lists the fields it asks
// for; nothing is sent until every value passed its check.

#include "manscdp/gb2022/RowInputs.h"
#include "manscdp/xml/XMLNode.h"

#include <span>
#include <string>

// Which edition's behaviour the platform plays where the two differ.
enum class GbEdition : int { Gb2016 = 2016, Gb2022 = 2022 };

// The setting's text: "2016" plays 2016, anything else 2022.
inline GbEdition EditionSetting(const std::string& text) {
    return text == "2016" ? GbEdition::Gb2016 : GbEdition::Gb2022;
}

// The X-GB-Ver value of an edition, and the edition a device's value names
// ("3.0" and above 2022; "2.0", another value or none 2016).
inline const char* GbVersionHeader(GbEdition e) { return e == GbEdition::Gb2016 ? "2.0" : "3.0"; }
GbEdition EditionOfHeader(const std::string& value);
// The X-GB-Ver value in the head of a logged SIP message (its start line and
// header lines); "" when it has none. Header names compare ignoring case.
std::string GbVersionInHead(const std::string& head);

// First row of the signalling list added for the 2022 commands.
constexpr int kFirstGb2022Row = 43;
constexpr int kGb2022Rows = 16;

struct RowForm {
    int row;                // signalling list row
    std::span<const RowField> fields;
    const char* confirm;    // question asked before sending, or nullptr
    bool only2022;          // refused when the setting says 2016
};

// The form of a signalling row that takes inputs or belongs to the 2022
// edition; nullptr for any other row (its body is built elsewhere).
const RowForm* RowFormFor(int row);

struct RowBody {
    bool handled = false; // the row is one of RowFormFor's
    bool appended = false;
    std::string refusal;  // why nothing is sent, for the operator
};

// Checks the values and appends the row's elements after the envelope.
// A refused row appends nothing.
RowBody AppendRowBody(int row, const RowValues& values, GbEdition edition, XMLNode& root);

// 32 hexadecimal digits from the system's random source: a session id that
// the device echoes in its notification.
std::string FreshSessionId();

// ConfigDownload types each edition knows, '|'-separated.
const char* ConfigTypesFor(GbEdition edition);
