#include "app/core/InputStatus.h"

#include "app/core/CTarvexCore.h"

std::string InvalidInputStatusText(const std::map<std::string, std::uint64_t>& bySource) {
    std::uint64_t total = 0;
    auto most = bySource.end();
    for (auto it = bySource.begin(); it != bySource.end(); ++it) {
        total += it->second;
        if (it->second > 0 && (most == bySource.end() || it->second > most->second)) most = it;
    }
    if (total == 0) return {};
    std::string s = "无效输入 " + std::to_string(total) + " 条，来自 ";
    std::size_t sources = 0;
    for (const auto& [source, n] : bySource) sources += n > 0;
    if (sources == 1) return s + most->first;
    return s + std::to_string(sources) + " 个来源（最多 " + most->first + "，" + std::to_string(most->second) + " 条）";
}

ListenStatus CTarvexCore::WithInputStatus(ListenStatus line) const {
    if (!sip_) return line;
    const std::string invalid = InvalidInputStatusText(sip_->InvalidInputBySource());
    if (!invalid.empty()) line.text += "  |  " + invalid;
    return line;
}
