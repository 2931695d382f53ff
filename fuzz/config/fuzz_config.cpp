// Loads arbitrary bytes as a config file, then saves and reloads it: a file
// the store wrote itself must read back to the same entries.

#include "base/ConfigINI.h"
#include "base/TextCodec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

std::string g_in, g_out;

std::string Read(const std::string& f) {
    std::ifstream in(f, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SaveCycle(const std::string& file) {
    ConfigINI c(file.c_str());
    if (!c.Save()) std::abort();
    return Read(file);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The store's diagnostics would drown the fuzzer's own lines.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    const std::string base = "/dev/shm/fuzz_config." + std::to_string(getpid());
    g_in = base + ".in";
    g_out = base + ".out";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream(g_in, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    {
        ConfigINI c(g_in.c_str());
        for (const ConfigEntry& e : c.Entries()) {
            if (e.isComment) continue;
            if (e.section.find('\0') != std::string::npos || e.key.find('\0') != std::string::npos)
                continue; // not reachable through a C string
            const char* v = c.GetValue(e.section.c_str(), e.key.c_str());
            if (!v) std::abort(); // every stored key can be looked up
        }
        c.SetValue("v", "fuzz", "k");
        const char* v = c.GetValue("fuzz", "k");
        if (!v || std::string(v) != "v") std::abort();
        std::snprintf(c.fileName, sizeof c.fileName, "%s", g_out.c_str());
        // The destructor saves the dirty store to g_out.
    }
    // Saving converges: after two rounds a saved file reads back unchanged.
    SaveCycle(g_out);
    const std::string second = SaveCycle(g_out);
    const std::string third = SaveCycle(g_out);
    if (TextCodec::ConfigBytesToGbk(second) == second && second != third) std::abort();
    unlink(g_in.c_str());
    unlink(g_out.c_str());
    return 0;
}
