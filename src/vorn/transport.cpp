// Binder transport: the write-read exchange, the transaction builder, the walk of the return
// stream, reply extraction, and the debug hex dump.
#include "vorn.h"

#include <cstdio>

namespace vorn {
namespace {

uint8_t replyBuf[2048]; // shared by every transaction; the next one overwrites it
// The last reply as the driver wrote it, from its BR_REPLY word to the end of the read data.
std::span<const uint8_t> lastReply;

uint64_t address(const void *P) { return uint64_t(uintptr_t(P)); }

// A return code carries the size of its payload in its ioctl-style size bits.
size_t payloadSize(uint32_t Code) { return (Code >> 16) & 0x3fff; }

bool isBenign(uint32_t Code)
{
    switch (Code) {
    case BR_NOOP:
    case BR_TRANSACTION_COMPLETE:
    case BR_SPAWN_LOOPER:
    case BR_OK:
    case BR_FINISHED:
    case BR_INCREFS:
    case BR_ACQUIRE:
    case BR_RELEASE:
    case BR_DECREFS: return true;
    default: return false;
    }
}

Parcel buildRequest(uint32_t Method, const char *Interface, std::span<const uint8_t> Args)
{
    Parcel parcel;
    if (Method == DUMP_TRANSACTION && !Args.empty()) // the descriptor object alone, at offset 0
        return Parcel(Args.begin(), Args.end());
    if (getNs() == NS_HWBINDER) {
        if (Interface) {
            parcel.insert(parcel.end(), Interface, Interface + strlen(Interface) + 1);
            parcel.resize((parcel.size() + 3) & ~size_t(3), 0);
        }
    } else {
        const Release &release = currentRelease();
        putU32(parcel, release.strictPolicy);
        if (release.workSourceWord)
            putU32(parcel, 0xffffffff);
        if (release.namespaceWord)
            putU32(parcel, uint32_t(getNs()));
        if (Interface)
            serializeUTF8(Interface, parcel);
    }
    parcel.insert(parcel.end(), Args.begin(), Args.end());
    return parcel;
}

// Walks the return stream code by code, reading again while only bookkeeping codes arrived.
std::optional<binder_transaction_data> awaitReply(uint32_t Method, const char *Interface, size_t ReadLen)
{
    for (;;) {
        size_t pos = 0;
        bool sawCode = false;
        while (ReadLen - pos >= 4) {
            uint32_t code;
            std::memcpy(&code, replyBuf + pos, 4);
            if (g_Debug)
                fprintf(stderr, "CODE.. @0x%lx: 0x%x (%s)\n", (unsigned long)pos, code, codeToText(code));
            sawCode = true;
            size_t at = pos;
            pos += 4;
            if (code == BR_FAILED_REPLY) {
                snprintf(safeWords, sizeof safeWords, "%s%s%s%sMethod %d call returned BR_FAILED_REPLY%s", color(RED),
                         g_Color ? WARNING_SIGN : "", g_Color ? "  - " : "",
                         printable(Interface ? Interface : "").c_str(), int(Method), color(RESET));
                return std::nullopt;
            }
            if (code != BR_REPLY && !isBenign(code)) {
                fprintf(stderr, "Encountered unexpected code: %s\n", codeToText(code));
                return std::nullopt;
            }
            if (payloadSize(code) > ReadLen - pos) {
                fprintf(stderr, "Encountered truncated code: %s\n", codeToText(code));
                return std::nullopt;
            }
            if (code == BR_REPLY) {
                binder_transaction_data reply;
                std::memcpy(&reply, replyBuf + pos, sizeof reply);
                lastReply = std::span(replyBuf + at, ReadLen - at);
                if (g_Debug) {
                    if (g_Color)
                        printf("%s\n", CYAN);
                    fflush(stdout);
                    hexDump(replyBuf + at, ReadLen - at, 0);
                    if (g_Color)
                        printf("%s\n", RESET);
                }
                return reply;
            }
            pos += payloadSize(code);
        }
        if (!sawCode) {
            fprintf(stderr, "Encountered unexpected code: none\n");
            return std::nullopt;
        }
        ReadLen = sizeof replyBuf;
        bwr(nullptr, 0, replyBuf, &ReadLen);
    }
}

} // namespace

std::optional<std::span<const uint8_t>> bytesAt(std::span<const uint8_t> Area, uint64_t Addr, uint64_t Size)
{
    uint64_t base = address(Area.data());
    if (Area.empty() || Addr < base || Size > Area.size() || Addr - base > Area.size() - Size)
        return std::nullopt;
    return Area.subspan(size_t(Addr - base), size_t(Size));
}

std::span<const uint8_t> receiveArea() { return {g_RecvArea, g_RecvArea ? RECV_AREA_SIZE : 0}; }

const char *color(const char *Escape) { return g_Color ? Escape : ""; }

bool isprint(int C) { return C >= 0x20 && C <= 0x7e; }

// Each line is built whole and written at once: a reply can hold thousands of bytes.
void hexDump(const void *Buf, size_t Size, uint64_t Addr)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(Buf);
    if (Size == 0)
        fputs("  \n", stderr);
    for (size_t line = 0; line < Size; line += 16) {
        size_t n = std::min<size_t>(16, Size - line);
        char text[96];
        int at = snprintf(text, sizeof text, "0x%04lX: ", (unsigned long)uint32_t(Addr + line));
        for (size_t i = 0; i < 16; ++i)
            at += i < n ? snprintf(text + at, sizeof text - at, "%02X ", bytes[line + i])
                        : snprintf(text + at, sizeof text - at, "   ");
        text[at++] = ' ';
        text[at++] = ' ';
        for (size_t i = 0; i < n; ++i)
            text[at++] = isprint(bytes[line + i]) ? char(bytes[line + i]) : '.';
        text[at++] = '\n';
        fwrite(text, 1, size_t(at), stderr);
    }
}

