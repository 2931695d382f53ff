#include "app/core/OperatorScript.h"

#include <climits>
#include <cstdlib>
#include <sstream>

namespace {

bool ToInt(const std::string& s, int& v) {
    if (s.empty() || s.size() > 10) return false;
    std::size_t i = (s[0] == '-') ? 1 : 0;
    if (i == s.size()) return false;
    for (std::size_t k = i; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    long long x = std::strtoll(s.c_str(), nullptr, 10);
    if (x < INT_MIN || x > INT_MAX) return false;
    v = static_cast<int>(x);
    return true;
}

char Escape(char c) {
    switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return c;
    }
}

// Joins words[from..] with single blanks (the free text of tree, set, wait-log).
std::string Rest(const std::vector<std::string>& w, std::size_t from, std::size_t to) {
    std::string s;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from) s += ' ';
        s += w[i];
    }
    return s;
}

} // namespace

bool SplitScriptWords(const std::string& line, std::vector<std::string>& words,
                      std::string& error) {
    words.clear();
    std::string cur;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < line.size()) {
                cur += Escape(line[++i]);
            } else {
                cur += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) words.push_back(cur);
            cur.clear();
            inWord = false;
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == '\\' && i + 1 < line.size() &&
                   (line[i + 1] == 'n' || line[i + 1] == 'r' || line[i + 1] == 't' ||
                    line[i + 1] == '\\')) {
            cur += Escape(line[++i]);
            inWord = true;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (quoted) {
        error = "unterminated quote";
        return false;
    }
    if (inWord) words.push_back(cur);
    return true;
}

