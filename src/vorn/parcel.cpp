// Parcels: the writer and its objects, the reader and the copied reply, String16 and text.
#include "vorn.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorn {

// UTF-8 to UTF-16. A byte that does not start a valid sequence is widened on its own, so
// ASCII and text given as Latin-1 bytes keep working.
std::u16string UTF16(std::string_view UTF8)
{
    std::u16string units;
    size_t i = 0;
    auto cont = [&](size_t k) { return i + k < UTF8.size() && (uint8_t(UTF8[i + k]) & 0xc0) == 0x80; };
    while (i < UTF8.size()) {
        uint8_t b = uint8_t(UTF8[i]);
        uint32_t cp = b;
        size_t len = 1;
        if (b >= 0xc2 && b <= 0xdf && cont(1)) {
            cp = (b & 0x1fu) << 6 | (uint8_t(UTF8[i + 1]) & 0x3fu);
            len = 2;
        } else if (b >= 0xe0 && b <= 0xef && cont(1) && cont(2)) {
            uint8_t b1 = uint8_t(UTF8[i + 1]);
            bool overlong = b == 0xe0 && b1 < 0xa0, surrogate = b == 0xed && b1 >= 0xa0;
            if (!overlong && !surrogate) {
                cp = (b & 0x0fu) << 12 | (b1 & 0x3fu) << 6 | (uint8_t(UTF8[i + 2]) & 0x3fu);
                len = 3;
            }
        } else if (b >= 0xf0 && b <= 0xf4 && cont(1) && cont(2) && cont(3)) {
            uint8_t b1 = uint8_t(UTF8[i + 1]);
            bool overlong = b == 0xf0 && b1 < 0x90, tooBig = b == 0xf4 && b1 >= 0x90;
            if (!overlong && !tooBig) {
                cp = (b & 0x07u) << 18 | (b1 & 0x3fu) << 12 | (uint8_t(UTF8[i + 2]) & 0x3fu) << 6 |
                     (uint8_t(UTF8[i + 3]) & 0x3fu);
                len = 4;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units += char16_t(0xd800 + (cp >> 10));
            units += char16_t(0xdc00 + (cp & 0x3ff));
        } else {
            units += char16_t(cp);
        }
        i += len;
    }
    return units;
}

Writer &Writer::string16(std::string_view UTF8)
{
    std::u16string units = UTF16(UTF8);
    u32(uint32_t(units.size()));
    for (char16_t u : units)
        put(uint16_t(u));
    put(uint16_t(0));
    bytes.resize((bytes.size() + 3) & ~size_t(3), 0);
    return *this;
}

Writer &Writer::cstring(std::string_view Text)
{
    bytes.insert(bytes.end(), Text.begin(), Text.end());
    bytes.resize((bytes.size() + 1 + 3) & ~size_t(3), 0);
    return *this;
}

size_t Writer::buffer(std::span<const uint8_t> Data, std::optional<std::pair<size_t, uint64_t>> Parent)
{
    const std::vector<uint8_t> &copy = buffers.emplace_back(Data.begin(), Data.end());
    binder_buffer_object object{BINDER_TYPE_PTR, Parent ? 1u : 0u,           uint64_t(uintptr_t(copy.data())),
                                copy.size(),     Parent ? Parent->first : 0, Parent ? Parent->second : 0};
    buffersBytes += (copy.size() + 7) & ~uint64_t(7);
    this->object(object);
    return objects.size() - 1;
}

Writer &Writer::hidlString(std::string_view Text)
{
    size_t record = buffer(std::array<uint8_t, 16>{});
    std::vector<uint8_t> chars(Text.begin(), Text.end());
    chars.push_back(0);
    buffer(chars, std::pair(record, 0));
    // The record's pointer is the characters' own copy, which only now has its address.
    uint64_t address = uintptr_t(buffers.back().data());
    uint32_t size = uint32_t(Text.size());
    std::vector<uint8_t> &fields = buffers[buffers.size() - 2];
    std::memcpy(fields.data(), &address, sizeof address);
    std::memcpy(fields.data() + 8, &size, sizeof size);
    return *this;
}

Writer &Writer::hidlStrings(std::span<char *const> Texts)
{
    size_t record = buffer(std::array<uint8_t, 16>{});
    size_t elements = buffer(std::vector<uint8_t>(16 * Texts.size()), std::pair(record, 0));
    size_t first = buffers.size() - 1; // the array's copy; each string's follows it
    for (size_t k = 0; k < Texts.size(); ++k) {
        std::string_view text = Texts[k];
        std::vector<uint8_t> chars(text.begin(), text.end());
        chars.push_back(0);
        buffer(chars, std::pair(elements, 16 * k));
    }
    // Each record points at its child's own copy, which only now has its address.
    auto point = [&](std::vector<uint8_t> &Record, size_t At, const std::vector<uint8_t> &Child, uint32_t Count) {
        uint64_t address = uintptr_t(Child.data());
        std::memcpy(Record.data() + At, &address, sizeof address);
        std::memcpy(Record.data() + At + 8, &Count, sizeof Count);
    };
    point(buffers[first - 1], 0, buffers[first], uint32_t(Texts.size()));
    for (size_t k = 0; k < Texts.size(); ++k)
        point(buffers[first], 16 * k, buffers[first + 1 + k], uint32_t(strlen(Texts[k])));
    return *this;
}

Writer &Writer::nativeHandle(int Fd)
{
    const std::array<int32_t, 4> handle{12, 1, 0, Fd}; // version (its header's size), one fd, no ints
    put(uint64_t(sizeof handle));
    size_t parent = buffer(std::span(reinterpret_cast<const uint8_t *>(handle.data()), sizeof handle));
    return object(binder_fd_array_object{BINDER_TYPE_FDA, 0, 1, parent, 12});
}

Writer &Writer::append(Writer &&Tail)
{
    for (uint64_t offset : Tail.objects)
        objects.push_back(bytes.size() + offset);
    bytes.insert(bytes.end(), Tail.bytes.begin(), Tail.bytes.end());
    for (Owned &owned : Tail.descriptors)
        descriptors.push_back(std::move(owned));
    return *this;
}

Owned::~Owned()
{
    if (fd >= 0)
        close(fd);
}

// Converted whatever its length: the bounded reader has already held it to the reply, and an
// interface name goes back to its service as the request header.
std::string UTF16ToUTF8(std::u16string_view UTF16)
{
    std::string text;
    for (size_t i = 0; i < UTF16.size(); ++i) {
        uint32_t cp = UTF16[i];
        if (cp == 0)
            break;
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < UTF16.size() && UTF16[i + 1] >= 0xdc00 && UTF16[i + 1] <= 0xdfff) {
            cp = 0x10000 + ((cp - 0xd800) << 10) + (UTF16[i + 1] - 0xdc00u);
            ++i;
        } else if (cp >= 0xd800 && cp <= 0xdfff) {
            cp = 0xfffd; // an unpaired surrogate
        }
        if (cp < 0x80) {
            text += char(cp);
        } else if (cp < 0x800) {
            text += char(0xc0 | cp >> 6);
            text += char(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            text += char(0xe0 | cp >> 12);
            text += char(0x80 | (cp >> 6 & 0x3f));
            text += char(0x80 | (cp & 0x3f));
        } else {
            text += char(0xf0 | cp >> 18);
            text += char(0x80 | (cp >> 12 & 0x3f));
            text += char(0x80 | (cp >> 6 & 0x3f));
            text += char(0x80 | (cp & 0x3f));
        }
    }
    return text;
}

std::string shown(const Settings &S, FILE *Stream, std::string_view Text)
{
    return (Stream == stdout ? S.outTerminal : S.errTerminal) ? printable(Text) : std::string(Text);
}

std::string printable(std::string_view Text)
{
    std::string shown;
    for (size_t i = 0; i < Text.size(); ++i) {
        uint8_t c = uint8_t(Text[i]);
        // U+0080 to U+009F, which some terminals obey as controls too
        bool c1 = c == 0xc2 && i + 1 < Text.size() && (uint8_t(Text[i + 1]) & 0xe0) == 0x80;
        if (c >= 0x20 && c != 0x7f && !c1) {
            shown += char(c);
            continue;
        }
        char escape[8];
        snprintf(escape, sizeof escape, "\\x%02x", c1 ? uint8_t(Text[++i]) : c);
        shown += escape;
    }
    return shown;
}

std::string string16Cut(std::span<const uint8_t> Data, size_t Pos)
{
    Reader reader(Data, Pos);
    auto count = reader.u32();
    size_t avail = (Data.size() - reader.position()) / 2;
    size_t n = count && *count != 0xffffffff ? std::min<size_t>(*count, avail) : 0;
    std::u16string units(n, u'\0');
    if (n)
        std::memcpy(units.data(), Data.data() + reader.position(), 2 * n);
    return UTF16ToUTF8(units);
}

bool isErrorParcel(const Settings &S, std::span<const uint8_t> Data)
{
    Reader reader(Data);
    auto code = reader.u32();
    if (!code)
        return false;
    switch (int32_t(*code)) {
    case -74: fprintf(stderr, "Result:Parcel(Error: 0xffffffb6 \"Not a data message\")\n"); return true;
    case -3:
        fprintf(stderr, "Result:Parcel(Error: 0xffffffd6 \"%s\")\n", shown(S, stderr, string16Cut(Data, 4)).c_str());
        return true;
    case -1: fprintf(stderr, "Result:Parcel(Error: 0xffffffff \"General error\")\n"); return true;
    default: return false;
    }
}

Scanned scanInteger(const char *Word, long long Min, long long Max)
{
    char *end;
    errno = 0;
    long long value = strtoll(Word, &end, 10);
    if (end == Word)
        return {Scanned::NOT_A_NUMBER, 0};
    if (errno == ERANGE || value < Min || value > Max)
        return {Scanned::OUT_OF_RANGE, 0};
    return {Scanned::NUMBER, value};
}

uint32_t ntohl(uint32_t Net)
{
    uint8_t d[4];
    std::memcpy(d, &Net, 4);
    return uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
}

std::optional<std::span<const uint8_t>> Reader::take(uint64_t N)
{
    if (N > data.size() - pos) {
        pos = data.size();
        return std::nullopt;
    }
    auto bytes = data.subspan(pos, size_t(N));
    pos += N;
    return bytes;
}

std::optional<std::u16string> Reader::string16()
{
    auto count = u32();
    if (!count)
        return std::nullopt;
    if (*count == 0xffffffff)
        return std::u16string();
    uint64_t n = *count;
    auto bytes = take((2 * n + 2 + 3) & ~uint64_t(3)); // units, terminator, padding
    if (!bytes)
        return std::nullopt;
    std::u16string units(size_t(n), u'\0');
    std::memcpy(units.data(), bytes->data(), size_t(2 * n));
    return units;
}

} // namespace vorn

