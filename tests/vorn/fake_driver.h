// A scripted stand-in for the binder driver behind the tool's device seam: it records every
// write buffer it is given and answers each read from a script of return streams, placing
// reply parcels in a receive area of its own.
#pragma once

#include "vorn.h"

#include <gtest/gtest.h>

#include <functional>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

// Little-endian bytes for scripted replies.
struct Bytes : std::vector<uint8_t> {
    Bytes() = default;
    Bytes(std::initializer_list<uint8_t> B) : std::vector<uint8_t>(B) {}
    explicit Bytes(std::string_view S) : std::vector<uint8_t>(S.begin(), S.end()) {}
    Bytes &u32(uint32_t V);
    Bytes &u64(uint64_t V);
    Bytes &str16(std::u16string_view Units); // count, units, terminator, padding to 4
    Bytes &str16(std::string_view Ascii);
    Bytes &null16() { return u32(0xffffffff); }
    Bytes &object(uint32_t Type, uint64_t Value, uint32_t Flags = 0x17f);          // 24-byte object
    Bytes &buffer(uint64_t Addr, uint64_t Length, uint64_t Parent = 0, uint64_t ParentOffset = 0,
                  uint32_t Flags = 0); // 40-byte scatter-gather object
};

// One transaction as the tool handed it to the driver.
struct Sent {
    uint32_t command;
    uint32_t target;
    uint32_t code;
    uint32_t flags;
    std::vector<uint8_t> parcel;
    std::vector<uint64_t> offsets;
    size_t writeLen;
};

class FakeDriver : public vorn::Device {
public:
    FakeDriver();
    ~FakeDriver() override;

    // What the device looks like.
    std::set<std::string> nodes{"/dev/binder", "/dev/vndbinder", "/dev/hwbinder"};
    bool failVersion = false;
    bool failMap = false;
    std::map<std::string, std::string> props;

    // The script: each entry answers one read.
    void answer(std::vector<uint8_t> Stream) { script.push_back(std::move(Stream)); }
    uint64_t place(std::span<const uint8_t> Bytes); // copies into the receive area
    std::vector<uint8_t> replyStream(const Bytes &Data, std::vector<uint64_t> Offsets = {}, uint32_t Flags = 0,
                                     uint32_t Code = 0);
    void reply(const Bytes &Data, std::vector<uint64_t> Offsets = {}, uint32_t Flags = 0)
    {
        answer(replyStream(Data, std::move(Offsets), Flags));
    }
    void statusReply(int32_t Status) { reply(Bytes().u32(uint32_t(Status)), {}, vorn::TF_STATUS_CODE); }
    void handleReply(uint32_t Handle) { reply(Bytes().object(vorn::BINDER_TYPE_HANDLE, Handle), {0}); }
    const uint8_t *area() const { return receive.data(); }

    // What the tool did.
    std::vector<std::string> opened;
    std::vector<Sent> sent;
    std::vector<std::vector<uint8_t>> writes; // every non-empty write buffer, raw
    int reads = 0;

    int open(const char *Path) override;
    int ioctl(int Fd, unsigned long Request, void *Arg) override;
    const void *map(int Fd, size_t Length) override;
    std::string property(const char *Name) override;

private:
    std::deque<std::vector<uint8_t>> script;
    std::vector<uint8_t> receive;
    size_t used = 0;
};

// One run of the tool, as a user sees it.
struct Result {
    std::string out;
    std::string err;
    int status;
};
Result runVorn(std::vector<std::string> Words);
// Runs Body with standard output and standard error captured.
Result capture(const std::function<int()> &Body);
// The usage's build date, which changes with every build, as "DATE".
std::string maskDate(std::string Text);
std::string hex(std::span<const uint8_t> Bytes);

// Clears the tool's environment switches and installs a fresh fake driver for every test.
class VornTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void env(const char *Name, const char *Value);
    // Prepares the tool's state as the front end leaves it, for calling subsystems directly.
    void attach(int Release, int Ns = vorn::NS_BINDER);
    FakeDriver fake;

private:
    std::vector<std::string> touched;
};
