#pragma once
// The module's one bounded reader, and the zip archive's entries that hold dex files.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace dex {

// Thrown by every read that would leave the bytes it was given; caught where a file, an entry
// or a dex file is given up.
struct Corrupt {
    std::string what;
};

struct Bytes {
    std::span<const uint8_t> all;
    void need(uint64_t At, uint64_t Size, const char *What) const
    {
        if (At > all.size() || Size > all.size() - At)
            throw Corrupt{std::string(What) + " out of range"};
    }
    template <typename T> T get(uint64_t At, const char *What) const
    {
        need(At, sizeof(T), What);
        T value;
        memcpy(&value, all.data() + At, sizeof value); // files are little-endian, as are Android's ABIs
        return value;
    }
    uint32_t u32(uint64_t At, const char *What) const { return get<uint32_t>(At, What); }
    uint16_t u16(uint64_t At, const char *What) const { return get<uint16_t>(At, What); }
    std::span<const uint8_t> part(uint64_t At, uint64_t Size, const char *What) const
    {
        need(At, Size, What);
        return all.subspan(size_t(At), size_t(Size));
    }
};

// The dex files of an archive in the order the runtime loads them: classes.dex, classes2.dex, ...
struct ZipEntry {
    std::string name;
    uint16_t method; // 0 stored, 8 deflated
    uint32_t compressed, size, local;
};
std::vector<ZipEntry> dexEntries(const Bytes &Zip);
// An entry's bytes: in place when stored, else inflated into Inflated.
std::span<const uint8_t> entryBytes(const Bytes &Zip, const ZipEntry &Entry, std::vector<uint8_t> &Inflated);

} // namespace dex
