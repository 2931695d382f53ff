#include "media/audio/WavFile.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace tvaudio {

namespace {

uint32_t Le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
void Put16(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v));
    s.push_back(static_cast<char>(v >> 8));
}

} // namespace

bool ReadWav(const std::string& path, PcmBlock& out, std::string& error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot open " + path;
        return false;
    }
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto* b = reinterpret_cast<const unsigned char*>(all.data());
    if (all.size() < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) {
        error = path + " is no RIFF WAVE file";
        return false;
    }
    bool haveFormat = false;
    std::size_t off = 12;
    while (off + 8 <= all.size()) {
        const uint32_t size = Le32(b + off + 4);
        const std::size_t body = off + 8;
        const std::size_t avail = all.size() - body;
        if (!std::memcmp(b + off, "fmt ", 4) && size >= 16 && avail >= 16) {
            const uint16_t tag = Le16(b + body);
            const uint16_t bits = Le16(b + body + 14);
            // 0xFFFE: WAVE_FORMAT_EXTENSIBLE, whose sub-format's first two bytes are the tag.
            const bool pcm = tag == 1 || (tag == 0xFFFE && size >= 26 && avail >= 26 && Le16(b + body + 24) == 1);
            if (!pcm || bits != 16) {
                error = path + " is not 16-bit linear PCM";
                return false;
            }
            out.channels = Le16(b + body + 2);
            out.rate = static_cast<int>(Le32(b + body + 4));
            haveFormat = out.channels > 0 && out.rate > 0;
        } else if (!std::memcmp(b + off, "data", 4)) {
            if (!haveFormat) {
                error = path + ": data before its format";
                return false;
            }
            const std::size_t n = std::min<std::size_t>(size, avail) / 2;
            out.samples.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                out.samples[i] = static_cast<int16_t>(Le16(b + body + 2 * i));
            return true;
        }
        off = body + size + (size & 1);
    }
    error = path + " has no samples";
    return false;
}

bool WriteWav(const std::string& path, const PcmBlock& pcm) {
    std::string s = "RIFF";
    const uint32_t data = static_cast<uint32_t>(pcm.samples.size() * 2);
    Put32(s, 36 + data);
    s += "WAVEfmt ";
    Put32(s, 16);
    Put16(s, 1);
    Put16(s, static_cast<uint16_t>(pcm.channels));
    Put32(s, static_cast<uint32_t>(pcm.rate));
    Put32(s, static_cast<uint32_t>(pcm.rate * pcm.channels * 2));
    Put16(s, static_cast<uint16_t>(pcm.channels * 2));
    Put16(s, 16);
    s += "data";
    Put32(s, data);
    for (int16_t v : pcm.samples) Put16(s, static_cast<uint16_t>(v));
    std::ofstream f(path, std::ios::binary);
    f.write(s.data(), static_cast<std::streamsize>(s.size()));
    return static_cast<bool>(f);
}

} // namespace tvaudio
