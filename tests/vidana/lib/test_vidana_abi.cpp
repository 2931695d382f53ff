// libvidana's binary interface: a versioned SONAME and CVidana as the only
// exported symbols.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

std::string Output(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    return out;
}

TEST(VidanaAbi, VersionedSonameAndOnlyCVidanaExported) {
    const std::string lib = VIDANA_LIB;
    EXPECT_NE(Output("readelf -d '" + lib + "'").find("Library soname: [libvidana.so.2]"),
              std::string::npos);

    // Defined dynamic symbols, demangled; the sanitizer runtime's own hooks aside.
    std::istringstream symbols(Output("nm -DC --defined-only '" + lib + "'"));
    std::string line;
    int ours = 0;
    for (; std::getline(symbols, line);) {
        const auto name = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        if (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
            name.rfind("__sanitizer", 0) == 0 || name.rfind("__lsan", 0) == 0 || name == "_init" ||
            name == "_fini")
            continue;
        EXPECT_NE(name.find("CVidana"), std::string::npos) << "exported: " << name;
        ++ours;
    }
    for (const char* op :
         {"CVidana::CVidana()", "CVidana::~CVidana()", "CVidana::SetHWND(IVidanaSurface*)",
          "CVidana::SetRect(VidanaRect)", "CVidana::DecodeXFrame(unsigned char const*, int, int)",
          "CVidana::ReleaseDecoder()", "CVidana::FlushDecoder()",
          "CVidana::SetACallBack(int (*)(unsigned char*, unsigned int), unsigned int)",
          "CVidana::DecodeOstra(unsigned char const*, int, int, int)"})
        EXPECT_NE(Output("nm -DC --defined-only '" + lib + "'").find(op), std::string::npos) << op;
    EXPECT_GE(ours, 9);
}

} // namespace
