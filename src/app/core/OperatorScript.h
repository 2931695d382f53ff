#pragma once
// Operator scripts: one action a line, "#" starts a comment. Parsing only; the
// window runs the steps through its own handlers.

#include <string>
#include <utility>
#include <vector>

enum class ScriptVerb {
    Sleep,          // sleep MS
    WaitRegistered, // wait-registered [TIMEOUT_MS]
    WaitLog,        // wait-log TEXT [TIMEOUT_MS]
    Click,          // click LIST ROW
    Tree,           // tree TEXT
    Check,          // check ID on|off
    Set,            // set ID TEXT
    Press,          // press ID
    Drag,           // drag X1 Y1 X2 Y2
    Search,         // search START END TYPE | search cancel
    Settings,       // settings KEY=VALUE ...
    Inputs,         // inputs KEY=VALUE ... | inputs cancel: answers the next row inputs dialog
    About,          // about
    Shot,           // shot FILE [ID [W H]]
    Dump,           // dump FILE
    WaitText,       // wait-text ID TEXT [TIMEOUT_MS]
    Exit            // exit
};

struct ScriptStep {
    int line = 0;          // 1-based line in the file
    std::string source;    // the line as written, without comment
    ScriptVerb verb = ScriptVerb::Exit;
    std::string text;      // TEXT, FILE, search START
    std::string text2;     // search END
    int id = 0;            // control id, LIST, search TYPE
    int number = 0;        // MS, ROW, TIMEOUT_MS
    bool flag = false;     // check on; search cancel
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0; // drag; shot W H in x1, y1
    std::vector<std::pair<std::string, std::string>> pairs; // settings
};

constexpr int kDefaultWaitMs = 10000;

// Splits a line into words; "..." groups words and allows \" \\ \n \r \t
// inside. Outside quotes \n, \r and \t are escapes too.
bool SplitScriptWords(const std::string& line, std::vector<std::string>& words,
                      std::string& error);

// Parses a whole script. On the first bad line returns false with
// "line N: reason".
bool ParseScript(const std::string& text, std::vector<ScriptStep>& steps, std::string& error);