namespace vorn {

std::optional<std::span<const uint8_t>> bytesAt(std::span<const uint8_t> Area, uint64_t Base, uint64_t Addr,
                                                uint64_t Size)
{
    if (Size == 0) // nothing to read, wherever it is said to lie
        return std::span<const uint8_t>();
    if (Addr < Base || Size > Area.size() || Addr - Base > Area.size() - Size)
        return std::nullopt;
    return Area.subspan(size_t(Addr - Base), size_t(Size));
}

std::optional<std::span<const uint8_t>> hidlBuffer(const Received &Reply, Reader &R, uint64_t Length, const char *What)
{
    auto object = R.record<binder_buffer_object>();
    if (!object || object->type != BINDER_TYPE_PTR || object->length != Length) {
        fprintf(stderr, "The reply holds no %s record where one belongs\n", What);
        return std::nullopt;
    }
    return delivered(Reply, object->buffer, Length);
}

namespace {

// The 16-byte record (hidl_string or hidl_vec) that the buffer object next in R holds.
std::optional<hidl_array> hidlRecord(const Received &Reply, Reader &R)
{
    auto bytes = hidlBuffer(Reply, R, sizeof(hidl_array), "hidl");
    return bytes ? Reader(*bytes).record<hidl_array>() : std::nullopt;
}

std::optional<std::string> charactersOf(const Received &Reply, const hidl_array &Record)
{
    auto chars = delivered(Reply, Record.arrayPayload, uint64_t(Record.arrayEntries) + 1);
    if (!chars)
        return std::nullopt;
    if (chars->back() != 0) {
        fprintf(stderr, "A hidl string of the reply does not end in its NUL\n");
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char *>(chars->data()), Record.arrayEntries);
}

} // namespace

std::optional<std::string> hidlString(const Received &Reply, Reader &R)
{
    auto record = hidlRecord(Reply, R);
    return record ? charactersOf(Reply, *record) : std::nullopt;
}

std::optional<std::vector<std::string>> hidlStrings(const Received &Reply, Reader &R)
{
    auto vector = hidlRecord(Reply, R);
    auto records = vector ? delivered(Reply, vector->arrayPayload, uint64_t(sizeof(hidl_array)) * vector->arrayEntries)
                          : std::nullopt;
    if (!records)
        return std::nullopt;
    std::vector<std::string> texts;
    Reader each(*records);
    while (auto record = each.record<hidl_array>()) {
        auto text = charactersOf(Reply, *record);
        if (!text)
            return std::nullopt;
        texts.push_back(std::move(*text));
    }
    return texts;
}

Located objectAt(const Received &Reply, size_t Index)
{
    uint64_t offset = Index < Reply.offsets.size() ? Reply.offsets[Index] : UINT64_MAX;
    size_t size = Reply.data.size();
    if (offset > size) {
        fprintf(stderr, "Malformation: Offset points to %llu, which is greater than buffer size %zu\n",
                (unsigned long long)offset, size);
        return {-5, {}};
    }
    auto object = Reader(Reply.data, size_t(offset)).record<flat_binder_object>();
    if (!object) {
        fprintf(stderr,
                "Malformation: Flat binder object size would get to %llu, which is greater than buffer size %zu\n",
                (unsigned long long)(offset + sizeof(flat_binder_object)), size);
        return {-6, {}};
    }
    return {0, *object};
}

std::optional<std::span<const uint8_t>> delivered(const Received &Reply, uint64_t Addr, uint64_t Length)
{
    for (const Received::Buffer &buffer : Reply.buffers)
        if (auto bytes = bytesAt(buffer.bytes, buffer.address, Addr, Length))
            return bytes;
    fprintf(stderr, "Reply record at 0x%llx (%llu bytes) lies outside the buffers the driver delivered\n",
            (unsigned long long)Addr, (unsigned long long)Length);
    return std::nullopt;
}

} // namespace vorn
