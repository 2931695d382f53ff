// Feeds arbitrary text to the operator-script parser: it either fails with
// "line N: reason" for a line that exists, or gives steps that name their own
// lines in order, each with the text it was read from.

#include "app/core/OperatorScript.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<ScriptStep> steps;
    std::string error;
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    if (!ParseScript(text, steps, error)) {
        if (error.rfind("line ", 0) != 0) std::abort();
        const long line = std::strtol(error.c_str() + 5, nullptr, 10);
        if (line < 1 || static_cast<std::size_t>(line) > lines) std::abort();
        return 0;
    }
    int last = 0;
    for (const ScriptStep& s : steps) {
        if (s.line <= last || static_cast<std::size_t>(s.line) > lines) std::abort();
        last = s.line;
        if (s.source.empty()) std::abort();
        // What a step was read from parses again to the same step.
        std::vector<ScriptStep> again;
        std::string e;
        if (!ParseScript(s.source, again, e) || again.size() != 1 || again[0].verb != s.verb ||
            again[0].text != s.text || again[0].number != s.number || again[0].id != s.id)
            std::abort();
    }
    std::vector<std::string> words;
    SplitScriptWords(text.substr(0, text.find('\n')), words, error);
    return 0;
}
