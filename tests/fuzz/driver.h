// The binder driver as the fuzz targets fake it: each read answers with the next return stream
// of a script, and replies lie in a receive area. It follows the tests' fake driver, but keeps
// one area for the whole run and clears only what a run used: a fresh mebibyte per run costs
// more than the run itself.
#pragma once

#include "vorn.h"

#include <cerrno>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

class Driver : public vorn::Device {
public:
    Driver() : receive(vorn::RECV_AREA_SIZE) {}

    std::string sdk; // the SDK property; empty as when it is missing

    // Back to an empty script and a clean area, for the next run.
    void reset()
    {
        std::fill(receive.begin(), receive.begin() + long(used), 0);
        used = 0;
        script.clear();
        sdk.clear();
    }
    uint64_t area() const { return address(receive.data()); }
    // Copies Data into the receive area, 8-aligned; its address. False when it does not fit.
    std::optional<uint64_t> place(std::span<const uint8_t> Data)
    {
        size_t at = (used + 7) & ~size_t(7);
        if (Data.size() > receive.size() - std::min(at, receive.size()))
            return std::nullopt;
        std::copy(Data.begin(), Data.end(), receive.begin() + long(at));
        used = at + Data.size();
        return address(receive.data() + at);
    }
    void codes(std::vector<uint8_t> Stream) { script.push_back(std::move(Stream)); }
    // A reply as the driver delivers it: bookkeeping codes, then BR_REPLY with its record.
    bool reply(std::span<const uint8_t> Data, const std::vector<uint64_t> &Offsets, uint32_t Code, uint32_t Flags)
    {
        std::vector<uint8_t> offsets(8 * Offsets.size());
        if (!offsets.empty())
            std::memcpy(offsets.data(), Offsets.data(), offsets.size());
        auto data = place(Data), offs = offsets.empty() ? std::optional<uint64_t>(0) : place(offsets);
        if (!data || !offs)
            return false;
        vorn::binder_transaction_data record{0, 0, Code, Flags, 4321, 1000, Data.size(), offsets.size(), *data, *offs};
        std::vector<uint8_t> stream;
        for (uint32_t code : {vorn::BR_NOOP, vorn::BR_TRANSACTION_COMPLETE, vorn::BR_REPLY})
            stream.insert(stream.end(), reinterpret_cast<uint8_t *>(&code), reinterpret_cast<uint8_t *>(&code) + 4);
        stream.insert(stream.end(), reinterpret_cast<uint8_t *>(&record), reinterpret_cast<uint8_t *>(&record + 1));
        script.push_back(std::move(stream));
        return true;
    }

    int open(const char *Path) override
    {
        std::string_view path(Path);
        errno = ENOENT;
        return path == "/dev/binder" || path == "/dev/vndbinder" || path == "/dev/hwbinder" ? 3 : -1;
    }
    int ioctl(int, unsigned long Request, void *Arg) override
    {
        if (Request == vorn::BINDER_VERSION) {
            int32_t version = 8;
            std::memcpy(Arg, &version, 4);
            return 0;
        }
        if (Request == vorn::BINDER_SET_MAX_THREADS)
            return 0;
        if (Request != vorn::BINDER_WRITE_READ) {
            errno = EINVAL;
            return -1;
        }
        vorn::binder_write_read exchange;
        std::memcpy(&exchange, Arg, sizeof exchange);
        exchange.write_consumed = exchange.write_size;
        exchange.read_consumed = 0;
        int rc = 0;
        if (exchange.read_size && script.empty()) { // a real driver would block
            errno = EAGAIN;
            rc = -1;
        } else if (exchange.read_size) {
            std::vector<uint8_t> stream = std::move(script.front());
            script.pop_front();
            exchange.read_consumed = std::min<uint64_t>(stream.size(), exchange.read_size);
            if (exchange.read_consumed)
                std::memcpy(reinterpret_cast<void *>(uintptr_t(exchange.read_buffer)), stream.data(),
                            size_t(exchange.read_consumed));
        }
        std::memcpy(Arg, &exchange, sizeof exchange);
        return rc;
    }
    const void *map(int, size_t Length) override
    {
        errno = ENOMEM;
        return Length == vorn::RECV_AREA_SIZE ? receive.data() : nullptr;
    }
    std::string property(const char *Name) override
    {
        return std::string_view(Name) == "ro.build.version.sdk" ? sdk : "";
    }

private:
    static uint64_t address(const void *P) { return uint64_t(uintptr_t(P)); }
    std::vector<uint8_t> receive;
    size_t used = 0;
    std::deque<std::vector<uint8_t>> script;
};

} // namespace fuzz