int bwr(const void *Write, size_t WriteLen, void *Read, size_t *ReadLen)
{
    binder_write_read exchange{};
    exchange.write_size = WriteLen;
    exchange.write_buffer = address(Write);
    exchange.read_size = ReadLen ? *ReadLen : 0;
    exchange.read_buffer = ReadLen ? address(Read) : 0;
    int rc = device().ioctl(g_BinderFd, BINDER_WRITE_READ, &exchange);
    if (g_Debug)
        fprintf(stderr, "RC: %d - write_consumed : %lld  read consumed : %lld\n", rc,
                (long long)exchange.write_consumed, (long long)exchange.read_consumed);
    if (ReadLen)
        *ReadLen = size_t(std::min<uint64_t>(exchange.read_consumed, *ReadLen));
    return rc;
}

const char *codeToText(uint32_t Code)
{
    switch (Code) {
    case BR_ERROR: return "BR_ERROR";
    case BR_OK: return "BR_OK";
    case BR_TRANSACTION: return "BR_TRANSACTION";
    case BR_REPLY: return "BR_REPLY";
    case BR_TRANSACTION_COMPLETE: return "BR_TRANSACTION_COMPLETE";
    case BR_INCREFS: return "BR_INCREFS";
    case BR_ACQUIRE: return "BR_ACQUIRE";
    case BR_RELEASE: return "BR_RELEASE";
    case BR_DECREFS: return "BR_DECREFS";
    case BR_NOOP: return "BR_NOOP";
    case BR_SPAWN_LOOPER: return "BR_SPAWN_LOOPER";
    case BR_FINISHED: return "BR_FINISHED";
    case BR_DEAD_BINDER: return "BR_DEAD_BINDER";
    case BR_FAILED_REPLY: return "BR_FAILED_REPLY";
    }
    static char returned[128];
    snprintf(returned, sizeof returned, "Code: 0x%x", Code);
    return returned;
}

const char *methodToText(uint32_t Method)
{
    switch (Method) {
    case INTERFACE_TRANSACTION: return "INTERFACE_TRANSACTION";
    case SHELL_COMMAND_TRANSACTION: return "SHELL_COMMAND_TRANSACTION";
    case PING_TRANSACTION: return "PING_TRANSACTION";
    }
    static char returned[256];
    snprintf(returned, sizeof returned, "%d", int(Method));
    return returned;
}

// Drops the strong reference only: the tool never takes a weak one.
int releaseDesc(int Desc)
{
    if (Desc == 0)
        return 0;
    uint32_t command[2] = {BC_RELEASE, uint32_t(Desc)};
    bwr(command, sizeof command, nullptr, nullptr);
    return 0;
}

