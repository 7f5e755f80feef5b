// The zip archive: its central directory, and its stored or deflated dex entries.
#include "bytes.h"

#include <zlib.h>

#include <algorithm>

namespace dex {
namespace {

constexpr uint32_t END_OF_DIRECTORY = 0x06054b50, DIRECTORY_ENTRY = 0x02014b50, LOCAL_ENTRY = 0x04034b50;
constexpr uint64_t END_SIZE = 22, MAX_COMMENT = 0xffff, MAX_INFLATED = 256 << 20;

// The position of classes.dex (1), classesN.dex (N), or 0 for any other name.
unsigned dexNumber(std::string_view Name)
{
    if (!Name.starts_with("classes") || !Name.ends_with(".dex"))
        return 0;
    std::string_view digits = Name.substr(7, Name.size() - 11);
    if (digits.empty())
        return 1;
    if (digits.size() > 4 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    unsigned n = unsigned(std::stoul(std::string(digits)));
    return n >= 2 ? n : 0;
}

} // namespace

std::vector<ZipEntry> dexEntries(const Bytes &Zip)
{
    // The end record sits before a comment of at most 64 KiB: search back from the end.
    uint64_t size = Zip.all.size();
    if (size < END_SIZE)
        throw Corrupt{"zip end record missing"};
    uint64_t end = size - END_SIZE, first = end > MAX_COMMENT ? end - MAX_COMMENT : 0;
    while (Zip.u32(end, "zip end record") != END_OF_DIRECTORY) {
        if (end == first)
            throw Corrupt{"zip end record missing"};
        --end;
    }
    uint16_t count = Zip.u16(end + 10, "zip end record");
    uint32_t directorySize = Zip.u32(end + 12, "zip end record"), at = Zip.u32(end + 16, "zip end record");
    Bytes directory{Zip.part(at, directorySize, "zip central directory")};
    std::vector<std::pair<unsigned, ZipEntry>> found;
    uint64_t pos = 0;
    for (unsigned k = 0; k < count; ++k) {
        if (directory.u32(pos, "zip directory entry") != DIRECTORY_ENTRY)
            throw Corrupt{"zip directory entry " + std::to_string(k) + " has no signature"};
        uint16_t nameSize = directory.u16(pos + 28, "zip directory entry");
        uint64_t next = pos + 46 + nameSize + directory.u16(pos + 30, "zip directory entry") +
                        directory.u16(pos + 32, "zip directory entry");
        auto name = directory.part(pos + 46, nameSize, "zip entry name");
        ZipEntry entry{std::string(name.begin(), name.end()), directory.u16(pos + 10, "zip directory entry"),
                       directory.u32(pos + 20, "zip directory entry"), directory.u32(pos + 24, "zip directory entry"),
                       directory.u32(pos + 42, "zip directory entry")};
        if (unsigned n = dexNumber(entry.name))
            found.emplace_back(n, std::move(entry));
        pos = next;
    }
    std::stable_sort(found.begin(), found.end(), [](auto &a, auto &b) { return a.first < b.first; });
    std::vector<ZipEntry> entries;
    for (auto &f : found)
        entries.push_back(std::move(f.second));
    return entries;
}

std::span<const uint8_t> entryBytes(const Bytes &Zip, const ZipEntry &Entry, std::vector<uint8_t> &Inflated)
{
    if (Zip.u32(Entry.local, "zip local header") != LOCAL_ENTRY)
        throw Corrupt{"local header has no signature"};
    if (Zip.u16(Entry.local + 6, "zip local header") & 1)
        throw Corrupt{"encrypted"};
    uint64_t data = uint64_t(Entry.local) + 30 + Zip.u16(Entry.local + 26, "zip local header") +
                    Zip.u16(Entry.local + 28, "zip local header");
    auto packed = Zip.part(data, Entry.compressed, "zip entry data");
    if (Entry.method == 0) {
        if (Entry.compressed != Entry.size)
            throw Corrupt{"stored, yet its two sizes differ"};
        return packed;
    }
    if (Entry.method != 8)
        throw Corrupt{"compression method " + std::to_string(Entry.method) + " is not read"};
    // Deflate shrinks at most 1032 to 1: a larger claim is a lie, and must not be allocated;
    // nor is more than the largest dex file of a device, a few tens of megabytes, many times over.
    if (Entry.size > uint64_t(Entry.compressed) * 1032 + 64)
        throw Corrupt{"its sizes lie"};
    if (Entry.size > MAX_INFLATED)
        throw Corrupt{"its size, " + std::to_string(Entry.size) + " bytes, is more than a dex file here may have"};
    Inflated.assign(Entry.size, 0);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        throw Corrupt{"inflate cannot start"};
    z.next_in = const_cast<Bytef *>(packed.data());
    z.avail_in = uInt(packed.size());
    z.next_out = Inflated.data();
    z.avail_out = uInt(Inflated.size());
    int result = inflate(&z, Z_FINISH);
    bool whole = result == Z_STREAM_END && z.total_out == Entry.size;
    inflateEnd(&z);
    if (!whole)
        throw Corrupt{result == Z_DATA_ERROR ? "its deflated data is corrupt" : "its sizes lie"};
    return Inflated;
}

} // namespace dex
