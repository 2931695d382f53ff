#pragma once
// The status line's count of input that could not be a SIP message
// (garbage, framing errors), per source. Toolkit-free.

#include <cstdint>
#include <map>
#include <string>

// "" when there was none; else, for example, "无效输入 7 条，来自 127.0.0.1:40000"
// or "无效输入 9 条，来自 3 个来源（最多 127.0.0.1:40000，7 条）".
std::string InvalidInputStatusText(const std::map<std::string, std::uint64_t>& bySource);
