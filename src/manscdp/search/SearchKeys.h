#pragma once
// Section and key names of "Search.ini" as they stand in the file: GBK bytes.

namespace SearchKeys {

inline constexpr const char kFile[] = "Search.ini";
inline constexpr const char kSection[] = "\xB2\xE9\xD1\xAF\xCC\xF5\xBC\xFE"; // 查询条件
inline constexpr const char kStart[] = "\xBF\xAA\xCA\xBC\xCA\xB1\xBC\xE4";   // 开始时间
inline constexpr const char kEnd[] = "\xBD\xE1\xCA\xF8\xCA\xB1\xBC\xE4";     // 结束时间
inline constexpr const char kType[] = "\xB6\xCB\xBF\xDA";                    // 端口

} // namespace SearchKeys
