// A scripted stand-in for the binder driver behind the tool's device seam: it records every
// transaction it is given and answers each read from a script of return streams, placing
// reply parcels in a receive area of its own.
#pragma once

#include "capture.h"
#include "vorn.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <set>

// Little-endian bytes for scripted replies.
struct Bytes : std::vector<uint8_t> {
    Bytes() = default;
    Bytes(std::initializer_list<uint8_t> B) : std::vector<uint8_t>(B) {}
    explicit Bytes(std::string_view S) : std::vector<uint8_t>(S.begin(), S.end()) {}
    Bytes &u32(uint32_t V);
    Bytes &u64(uint64_t V) { return u32(uint32_t(V)).u32(uint32_t(V >> 32)); }
    Bytes &str16(std::string_view Ascii); // count, units, terminator, padding to 4
    Bytes &null16() { return u32(0xffffffff); }
    Bytes &object(uint32_t Type, uint64_t Value) { return u32(Type).u32(0x17f).u64(Value).u64(0); }
    Bytes &buffer(uint64_t Addr, uint64_t Length, uint64_t Parent = 0, uint64_t ParentOffset = 0, uint32_t Flags = 0)
    {
        return u32(vorn::BINDER_TYPE_PTR).u32(Flags).u64(Addr).u64(Length).u64(Parent).u64(ParentOffset);
    }
};

// One transaction as the tool handed it to the driver.
struct Sent {
    uint32_t command, target, code, flags;
    std::vector<uint8_t> parcel;
    std::vector<uint64_t> offsets;
    size_t writeLen;
};

class FakeDriver : public vorn::Device {
public:
    FakeDriver() : receive(vorn::RECV_AREA_SIZE) { vorn::setDevice(this); }
    ~FakeDriver() override { vorn::setDevice(nullptr); }

    std::set<std::string> nodes{"/dev/binder", "/dev/vndbinder", "/dev/hwbinder"};
    bool failVersion = false, failMap = false;
    std::map<std::string, std::string> props;

    void answer(std::vector<uint8_t> Stream) { script.push_back(std::move(Stream)); }
    uint64_t place(std::span<const uint8_t> Data); // copies into the receive area
    std::vector<uint8_t> replyStream(const Bytes &Data, std::vector<uint64_t> Offsets = {}, uint32_t Flags = 0,
                                     uint32_t Code = 0);
    void reply(const Bytes &Data, std::vector<uint64_t> Offsets = {}, uint32_t Flags = 0)
    {
        answer(replyStream(Data, std::move(Offsets), Flags));
    }
    void statusReply(int32_t Status) { reply(Bytes().u32(uint32_t(Status)), {}, vorn::TF_STATUS_CODE); }
    void handleReply(uint32_t Handle) { reply(Bytes().object(vorn::BINDER_TYPE_HANDLE, Handle), {0}); }
    const uint8_t *area() const { return receive.data(); }

    std::vector<std::string> opened;
    std::vector<Sent> sent;
    std::vector<std::vector<uint8_t>> writes; // every non-empty write buffer
    int reads = 0;

    int open(const char *Path) override;
    int ioctl(int Fd, unsigned long Request, void *Arg) override;
    const void *map(int Fd, size_t Length) override;
    std::string property(const char *Name) override { return props.count(Name) ? props[Name] : ""; }

private:
    std::deque<std::vector<uint8_t>> script;
    std::vector<uint8_t> receive;
    size_t used = 0;
};

// One run, as a user sees it.
Result runVorn(std::vector<std::string> Words);
std::string hex(std::span<const uint8_t> Bytes);

// Clears the tool's environment switches and installs a fresh fake driver for every test.
class VornTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { SetUp(); }
    void env(const char *Name, const char *Value = "1") { setenv(Name, Value, 1); }
    // The tool's state as the front end leaves it, for calling subsystems directly.
    void attach(int Release, int Ns = vorn::NS_BINDER);
    FakeDriver fake;
};
