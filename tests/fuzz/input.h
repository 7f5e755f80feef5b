// How the fuzz targets read their input (and how their seeds are laid out): little-endian fields
// read front to back, where a field past the end reads as the bytes that are left (zeros for
// the rest), so every input means something.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t *Data, size_t Size) : rest(Data, Size) {}
    bool empty() const { return rest.empty(); }
    size_t left() const { return rest.size(); }
    template <class T> T number()
    {
        T value = 0;
        auto bytes = take(sizeof value);
        for (size_t i = 0; i < bytes.size(); ++i)
            value |= T(bytes[i]) << (8 * i);
        return value;
    }
    std::span<const uint8_t> take(size_t N)
    {
        auto bytes = rest.first(std::min(N, rest.size()));
        rest = rest.subspan(bytes.size());
        return bytes;
    }
    // The rest as NUL-separated words, as an argument vector holds them; an empty rest is no word.
    std::vector<std::string> words()
    {
        std::vector<std::string> out;
        if (rest.empty())
            return out;
        std::string all(rest.begin(), rest.end());
        rest = {};
        for (size_t start = 0;;) {
            size_t end = all.find('\0', start);
            out.push_back(all.substr(start, end - start));
            if (end == std::string::npos)
                return out;
            start = end + 1;
        }
    }

private:
    std::span<const uint8_t> rest;
};

// An argument vector over Words, ending in the null pointer main gets.
struct Argv {
    explicit Argv(std::vector<std::string> &Words)
    {
        for (std::string &w : Words)
            pointers.push_back(w.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return int(pointers.size() - 1); }
    char **argv() { return pointers.data(); }
    std::vector<char *> pointers;
};

// Nothing from the fuzzer's own environment may steer the tool, nor make it sleep.
inline void clearSwitches()
{
    for (const char *name : {"ZQCOLOR", "ZQDEBUG", "NOT10", "A11", "A15R6", "A16", "ZQARG", "HTML", "NOSM", "NUMMETH",
                             "NOEXIT", "ZQAIDL_DIR", "ZQAIDLDEBUG"})
        unsetenv(name);
}

// A directory of the target's own for the files it writes, removed at exit.
inline std::string scratchDirectory()
{
    static const std::string dir = std::filesystem::temp_directory_path() / ("vorn-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    atexit([] { std::filesystem::remove_all(dir); });
    return dir;
}

// ---- The reply target's script ------------------------------------------------------------
// After the selector byte, a sequence of records, each one read of the driver or one block in
// its receive area:
//   REPLY  flags u32, code u32, length u16, data, count u8, offsets u64 * count
//   CODES  length u16, the return stream as it stands
//   PLACE  length u16, bytes placed in the receive area without a read
// The receive area's address changes from run to run, so an address in reply data, a stream or
// a block is written as a tagged word: "REL" in its top three bytes, in byte 4 how many PLACE
// blocks back from the latest one it points into, and the offset in the low 32 bits.
enum Kind : uint8_t { REPLY, CODES, PLACE, KINDS };
constexpr uint64_t REL_TAG = 0x52454c0000000000, REL_MASK = 0xffffff0000000000;

// Rewrites every tagged word of Bytes, at any byte position, into an address; Blocks holds
// the placed blocks' addresses, oldest first. A block that does not exist means the area's start.
inline void relocate(std::vector<uint8_t> &Bytes, const std::vector<uint64_t> &Blocks, uint64_t Area)
{
    for (size_t i = 0; i + 8 <= Bytes.size(); ++i) {
        uint64_t word;
        std::memcpy(&word, &Bytes[i], 8);
        if ((word & REL_MASK) != REL_TAG)
            continue;
        size_t back = (word >> 32) & 0xff;
        uint64_t base = back < Blocks.size() ? Blocks[Blocks.size() - 1 - back] : Area;
        word = base + uint32_t(word);
        std::memcpy(&Bytes[i], &word, 8);
        i += 7;
    }
}

} // namespace fuzz
