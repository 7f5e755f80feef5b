#include <gtest/gtest.h>

#include "fake_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace vorn;

namespace {
uint32_t word(const uint8_t *P)
{
    uint32_t v;
    memcpy(&v, P, 4);
    return v;
}
uint64_t dword(const uint8_t *P)
{
    uint64_t v;
    memcpy(&v, P, 8);
    return v;
}
const char *const SWITCHES[] = {"ZQCOLOR", "ZQDEBUG", "NOT10", "A11", "ZQARG", "ZQAIDL_DIR", "HTML", "NOSM", "NOEXIT"};
} // namespace

Bytes &Bytes::u32(uint32_t V)
{
    for (int i = 0; i < 4; ++i)
        push_back(uint8_t(V >> (8 * i)));
    return *this;
}

Bytes &Bytes::u64(uint64_t V)
{
    u32(uint32_t(V));
    return u32(uint32_t(V >> 32));
}

Bytes &Bytes::str16(std::u16string_view Units)
{
    u32(uint32_t(Units.size()));
    for (char16_t u : Units) {
        push_back(uint8_t(u));
        push_back(uint8_t(u >> 8));
    }
    push_back(0);
    push_back(0);
    while (size() % 4)
        push_back(0);
    return *this;
}

Bytes &Bytes::str16(std::string_view Ascii) { return str16(std::u16string(Ascii.begin(), Ascii.end())); }

Bytes &Bytes::object(uint32_t Type, uint64_t Value, uint32_t Flags)
{
    return u32(Type).u32(Flags).u64(Value).u64(0);
}

Bytes &Bytes::buffer(uint64_t Addr, uint64_t Length, uint64_t Parent, uint64_t ParentOffset, uint32_t Flags)
{
    return u32(BINDER_TYPE_PTR).u32(Flags).u64(Addr).u64(Length).u64(Parent).u64(ParentOffset);
}

FakeDriver::FakeDriver() : receive(RECV_AREA_SIZE) { setDevice(this); }
FakeDriver::~FakeDriver() { setDevice(nullptr); }

uint64_t FakeDriver::place(std::span<const uint8_t> Data)
{
    used = (used + 7) & ~size_t(7);
    if (used + Data.size() > receive.size())
        throw std::runtime_error("fake receive area full");
    std::copy(Data.begin(), Data.end(), receive.begin() + long(used));
    uint64_t addr = uint64_t(uintptr_t(receive.data() + used));
    used += Data.size();
    return addr;
}

std::vector<uint8_t> FakeDriver::replyStream(const Bytes &Data, std::vector<uint64_t> Offsets, uint32_t Flags,
                                             uint32_t Code)
{
    uint64_t data = place(Data);
    Bytes offsets;
    for (uint64_t o : Offsets)
        offsets.u64(o);
    uint64_t offs = offsets.empty() ? 0 : place(offsets);
    Bytes stream;
    stream.u32(BR_NOOP).u32(BR_TRANSACTION_COMPLETE).u32(BR_REPLY);
    stream.u64(0).u64(0).u32(Code).u32(Flags).u32(4321).u32(1000);
    stream.u64(Data.size()).u64(offsets.size()).u64(data).u64(offs);
    return stream;
}

int FakeDriver::open(const char *Path)
{
    opened.push_back(Path);
    if (!nodes.count(Path)) {
        errno = ENOENT;
        return -1;
    }
    return 3;
}

