#pragma once
// One readable line for the 2022 answers and notifications, for the log: the
// query answers (HomePositionQuery, CruiseTrackListQuery, CruiseTrackQuery,
// PTZPosition, SDCardStatus, ConfigDownload of the 2022 types) and the
// notifications UploadSnapShotFinished, DeviceUpgradeResult and MediaStatus.

#include "manscdp/xml/XMLNode.h"

#include <string>
#include <vector>

// The log row of a received body: a 2022 answer or notification replaces the
// row's type text with its readable line; any other body leaves it alone.
void Gb2022LogLine(const std::string& body, std::string& typeText);

// "" for a body that is none of these (or does not parse).
std::string SummarizeGb2022(const std::string& body);
std::string SummarizeGb2022(const XMLNode& document);

// What an UploadSnapShotFinished notification carries.
struct SnapShotFinished {
    std::string deviceId, sessionId;
    std::vector<std::string> fileIds;
};
// False when the document is not that notification.
bool ReadSnapShotFinished(const XMLNode& document, SnapShotFinished& out);

// What a DeviceUpgradeResult notification carries.
struct UpgradeResult {
    std::string deviceId, sessionId, firmware, result, description;
};
bool ReadUpgradeResult(const XMLNode& document, UpgradeResult& out);
