// The peers refuse a hidl string that is not exactly as the platform's hwbinder parcel writes
// it, so that vorn's requests are proven by being accepted: a table of hand-broken ones.
#include "parcel.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

namespace {

using peer::ParcelReader;

// A request holding "abc" as the driver delivers it: two buffer objects in the data, the
// offsets, then the 16-byte record and the characters, all inside one receive area.
struct Delivered {
    alignas(8) std::array<uint8_t, 256> area{};
    binder_buffer_object record{}, chars{};
    uint64_t pointer = 0;
    uint32_t size = 3;
    std::array<binder_size_t, 2> offsets{0, sizeof(binder_buffer_object)};
    std::array<char, 4> text{'a', 'b', 'c', '\0'};
    Delivered()
    {
        record = {{BINDER_TYPE_PTR}, 0, address(160), 16, 0, 0};
        chars = {{BINDER_TYPE_PTR}, BINDER_BUFFER_FLAG_HAS_PARENT, address(192), 4, 0, 0};
        pointer = address(192);
    }
    binder_uintptr_t address(size_t At) { return peer::addressOf(area.data() + At); }
    std::optional<std::string> read()
    {
        std::memcpy(area.data(), &record, sizeof record);
        std::memcpy(area.data() + sizeof record, &chars, sizeof chars);
        std::memcpy(area.data() + 96, offsets.data(), sizeof offsets);
        std::memcpy(area.data() + 160, &pointer, 8);
        std::memcpy(area.data() + 168, &size, 4);
        std::memcpy(area.data() + 192, text.data(), text.size());
        binder_transaction_data txn{};
        txn.data_size = 2 * sizeof(binder_buffer_object);
        txn.offsets_size = sizeof offsets;
        txn.data.ptr.buffer = address(0);
        txn.data.ptr.offsets = address(96);
        return ParcelReader(txn, area.data(), area.data() + area.size()).hidlString();
    }
};

TEST(HidlString, OnlyThePlatformsLayoutIsAccepted)
{
    struct {
        const char *name;
        std::function<void(Delivered &)> damage;
    } rows[] = {
        {"record not 16 bytes", [](Delivered &d) { d.record.length = 12; }},
        {"characters without the parent flag", [](Delivered &d) { d.chars.flags = 0; }},
        {"characters under another parent", [](Delivered &d) { d.chars.parent = 1; }},
        {"characters at another offset", [](Delivered &d) { d.chars.parent_offset = 8; }},
        {"record pointing elsewhere", [](Delivered &d) { d.pointer += 1; }},
        {"size that does not count the characters", [](Delivered &d) { d.size = 2; }},
        {"characters without their NUL", [](Delivered &d) { d.text[3] = 'd'; }},
        {"characters outside the receive area", [](Delivered &d) { d.chars.buffer = 0x1000; }},
        {"characters not in the offsets", [](Delivered &d) { d.offsets[1] = 8; }},
    };
    EXPECT_EQ(Delivered().read(), "abc");
    for (auto &row : rows) {
        Delivered d;
        row.damage(d);
        EXPECT_EQ(d.read(), std::nullopt) << row.name;
    }
}

} // namespace