bool ParseScript(const std::string& text, std::vector<ScriptStep>& steps, std::string& error) {
    steps.clear();
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        // A "#" starts a comment unless it sits inside quotes.
        bool q = false;
        std::size_t cut = raw.size();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '"' && (i == 0 || raw[i - 1] != '\\')) q = !q;
            if (raw[i] == '#' && !q) {
                cut = i;
                break;
            }
        }
        std::string line = raw.substr(0, cut);
        std::vector<std::string> w;
        std::string err;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        if (!SplitScriptWords(line, w, err)) return fail(err);
        if (w.empty()) continue;
        ScriptStep s;
        s.line = lineNo;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
            line.pop_back();
        s.source = line.substr(line.find_first_not_of(" \t"));
        const std::string& v = w[0];
        const std::size_t n = w.size();
        if (v == "sleep") {
            s.verb = ScriptVerb::Sleep;
            if (n != 2 || !ToInt(w[1], s.number) || s.number < 0) return fail("usage: sleep MS");
        } else if (v == "wait-registered") {
            s.verb = ScriptVerb::WaitRegistered;
            s.number = kDefaultWaitMs;
            if (n > 2 || (n == 2 && (!ToInt(w[1], s.number) || s.number < 0)))
                return fail("usage: wait-registered [TIMEOUT_MS]");
        } else if (v == "wait-log") {
            s.verb = ScriptVerb::WaitLog;
            s.number = kDefaultWaitMs;
            if (n < 2) return fail("usage: wait-log TEXT [TIMEOUT_MS]");
            std::size_t end = n;
            int t = 0;
            if (n >= 3 && ToInt(w[n - 1], t) && t >= 0) {
                s.number = t;
                end = n - 1;
            }
            s.text = Rest(w, 1, end);
        } else if (v == "click") {
            s.verb = ScriptVerb::Click;
            if (n != 3 || !ToInt(w[1], s.id) || !ToInt(w[2], s.number) || s.number < 0)
                return fail("usage: click LIST ROW");
            if (s.id != 1080 && s.id != 1081) return fail("click: LIST is 1080 or 1081");
        } else if (v == "tree") {
            s.verb = ScriptVerb::Tree;
            if (n < 2) return fail("usage: tree TEXT");
            s.text = Rest(w, 1, n);
        } else if (v == "check") {
            s.verb = ScriptVerb::Check;
            if (n != 3 || !ToInt(w[1], s.id) || (w[2] != "on" && w[2] != "off"))
                return fail("usage: check ID on|off");
            s.flag = w[2] == "on";
        } else if (v == "set") {
            s.verb = ScriptVerb::Set;
            if (n < 2 || !ToInt(w[1], s.id)) return fail("usage: set ID TEXT");
            s.text = Rest(w, 2, n);
        } else if (v == "press") {
            s.verb = ScriptVerb::Press;
            if (n != 2 || !ToInt(w[1], s.id)) return fail("usage: press ID");
        } else if (v == "drag") {
            s.verb = ScriptVerb::Drag;
            if (n != 5 || !ToInt(w[1], s.x1) || !ToInt(w[2], s.y1) || !ToInt(w[3], s.x2) ||
                !ToInt(w[4], s.y2))
                return fail("usage: drag X1 Y1 X2 Y2");
        } else if (v == "search") {
            s.verb = ScriptVerb::Search;
            if (n == 2 && w[1] == "cancel") {
                s.flag = true;
            } else if (n == 4 && ToInt(w[3], s.id) && s.id >= 0 && s.id <= 2) {
                s.text = w[1];
                s.text2 = w[2];
            } else {
                return fail("usage: search START END TYPE (0 to 2) or search cancel");
            }
        } else if (v == "settings") {
            s.verb = ScriptVerb::Settings;
            if (n < 2) return fail("usage: settings KEY=VALUE ...");
            for (std::size_t i = 1; i < n; ++i) {
                auto eq = w[i].find('=');
                if (eq == std::string::npos || eq == 0)
                    return fail("settings: expected KEY=VALUE, got \"" + w[i] + "\"");
                s.pairs.emplace_back(w[i].substr(0, eq), w[i].substr(eq + 1));
            }
        } else if (v == "inputs") {
            s.verb = ScriptVerb::Inputs;
            if (n == 2 && w[1] == "cancel") {
                s.flag = true;
            } else {
                if (n < 2) return fail("usage: inputs KEY=VALUE ... or inputs cancel");
                for (std::size_t i = 1; i < n; ++i) {
                    auto eq = w[i].find('=');
                    if (eq == std::string::npos || eq == 0)
                        return fail("inputs: expected KEY=VALUE, got \"" + w[i] + "\"");
                    s.pairs.emplace_back(w[i].substr(0, eq), w[i].substr(eq + 1));
                }
            }
        } else if (v == "about") {
            s.verb = ScriptVerb::About;
            if (n != 1) return fail("usage: about");
        } else if (v == "shot") {
            s.verb = ScriptVerb::Shot;
            // shot FILE [ID [W H]]: W x H draws the control at that size for the picture.
            if (n < 2 || n == 4 || n > 5 || (n >= 3 && !ToInt(w[2], s.id)) ||
                (n == 5 && (!ToInt(w[3], s.x1) || !ToInt(w[4], s.y1) || s.x1 < 16 || s.y1 < 16 ||
                            s.x1 > 8192 || s.y1 > 8192)))
                return fail("usage: shot FILE [ID [W H]]");
            s.text = w[1];
        } else if (v == "dump") {
            s.verb = ScriptVerb::Dump;
            if (n != 2) return fail("usage: dump FILE");
            s.text = w[1];
        } else if (v == "wait-text") {
            s.verb = ScriptVerb::WaitText;
            s.number = kDefaultWaitMs;
            if (n < 3 || !ToInt(w[1], s.id)) return fail("usage: wait-text ID TEXT [TIMEOUT_MS]");
            std::size_t end = n;
            int t = 0;
            if (n >= 4 && ToInt(w[n - 1], t) && t >= 0) {
                s.number = t;
                end = n - 1;
            }
            s.text = Rest(w, 2, end);
        } else if (v == "exit") {
            s.verb = ScriptVerb::Exit;
            if (n != 1) return fail("usage: exit");
        } else {
            return fail("unknown action \"" + v + "\"");
        }
        steps.push_back(std::move(s));
    }
    return true;
}
