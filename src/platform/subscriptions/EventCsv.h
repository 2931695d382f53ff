#pragma once
// The alarms and positions of a run as CSV files beside MsgXml.xls:
// Alarms.csv with the alarm list's columns, Positions.csv with one row per
// position (channel first). UTF-8 with a byte order mark (so that
// spreadsheet programs read the Chinese texts), CR LF line ends, fields
// quoted as RFC 4180 says when they hold a comma, quote or line break.

#include "platform/subscriptions/EventBook.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tvsub {

inline constexpr const char* kAlarmsCsv = "Alarms.csv";
inline constexpr const char* kPositionsCsv = "Positions.csv";

std::string AlarmsCsv(const std::vector<AlarmRecord>& alarms);
std::string PositionsCsv(const std::map<std::string, std::vector<PositionRecord>>& tracks);
// Writes both files into dir (written whole to a temporary name, then
// renamed); false with error set when one could not be written.
bool WriteEventCsv(const std::filesystem::path& dir, const std::vector<AlarmRecord>& alarms,
                   const std::map<std::string, std::vector<PositionRecord>>& tracks, std::string& error);

} // namespace tvsub
