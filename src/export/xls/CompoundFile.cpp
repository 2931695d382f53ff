// Compound file layout: [header][stream or mini stream sectors][mini FAT][directory]
// [FAT][DIFAT], every table after the data so the data is written straight from the
// caller's buffer.
#include "export/xls/CompoundFile.h"

#include <algorithm>
#include <cstring>

namespace tarvex::xls {
namespace {

constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFatSect = 0xFFFFFFFD;
constexpr uint32_t kDifSect = 0xFFFFFFFC;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::size_t Ceil(std::size_t a, std::size_t b) {
    return (a + b - 1) / b;
}

void DirEntry(uint8_t* e, const std::u16string& name, uint8_t type, uint32_t child, uint32_t start,
              uint32_t size) {
    std::memset(e, 0, 128);
    const std::size_t n = std::min<std::size_t>(name.size(), 31);
    for (std::size_t i = 0; i < n; ++i)
        Put16(e + 2 * i, name[i]);
    Put16(e + 64, static_cast<uint16_t>(name.empty() ? 0 : (n + 1) * 2));
    e[66] = type;
    e[67] = 1; // black
    Put32(e + 68, kNoStream);
    Put32(e + 72, kNoStream);
    Put32(e + 76, child);
    Put32(e + 116, start);
    Put32(e + 120, size);
}

} // namespace

void CompoundFile::Layout(std::size_t size) {
    const bool mini = size < kMiniStreamCutoff;
    const std::size_t miniSectors = mini ? Ceil(size, kMiniSectorSize) : 0;
    const std::size_t dataBytes = mini ? miniSectors * kMiniSectorSize : size;
    const std::size_t dataSectors = Ceil(dataBytes, kSectorSize);
    const std::size_t miniFatSectors = mini ? Ceil(miniSectors * 4, kSectorSize) : 0;
    const std::size_t dirSectors = 1;
    const std::size_t perSector = kSectorSize / 4;

    std::size_t fat = 1, difat = 0;
    for (;;) {
        const std::size_t total = dataSectors + miniFatSectors + dirSectors + fat + difat;
        const std::size_t needFat = Ceil(total, perSector);
        const std::size_t needDifat = needFat > 109 ? Ceil(needFat - 109, perSector - 1) : 0;
        if (needFat == fat && needDifat == difat) break;
        fat = needFat;
        difat = needDifat;
    }
    const uint32_t miniFatStart = static_cast<uint32_t>(dataSectors);
    const uint32_t dirStart = static_cast<uint32_t>(dataSectors + miniFatSectors);
    const uint32_t fatStart = dirStart + dirSectors;
    const uint32_t difatStart = fatStart + static_cast<uint32_t>(fat);

    // Header.
    head_.assign(kSectorSize, 0);
    uint8_t* h = head_.data();
    static const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(h, sig, 8);
    Put16(h + 24, 0x003E);
    Put16(h + 26, 0x0003);
    Put16(h + 28, 0xFFFE);
    Put16(h + 30, 9); // 512-byte sectors
    Put16(h + 32, 6); // 64-byte mini sectors
    Put32(h + 44, static_cast<uint32_t>(fat));
    Put32(h + 48, dirStart);
    Put32(h + 56, static_cast<uint32_t>(kMiniStreamCutoff));
    Put32(h + 60, mini ? miniFatStart : kEndOfChain);
    Put32(h + 64, static_cast<uint32_t>(miniFatSectors));
    Put32(h + 68, difat ? difatStart : kEndOfChain);
    Put32(h + 72, static_cast<uint32_t>(difat));
    for (std::size_t i = 0; i < 109; ++i)
        Put32(h + 76 + 4 * i, i < fat ? fatStart + static_cast<uint32_t>(i) : kFree);

    // Tail: padding of the data to whole sectors, then the tables.
    const std::size_t pad = dataSectors * kSectorSize - size;
    const std::size_t tables = miniFatSectors + dirSectors + fat + difat;
    tail_.assign(pad + tables * kSectorSize, 0);
    uint8_t* t = tail_.data() + pad;

    uint8_t* miniFat = t;
    if (mini) {
        std::fill(miniFat, miniFat + miniFatSectors * kSectorSize, 0xFF);
        for (std::size_t i = 0; i < miniSectors; ++i)
            Put32(miniFat + 4 * i,
                  i + 1 < miniSectors ? static_cast<uint32_t>(i + 1) : kEndOfChain);
    }

    uint8_t* dir = t + miniFatSectors * kSectorSize;
    const std::u16string root = u"Root Entry";
    if (mini) {
        DirEntry(dir, root, 5, 1, dataSectors ? 0 : kEndOfChain,
                 static_cast<uint32_t>(miniSectors * kMiniSectorSize));
        DirEntry(dir + 128, name_, 2, kNoStream, size ? 0 : kEndOfChain,
                 static_cast<uint32_t>(size));
    } else {
        DirEntry(dir, root, 5, 1, kEndOfChain, 0);
        DirEntry(dir + 128, name_, 2, kNoStream, 0, static_cast<uint32_t>(size));
    }
    DirEntry(dir + 256, u"", 0, kNoStream, 0, 0);
    DirEntry(dir + 384, u"", 0, kNoStream, 0, 0);

    uint8_t* fatp = dir + dirSectors * kSectorSize;
    std::fill(fatp, fatp + fat * kSectorSize, 0xFF);
    auto setFat = [&](std::size_t sector, uint32_t v) { Put32(fatp + 4 * sector, v); };
    auto chain = [&](std::size_t first, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            setFat(first + i, i + 1 < count ? static_cast<uint32_t>(first + i + 1) : kEndOfChain);
    };
    chain(0, dataSectors);
    chain(miniFatStart, miniFatSectors);
    chain(dirStart, dirSectors);
    for (std::size_t i = 0; i < fat; ++i)
        setFat(fatStart + i, kFatSect);
    for (std::size_t i = 0; i < difat; ++i)
        setFat(difatStart + i, kDifSect);

    uint8_t* difp = fatp + fat * kSectorSize;
    std::fill(difp, difp + difat * kSectorSize, 0xFF);
    for (std::size_t d = 0; d < difat; ++d) {
        uint8_t* s = difp + d * kSectorSize;
        for (std::size_t k = 0; k < perSector - 1; ++k) {
            const std::size_t f = 109 + d * (perSector - 1) + k;
            if (f < fat) Put32(s + 4 * k, fatStart + static_cast<uint32_t>(f));
        }
        Put32(s + 4 * (perSector - 1),
              d + 1 < difat ? difatStart + static_cast<uint32_t>(d + 1) : kEndOfChain);
    }
}

std::vector<uint8_t> CompoundFile::Build(std::span<const uint8_t> stream) {
    Layout(stream.size());
    std::vector<uint8_t> out;
    out.reserve(head_.size() + stream.size() + tail_.size());
    out.insert(out.end(), head_.begin(), head_.end());
    out.insert(out.end(), stream.begin(), stream.end());
    out.insert(out.end(), tail_.begin(), tail_.end());
    return out;
}

} // namespace tarvex::xls