std::optional<binder_transaction_data> sendMethodToServiceTarget(int Desc, uint32_t Method, const char *Interface,
                                                                 std::span<const uint8_t> Args)
{
    if (g_Debug)
        fprintf(stderr, "%sSending method %s:%s to descriptor %d\n", "", Interface ? Interface : "(null)",
                methodToText(Method), Desc);
    bool dump = Method == DUMP_TRANSACTION && !Args.empty();
    Parcel parcel = buildRequest(Method, Interface, Args);
    static const uint64_t dumpOffsets[1] = {0}; // the descriptor object sits at offset 0

    binder_transaction_data txn{};
    txn.target = uint64_t(int64_t(Desc));
    txn.code = Method;
    txn.flags = TF_ACCEPT_FDS;
    txn.data_size = parcel.size();
    txn.offsets_size = dump ? sizeof dumpOffsets : 0;
    txn.buffer = address(parcel.data());
    txn.offsets = dump ? address(dumpOffsets) : 0;

    bool sg = getNs() == NS_HWBINDER;
    uint8_t write[4 + sizeof txn + 8] = {}; // the SG form ends with a zero buffers_size
    uint32_t command = sg ? BC_TRANSACTION_SG : BC_TRANSACTION;
    std::memcpy(write, &command, 4);
    std::memcpy(write + 4, &txn, sizeof txn);
    size_t writeLen = sg ? sizeof write : 4 + sizeof txn;

    if (g_Debug) {
        if (g_Color)
            printf("%s\n", RED);
        fflush(stdout);
        hexDump(write, writeLen, 0);
        hexDump(parcel.data(), parcel.size(), address(parcel.data()));
        if (g_Color)
            printf("%s\n", RESET);
    }
    size_t readLen = sizeof replyBuf;
    bwr(write, writeLen, replyBuf, &readLen);
    return awaitReply(Method, Interface, readLen);
}

std::optional<ReceivedParcel> getReplyParcelBuf(const binder_transaction_data &Reply, bool Report)
{
    if (Report && g_Debug) {
        fprintf(stderr, "%sReply - :\n", color(CYAN));
        hexDump(lastReply.data(), std::min<size_t>(96, lastReply.size()), 0);
        fprintf(stderr, " from PID %d (UID: %d): Code %d\n", Reply.sender_pid, int(Reply.sender_euid), int(Reply.code));
    }
    if (Report && Reply.data_size == 0)
        fprintf(stderr, "No data\n");
    auto data = bytesAt(receiveArea(), Reply.buffer, Reply.data_size);
    if (!data) {
        fprintf(stderr, "Reply data at 0x%llx (%llu bytes) lies outside the receive area\n",
                (unsigned long long)Reply.buffer, (unsigned long long)Reply.data_size);
        return std::nullopt;
    }
    auto offsets =
        Reply.offsets_size ? bytesAt(receiveArea(), Reply.offsets, Reply.offsets_size) : std::span<const uint8_t>();
    if (!offsets) {
        fprintf(stderr, "Reply offsets at 0x%llx (%llu bytes) lie outside the receive area\n",
                (unsigned long long)Reply.offsets, (unsigned long long)Reply.offsets_size);
        return std::nullopt;
    }
    if (Report && g_Debug) {
        fprintf(stderr, "Buffer: 0x%llx (%llx bytes)\n", (unsigned long long)Reply.buffer,
                (unsigned long long)Reply.data_size);
        fprintf(stderr, "Offsets: 0x%llx (%llx bytes)", (unsigned long long)Reply.offsets,
                (unsigned long long)Reply.offsets_size);
        Reader entries(*offsets);
        while (auto offset = entries.u64())
            fprintf(stderr, " 0x%llx ", (unsigned long long)*offset);
        fprintf(stderr, "\n");
        if (!data->empty()) {
            fprintf(stderr, "Contents of buffer @0x%llx (%lld bytes):\n", (unsigned long long)Reply.buffer,
                    (long long)Reply.data_size);
            hexDump(data->data(), data->size(), 0);
            fputs(color(RESET), stderr);
        }
    }
    return ReceivedParcel{*data, *offsets};
}

std::optional<int32_t> statusOnly(const binder_transaction_data &Reply)
{
    if (!(Reply.flags & TF_STATUS_CODE))
        return std::nullopt;
    auto parcel = getReplyParcelBuf(Reply, false);
    auto status = parcel ? Reader(parcel->data).u32() : std::nullopt;
    return int32_t(status.value_or(0));
}

} // namespace vorn
