#include "fake_driver.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

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

uint64_t FakeDriver::place(std::span<const uint8_t> Data)
{
    used = (used + 7) & ~size_t(7);
    if (Data.size() > receive.size() - std::min(used, receive.size()))
        throw std::length_error("the script's replies outgrow the receive area");
    std::copy(Data.begin(), Data.end(), receive.begin() + long(used));
    used += Data.size();
    return uint64_t(uintptr_t(receive.data() + used - Data.size()));
}

std::vector<uint8_t> FakeDriver::stream(const Answer &A)
{
    if (A.codesOnly)
        return A.data;
    uint64_t data = place(A.data);
    Bytes offsets;
    for (uint64_t o : A.offsets)
        offsets.u64(o);
    uint64_t offs = offsets.empty() ? 0 : place(offsets);
    return Bytes()
        .u32(BR_NOOP)
        .u32(BR_TRANSACTION_COMPLETE)
        .u32(BR_REPLY)
        .u64(0)
        .u64(0)
        .u32(A.code)
        .u32(A.flags)
        .u32(4321)
        .u32(1000)
        .u64(A.data.size())
        .u64(offsets.size())
        .u64(data)
        .u64(offs);
}

void FakeDriver::answer(const std::vector<Answer> &Answers)
{
    for (const Answer &a : Answers)
        script.push_back(stream(a));
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
    uint64_t writeSize = at<uint64_t>(bwr), readSize = at<uint64_t>(bwr + 24), consumed = 0;
    if (writeSize) {
        const uint8_t *w = pointer(at<uint64_t>(bwr + 16));
        writes.emplace_back(w, w + writeSize);
        uint32_t cmd = at<uint32_t>(w);
        if ((cmd == 0x40406300 || cmd == 0x40486311) && writeSize >= 68) {
            const uint8_t *t = w + 4;
            Sent s{cmd, at<uint32_t>(t), at<uint32_t>(t + 16), at<uint32_t>(t + 20), {}, {}, size_t(writeSize)};
            const uint8_t *data = pointer(at<uint64_t>(t + 48)), *offs = pointer(at<uint64_t>(t + 56));
            s.parcel.assign(data, data + at<uint64_t>(t + 32));
            for (uint64_t i = 0; i < at<uint64_t>(t + 40) / 8; ++i)
                s.offsets.push_back(at<uint64_t>(offs + 8 * i));
            sent.push_back(std::move(s));
        }
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
    std::vector<uint8_t> stream = std::move(script.front());
    script.pop_front();
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

Result runVorn(std::vector<std::string> Words)
{
    std::vector<char *> argv;
    for (std::string &w : Words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return capture([&] { return vornMain(int(Words.size()), argv.data()) & 0xff; });
}

std::string hex(std::span<const uint8_t> Bytes)
{
    std::string text;
    char b[4];
    for (uint8_t c : Bytes)
        text += (snprintf(b, sizeof b, " %02x", c), b);
    return text.empty() ? text : text.substr(1);
}

std::string dumped(const Bytes &B)
{
    return capture([&] { return hexDump(B.data(), B.size(), 0), 0; }).err;
}

void VornTest::SetUp()
{
    for (const char *name :
         {"ZQCOLOR", "ZQDEBUG", "NOT10", "A11", "A15R6", "A16", "ZQAIDL_DIR", "ZQARG", "HTML", "NOSM"})
        unsetenv(name);
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
    g_HeaderProven = false;
}

const char *const AIDL_IT = "package t;\ninterface IT {\n"
                            "  int add(int a, in int b);\n"      // 1
                            "  String echo(String s);\n"         // 2
                            "  boolean flag(boolean b);\n"       // 3
                            "  float half(in float f);\n"        // 4
                            "  void set(long l, in double d);\n" // 5
                            "  long big();\n"                    // 6
                            "  double ratio();\n"                // 7
                            "  IBinder other();\n"               // 8
                            "  byte[] raw();\n"                  // 9
                            "  void all(int i, long l, float f, double d, boolean z, byte y, char c, String s, "
                            "IBinder o);\n"
                            "}\n";

std::string rowName(const ::testing::TestParamInfo<Row> &Info) { return Info.param.name; }

TEST_P(Run, PrintsAndEndsAsAUserExpects)
{
    const Row &row = GetParam();
    std::string dir = testing::TempDir() + "vorn-aidl";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/IT.aidl") << AIDL_IT;
    env("ZQAIDL_DIR", dir.c_str());
    env(row.release);
    fake.answer(row.script);
    Result r = runVorn(row.words);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
}