int FakeDriver::ioctl(int, unsigned long Request, void *Arg)
{
    if (Request == BINDER_VERSION) {
        if (failVersion) {
            errno = EINVAL;
            return -1;
        }
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
    // Read the exchange record at the kernel's offsets, independently of the tool's struct.
    uint8_t *bwr = static_cast<uint8_t *>(Arg);
    uint64_t writeSize = dword(bwr), writeBuf = dword(bwr + 16), readSize = dword(bwr + 24), readBuf = dword(bwr + 40);
    if (writeSize) {
        const uint8_t *w = reinterpret_cast<const uint8_t *>(uintptr_t(writeBuf));
        writes.emplace_back(w, w + writeSize);
        uint32_t cmd = word(w);
        if ((cmd == 0x40406300 || cmd == 0x40486311) && writeSize >= 68) {
            const uint8_t *t = w + 4;
            Sent s{cmd, word(t), word(t + 16), word(t + 20), {}, {}, size_t(writeSize)};
            const uint8_t *data = reinterpret_cast<const uint8_t *>(uintptr_t(dword(t + 48)));
            s.parcel.assign(data, data + dword(t + 32));
            const uint8_t *offs = reinterpret_cast<const uint8_t *>(uintptr_t(dword(t + 56)));
            for (uint64_t i = 0; i < dword(t + 40) / 8; ++i)
                s.offsets.push_back(dword(offs + 8 * i));
            sent.push_back(std::move(s));
        }
        memcpy(bwr + 8, &writeSize, 8); // write_consumed
    }
    uint64_t consumed = 0;
    memcpy(bwr + 32, &consumed, 8);
    if (!readSize)
        return 0;
    ++reads;
    if (script.empty()) {
        errno = EAGAIN; // a real driver would block; the script has nothing more to say
        return -1;
    }
    std::vector<uint8_t> stream = std::move(script.front());
    script.pop_front();
    consumed = std::min<uint64_t>(stream.size(), readSize);
    memcpy(reinterpret_cast<void *>(uintptr_t(readBuf)), stream.data(), size_t(consumed));
    memcpy(bwr + 32, &consumed, 8);
    return 0;
}

const void *FakeDriver::map(int, size_t Length)
{
    if (failMap || Length != RECV_AREA_SIZE) {
        errno = ENOMEM;
        return nullptr;
    }
    return receive.data();
}

std::string FakeDriver::property(const char *Name)
{
    auto p = props.find(Name);
    return p == props.end() ? std::string() : p->second;
}

Result capture(const std::function<int()> &Body)
{
    fflush(stdout);
    fflush(stderr);
    FILE *out = tmpfile(), *err = tmpfile();
    int savedOut = dup(1), savedErr = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    int status = Body();
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    auto slurp = [](FILE *F) {
        std::string text;
        rewind(F);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, F)) > 0)
            text.append(chunk, n);
        fclose(F);
        return text;
    };
    return {slurp(out), slurp(err), status};
}

Result runVorn(std::vector<std::string> Words)
{
    std::vector<char *> argv;
    for (std::string &w : Words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return capture([&] { return vornMain(int(Words.size()), argv.data()) & 0xff; });
}

std::string maskDate(std::string Text)
{
    const std::string marker = "compiled on ";
    size_t at = Text.find(marker);
    if (at != std::string::npos)
        Text.replace(at + marker.size(), 11, "DATE");
    return Text;
}

std::string hex(std::span<const uint8_t> Bytes)
{
    std::string text;
    char b[4];
    for (uint8_t c : Bytes) {
        snprintf(b, sizeof b, "%02x ", c);
        text += b;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

void VornTest::SetUp()
{
    for (const char *name : SWITCHES)
        unsetenv(name);
}

void VornTest::TearDown()
{
    for (const std::string &name : touched)
        unsetenv(name.c_str());
    for (const char *name : SWITCHES)
        unsetenv(name);
}

void VornTest::env(const char *Name, const char *Value)
{
    setenv(Name, Value, 1);
    touched.push_back(Name);
}

void VornTest::attach(int Release, int Ns)
{
    g_Color = getenv("ZQCOLOR") != nullptr;
    g_Debug = getenv("ZQDEBUG") != nullptr;
    androidVer = Release;
    setNs(Ns);
    g_BinderFd = 3;
    g_RecvArea = fake.area();
    safeWords[0] = '\0';
}
