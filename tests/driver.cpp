#include "driver.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

using namespace vorn;

namespace {
template <class T> T at(const uint8_t *P)
{
    T v;
    memcpy(&v, P, sizeof v);
    return v;
}
const uint8_t *pointer(uint64_t Addr) { return reinterpret_cast<const uint8_t *>(uintptr_t(Addr)); }
} // namespace

Bytes &Bytes::u32(uint32_t V)
{
    for (int i = 0; i < 4; ++i)
        push_back(uint8_t(V >> (8 * i)));
    return *this;
}

Bytes &Bytes::str16(std::string_view Ascii)
{
    u32(uint32_t(Ascii.size()));
    for (char c : Ascii)
        insert(end(), {uint8_t(c), 0});
    insert(end(), {0, 0});
    resize((size() + 3) & ~size_t(3), 0);
    return *this;
}

Bytes &Bytes::transaction(uint32_t Return, uint64_t Target, uint32_t Code, uint32_t Flags, uint64_t Size,
                          uint64_t OffsetsSize, uint64_t Buffer, uint64_t Offsets)
{
    u32(Return).u64(Target).u64(0).u32(Code).u32(Flags).u32(4321).u32(1000);
    return u64(Size).u64(OffsetsSize).u64(Buffer).u64(Offsets);
}

std::optional<uint64_t> FakeDriver::place(std::span<const uint8_t> Data)
{
    size_t at = (used + 7) & ~size_t(7);
    if (Data.size() > receive.size() - std::min(at, receive.size()))
        return std::nullopt;
    std::copy(Data.begin(), Data.end(), receive.begin() + long(at));
    used = at + Data.size();
    return uint64_t(uintptr_t(receive.data() + at));
}

std::optional<std::vector<uint8_t>> FakeDriver::stream(const Answer &A)
{
    if (A.interrupted)
        return std::nullopt;
    if (A.codesOnly)
        return A.data;
    Bytes offsets;
    for (uint64_t o : A.offsets)
        offsets.u64(o);
    auto data = place(A.data), offs = offsets.empty() ? std::optional<uint64_t>(0) : place(offsets);
    if (!data || !offs)
        return std::nullopt;
    return Bytes()
        .u32(BR_NOOP)
        .u32(BR_TRANSACTION_COMPLETE)
        .transaction(BR_REPLY, 0, A.code, A.flags, A.data.size(), offsets.size(), *data, *offs);
}

bool FakeDriver::answer(const Answer &A)
{
    if (A.interrupted) {
        script.push_back(std::nullopt);
        return true;
    }
    auto codes = stream(A);
    if (codes)
        script.push_back(std::move(*codes));
    return codes.has_value();
}

void FakeDriver::answer(const std::vector<Answer> &Answers)
{
    for (const Answer &a : Answers)
        if (!answer(a))
            throw std::length_error("the script's replies outgrow the receive area");
}

void FakeDriver::reset()
{
    std::fill(receive.begin(), receive.begin() + long(used), 0);
    used = 0;
    script.clear();
    props.clear();
    opened.clear();
    writes.clear();
    reads = 0;
}

int FakeDriver::open(const char *Path)
{
    opened.push_back(Path);
    errno = ENOENT;
    return nodes.count(Path) ? 3 : -1;
}

int FakeDriver::ioctl(int, unsigned long Request, void *Arg)
{
    if (Request == BINDER_VERSION && !failVersion) {
        int32_t version = 8;
        memcpy(Arg, &version, 4);
        return 0;
    }
    if (Request == BINDER_SET_MAX_THREADS)
        return 0;
    if (Request != BINDER_WRITE_READ) {
        errno = EINVAL;
        return -1;
    }
    // The exchange record is read at the kernel's offsets, independently of the tool's struct.
    uint8_t *bwr = static_cast<uint8_t *>(Arg);
    // What an interrupted exchange already consumed is not taken again, as the driver does.
    uint64_t writeSize = at<uint64_t>(bwr), readSize = at<uint64_t>(bwr + 24), consumed = 0;
    uint64_t writeStart = at<uint64_t>(bwr + 8);
    if (writeSize > writeStart) {
        const uint8_t *w = pointer(at<uint64_t>(bwr + 16)) + writeStart;
        writeSize -= writeStart;
        writes.emplace_back(w, w + writeSize);
        writeSize += writeStart;
        memcpy(bwr + 8, &writeSize, 8);
    }
    memcpy(bwr + 32, &consumed, 8);
    if (!readSize)
        return 0;
    ++reads;
    if (script.empty()) { // a real driver would block; the script has nothing more to say
        errno = EAGAIN;
        return -1;
    }
    std::optional<std::vector<uint8_t>> next = std::move(script.front());
    script.pop_front();
    if (!next) {
        errno = EINTR;
        return -1;
    }
    std::vector<uint8_t> stream = std::move(*next);
    consumed = std::min<uint64_t>(stream.size(), readSize);
    if (consumed) // an empty stream has no bytes to copy, nor perhaps an address
        memcpy(const_cast<uint8_t *>(pointer(at<uint64_t>(bwr + 40))), stream.data(), size_t(consumed));
    memcpy(bwr + 32, &consumed, 8);
    return 0;
}

const void *FakeDriver::map(int, size_t Length)
{
    errno = ENOMEM;
    return failMap || Length != RECV_AREA_SIZE ? nullptr : receive.data();
}
