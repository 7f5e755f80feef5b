// A scripted stand-in for the binder driver behind the tool's device seam: it records every
// write it is given and answers each read from a script of return streams, placing
// reply parcels in a receive area of its own. The unit tests and the fuzz targets share it.
#pragma once

#include "vorn.h"

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Little-endian bytes for scripted replies.
struct Bytes : std::vector<uint8_t> {
    Bytes() = default;
    Bytes(std::initializer_list<uint8_t> B) : std::vector<uint8_t>(B) {}
    explicit Bytes(std::string_view S) : std::vector<uint8_t>(S.begin(), S.end()) {}
    explicit Bytes(std::vector<uint8_t> V) : std::vector<uint8_t>(std::move(V)) {}
    Bytes &u32(uint32_t V);
    Bytes &u64(uint64_t V) { return u32(uint32_t(V)).u32(uint32_t(V >> 32)); }
    Bytes &str16(std::string_view Ascii); // count, units, terminator, padding to 4
    Bytes &null16() { return u32(0xffffffff); }
    Bytes &object(uint32_t Type, uint64_t Value) { return u32(Type).u32(0x17f).u64(Value).u64(0); }
    Bytes &buffer(uint64_t Addr, uint64_t Length, uint64_t Parent = 0, uint64_t ParentOffset = 0, uint32_t Flags = 0)
    {
        return u32(vorn::BINDER_TYPE_PTR).u32(Flags).u64(Addr).u64(Length).u64(Parent).u64(ParentOffset);
    }
    // A return code with its transaction record (BR_REPLY, BR_TRANSACTION), from pid 4321, uid 1000.
    Bytes &transaction(uint32_t Return, uint64_t Target, uint32_t Code, uint32_t Flags, uint64_t Size = 0,
                       uint64_t OffsetsSize = 0, uint64_t Buffer = 0, uint64_t Offsets = 0);
};

// One scripted read of the driver: a reply, whose data and offsets the driver places in the
// receive area, or return codes as they stand.
struct Answer {
    Bytes data;
    std::vector<uint64_t> offsets = {};
    uint32_t flags = 0, code = 0;
    bool codesOnly = false;
    bool interrupted = false; // the read is interrupted by a signal (EINTR) before anything arrives
};
inline Answer reply(Bytes Data, std::vector<uint64_t> Offsets = {}, uint32_t Code = 0)
{
    return {std::move(Data), std::move(Offsets), 0, Code};
}
inline Answer status(int32_t Status) { return {Bytes().u32(uint32_t(Status)), {}, vorn::TF_STATUS_CODE}; }
inline Answer handle(uint32_t Handle) { return reply(Bytes().object(vorn::BINDER_TYPE_HANDLE, Handle), {0}); }
inline Answer named(const char *Text) { return reply(Bytes().str16(Text)); } // as an interface query answers
inline Answer codes(Bytes Stream) { return {std::move(Stream), {}, 0, 0, true}; }
const Answer INTERRUPTED{{}, {}, 0, 0, true, true};
const Answer DEAD = codes(Bytes().u32(vorn::BR_DEAD_REPLY)), FAILED = codes(Bytes().u32(vorn::BR_FAILED_REPLY));

class FakeDriver : public vorn::Device {
public:
    FakeDriver() : receive(vorn::RECV_AREA_SIZE) { vorn::setDevice(this); }
    ~FakeDriver() override { vorn::setDevice(nullptr); }

    std::set<std::string> nodes{"/dev/binder", "/dev/vndbinder", "/dev/hwbinder"};
    bool failVersion = false, failMap = false;
    std::map<std::string, std::string> props;

    void answer(const std::vector<Answer> &Answers); // throws when they outgrow the receive area
    bool answer(const Answer &A);                    // false when it does not fit
    // Copies Data into the receive area, 8-aligned; its address, or nothing when it does not fit.
    std::optional<uint64_t> place(std::span<const uint8_t> Data);
    std::optional<std::vector<uint8_t>> stream(const Answer &A); // the return codes of one read
    const uint8_t *area() const { return receive.data(); }
    // Back to an empty script, a clean area and no records, clearing only what was used: a
    // fuzz target runs many times a second.
    void reset();

    std::vector<std::string> opened;
    std::vector<std::vector<uint8_t>> writes; // every non-empty write buffer
    int reads = 0;

    int open(const char *Path) override;
    int ioctl(int Fd, unsigned long Request, void *Arg) override;
    const void *map(int Fd, size_t Length) override;
    std::string property(const char *Name) override { return props.count(Name) ? props[Name] : ""; }
    int poll(int, int) override { return script.empty() ? 0 : 1; } // a script run out is a silent driver

private:
    std::deque<std::optional<std::vector<uint8_t>>> script; // nullopt: an interrupted read
    std::vector<uint8_t> receive;
    size_t used = 0;
};
