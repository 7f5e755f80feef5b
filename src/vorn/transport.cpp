// The driver loop: the write-read exchange, the walk of everything the driver returns, the
// copy of the reply, and the debug hex dump.
#include "vorn.h"

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace vorn {
namespace {

uint64_t address(const void *P) { return uint64_t(uintptr_t(P)); }

// A return code carries the size of its payload in its ioctl-style size bits.
size_t payloadSize(uint32_t Code) { return (Code >> 16) & 0x3fff; }

// One write-read exchange; an interrupted one is retried with what the driver already took
// (write_consumed) not sent again. The bytes read, or nullopt after saying why there are none.
std::optional<size_t> exchange(const Session &S, std::span<const uint8_t> Write, std::span<uint8_t> Read)
{
    binder_write_read bwr{};
    bwr.write_size = Write.size();
    bwr.write_buffer = address(Write.data());
    bwr.read_size = Read.size();
    bwr.read_buffer = Read.empty() ? 0 : address(Read.data());
    int rc;
    while ((rc = device().ioctl(S.fd, BINDER_WRITE_READ, &bwr)) < 0 && errno == EINTR)
        ;
    int error = errno;
    if (S.settings.debug)
        fprintf(stderr, "RC: %d - write_consumed : %lld  read consumed : %lld\n", rc, (long long)bwr.write_consumed,
                (long long)bwr.read_consumed);
    if (rc < 0) {
        fprintf(stderr, "binder: %s\n", strerror(error));
        return std::nullopt;
    }
    return size_t(std::min<uint64_t>(bwr.read_consumed, Read.size()));
}

// Commands that go back to the driver as the return stream is walked.
struct Answers {
    std::vector<uint8_t> bytes;
    template <class T> void add(uint32_t Command, const T &Payload)
    {
        size_t at = bytes.size();
        bytes.resize(at + 4 + sizeof Payload);
        std::memcpy(bytes.data() + at, &Command, 4);
        std::memcpy(bytes.data() + at + 4, &Payload, sizeof Payload);
    }
};

// The reply's data, offsets and scatter-gather buffers, copied while they lie in the receive
// area; nullopt after saying which part lies outside it.
std::optional<Received> copyReply(const Session &S, const binder_transaction_data &T)
{
    uint64_t base = address(S.area.data());
    auto data = bytesAt(S.area, base, T.buffer, T.data_size);
    if (!data) {
        fprintf(stderr, "Reply data at 0x%llx (%llu bytes) lies outside the receive area\n",
                (unsigned long long)T.buffer, (unsigned long long)T.data_size);
        return std::nullopt;
    }
    auto offsets = T.offsets_size ? bytesAt(S.area, base, T.offsets, T.offsets_size) : std::span<const uint8_t>();
    if (!offsets) {
        fprintf(stderr, "Reply offsets at 0x%llx (%llu bytes) lie outside the receive area\n",
                (unsigned long long)T.offsets, (unsigned long long)T.offsets_size);
        return std::nullopt;
    }
    Received r;
    r.data.assign(data->begin(), data->end());
    r.address = T.buffer;
    r.offsetsAddress = T.offsets;
    r.code = T.code;
    r.flags = T.flags;
    r.pid = T.sender_pid;
    r.euid = T.sender_euid;
    Reader entries(*offsets);
    while (auto offset = entries.u64()) {
        r.offsets.push_back(*offset);
        auto object = Reader(r.data, size_t(std::min<uint64_t>(*offset, r.data.size()))).record<binder_buffer_object>();
        auto bytes = object && object->type == BINDER_TYPE_PTR ? bytesAt(S.area, base, object->buffer, object->length)
                                                               : std::nullopt;
        if (bytes)
            r.buffers.push_back({object->buffer, {bytes->begin(), bytes->end()}});
    }
    return r;
}

// Freeing a buffer drops the references the driver took for the handles in it: each handle
// of the reply is taken anew first, so that the command can still use it.
void keepHandles(Answers &A, const Received &Reply)
{
    for (uint64_t offset : Reply.offsets) {
        auto object =
            Reader(Reply.data, size_t(std::min<uint64_t>(offset, Reply.data.size()))).record<flat_binder_object>();
        if (object && (object->type == BINDER_TYPE_HANDLE || object->type == BINDER_TYPE_WEAK_HANDLE))
            A.add(object->type == BINDER_TYPE_HANDLE ? BC_ACQUIRE : BC_INCREFS, uint32_t(object->handle));
    }
}

// The refusal a driver code names, or nullopt for a code that is no refusal.
std::optional<Outcome::Kind> refusal(uint32_t Code)
{
    switch (Code) {
    case BR_FAILED_REPLY: return Outcome::FAILED;
    case BR_DEAD_REPLY: return Outcome::DEAD;
    case BR_FROZEN_REPLY: return Outcome::FROZEN;
    default: return std::nullopt;
    }
}

Outcome failed(const Session &S, Outcome::Kind Kind, uint32_t Code, uint32_t Method, const char *Interface)
{
    Outcome o{Kind, {}, 0, {}};
    if (Kind == Outcome::FAILED) {
        char words[1024];
        snprintf(words, sizeof words, "%s%s%s%sMethod %d call returned BR_FAILED_REPLY%s", S.settings.paint(RED),
                 S.settings.color ? WARNING_SIGN : "", S.settings.color ? "  - " : "",
                 printable(Interface ? Interface : "").c_str(), int(Method), S.settings.paint(RESET));
        o.why = words;
    } else if (Kind != Outcome::BROKEN) { // the code's number first, as scripts may match it
        fprintf(stderr, "Encountered unexpected code: %s\n%s\n", codeToText(Code).c_str(),
                Kind == Outcome::DEAD ? "The service's process died before it replied (BR_DEAD_REPLY)"
                                      : "The service's process is frozen and cannot reply (BR_FROZEN_REPLY)");
    }
    return o;
}

// What a walk waits for: the reply to our transaction, or with Node a one-way call to that
// node of ours, until the deadline when there is one.
struct Awaited {
    uint64_t node = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

std::chrono::steady_clock::time_point after(double Seconds)
{
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(Seconds));
}

// Whether the driver has work for us before the deadline (at once when there is none).
bool workArrives(const Session &S, const Awaited &A)
{
    while (A.deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*A.deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (device().poll(S.fd, int(std::min<int64_t>(left.count(), INT32_MAX))))
            return true;
    }
    return true;
}

// Walks the return stream code by code, reading again until the reply (or the awaited call)
// or a refusal arrives. With a deadline, nothing read yet means a read is still to come.
Outcome awaitReply(Session &S, uint32_t Method, const char *Interface, std::span<uint8_t> Buf, size_t ReadLen,
                   const Awaited &Wanted = {})
{
    for (bool fresh = ReadLen > 0 || !Wanted.deadline;; fresh = false) {
        if (!fresh) {
            if (!workArrives(S, Wanted))
                return Outcome{Outcome::TIMEOUT, {}, 0, {}};
            auto read = exchange(S, {}, Buf);
            if (!read)
                return failed(S, Outcome::BROKEN, 0, Method, Interface);
            ReadLen = *read;
        }
        Answers answers;
        size_t pos = 0;
        bool sawCode = false;
        std::optional<Outcome> result;
        while (!result && ReadLen - pos >= 4) {
            uint32_t code;
            std::memcpy(&code, Buf.data() + pos, 4);
            if (S.settings.debug)
                fprintf(stderr, "CODE.. @0x%lx: 0x%x (%s)\n", (unsigned long)pos, code, codeToText(code).c_str());
            sawCode = true;
            size_t at = pos;
            pos += 4;
            if (auto kind = refusal(code)) {
                result = failed(S, *kind, code, Method, Interface);
                break;
            }
            if (payloadSize(code) > ReadLen - pos) {
                fprintf(stderr, "Encountered truncated code: %s\n", codeToText(code).c_str());
                result = failed(S, Outcome::BROKEN, code, Method, Interface);
                break;
            }
            auto payload = Reader(Buf.subspan(pos, payloadSize(code)));
            pos += payloadSize(code);
            switch (code) {
            case BR_NOOP:
            case BR_TRANSACTION_COMPLETE:
            case BR_SPAWN_LOOPER:
            case BR_OK:
            case BR_FINISHED:
            case BR_RELEASE:
            case BR_DECREFS: continue;
            case BR_INCREFS: answers.add(BC_INCREFS_DONE, *payload.record<binder_ptr_cookie>()); continue;
            case BR_ACQUIRE: answers.add(BC_ACQUIRE_DONE, *payload.record<binder_ptr_cookie>()); continue;
            case BR_TRANSACTION: { // only the awaited call is taken: others refused, their buffers handed back
                auto incoming = *Reader(payload).record<binder_transaction_data>();
                if (Wanted.node && incoming.target == Wanted.node && (incoming.flags & TF_ONE_WAY))
                    break;
                answers.add(BC_FREE_BUFFER, incoming.buffer);
                if (!(incoming.flags & TF_ONE_WAY)) {
                    static const int32_t unknownTransaction = -74;
                    binder_transaction_data refused{};
                    refused.flags = TF_STATUS_CODE;
                    refused.data_size = sizeof unknownTransaction;
                    refused.buffer = address(&unknownTransaction);
                    answers.add(BC_REPLY, refused);
                }
                continue;
            }
            case BR_REPLY:
                if (!Wanted.node)
                    break;
                [[fallthrough]];
            default:
                fprintf(stderr, "Encountered unexpected code: %s\n", codeToText(code).c_str());
                result = failed(S, Outcome::BROKEN, code, Method, Interface);
                continue;
            }
            auto txn = *payload.record<binder_transaction_data>();
            if (S.settings.debug) {
                if (S.settings.color)
                    printf("%s\n", CYAN);
                fflush(stdout);
                hexDump(Buf.data() + at, ReadLen - at, 0);
                if (S.settings.color)
                    printf("%s\n", RESET);
            }
            auto copied = copyReply(S, txn);
            if (copied)
                keepHandles(answers, *copied);
            answers.add(BC_FREE_BUFFER, txn.buffer);
            if (!copied) {
                result = failed(S, Outcome::BROKEN, code, Method, Interface);
                break;
            }
            copied->stream.assign(Buf.begin() + long(at), Buf.begin() + long(std::min(ReadLen, at + 96)));
            std::optional<int32_t> status;
            if (txn.flags & TF_STATUS_CODE)
                status = int32_t(Reader(copied->data).u32().value_or(0));
            result = Outcome{status ? Outcome::STATUS : Outcome::REPLY, std::move(*copied), status.value_or(0), {}};
        }
        if (!sawCode) {
            fprintf(stderr, "Encountered unexpected code: none\n");
            result = failed(S, Outcome::BROKEN, 0, Method, Interface);
        }
        // Acknowledgements and freed buffers go back before anything else happens.
        if (!answers.bytes.empty())
            exchange(S, answers.bytes, {});
        if (result)
            return std::move(*result);
    }
}

std::string methodToText(uint32_t Method)
{
    switch (Method) {
    case INTERFACE_TRANSACTION: return "INTERFACE_TRANSACTION";
    case SHELL_COMMAND_TRANSACTION: return "SHELL_COMMAND_TRANSACTION";
    case PING_TRANSACTION: return "PING_TRANSACTION";
    }
    return std::to_string(int(Method));
}

} // namespace

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

std::string codeToText(uint32_t Code)
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
    char text[32];
    snprintf(text, sizeof text, "Code: 0x%x", Code);
    return text;
}

void releaseHandle(Session &S, int Handle)
{
    if (Handle == 0)
        return;
    Answers release;
    release.add(BC_RELEASE, uint32_t(Handle));
    exchange(S, release.bytes, {});
}

Outcome transact(Session &S, int Handle, uint32_t Code, const Writer &Parcel, const char *Interface)
{
    if (S.settings.debug)
        fprintf(stderr, "Sending method %s:%s to descriptor %d\n", Interface ? Interface : "(null)",
                methodToText(Code).c_str(), Handle);
    binder_transaction_data txn{};
    txn.target = uint64_t(int64_t(Handle));
    txn.code = Code;
    txn.flags = TF_ACCEPT_FDS;
    txn.data_size = Parcel.data().size();
    txn.offsets_size = Parcel.offsets().size_bytes();
    txn.buffer = address(Parcel.data().data());
    txn.offsets = Parcel.offsets().empty() ? 0 : address(Parcel.offsets().data());

    // Scatter-gather for hwbinder, whose form ends with the size of the buffers it carries.
    bool sg = S.hidl();
    uint8_t write[4 + sizeof txn + 8];
    uint32_t command = sg ? BC_TRANSACTION_SG : BC_TRANSACTION;
    uint64_t buffersSize = Parcel.buffersSize();
    std::memcpy(write, &command, 4);
    std::memcpy(write + 4, &txn, sizeof txn);
    std::memcpy(write + 4 + sizeof txn, &buffersSize, 8);
    size_t writeLen = sg ? sizeof write : 4 + sizeof txn;

    if (S.settings.debug) {
        if (S.settings.color)
            printf("%s\n", RED);
        fflush(stdout);
        hexDump(write, writeLen, 0);
        hexDump(Parcel.data().data(), Parcel.data().size(), txn.buffer);
        if (S.settings.color)
            printf("%s\n", RESET);
    }
    // Under a time limit the transaction goes out alone, and the reply is awaited by polling.
    Awaited wanted;
    if (S.settings.timeout > 0)
        wanted.deadline = after(S.settings.timeout);
    uint8_t buf[2048];
    auto read = exchange(S, std::span(write, writeLen), wanted.deadline ? std::span<uint8_t>() : std::span(buf));
    if (!read)
        return failed(S, Outcome::BROKEN, 0, Code, Interface);
    return awaitReply(S, Code, Interface, buf, *read, wanted);
}

Outcome awaitCall(Session &S, uint64_t Node, double Seconds)
{
    uint32_t enter = BC_ENTER_LOOPER; // only a looper is handed work for the process
    exchange(S, std::span(reinterpret_cast<const uint8_t *>(&enter), sizeof enter), {});
    uint8_t buf[2048];
    return awaitReply(S, 0, nullptr, buf, 0, {Node, after(Seconds)});
}

void sayWhy(const Outcome &O)
{
    if (!O.why.empty())
        fprintf(stderr, "%s\n", O.why.c_str());
}

const Received &report(const Session &S, const Received &Reply)
{
    if (S.settings.debug) {
        fprintf(stderr, "%sReply - :\n", S.settings.paint(CYAN));
        hexDump(Reply.stream.data(), Reply.stream.size(), 0);
        fprintf(stderr, " from PID %d (UID: %d): Code %d\n", Reply.pid, int(Reply.euid), int(Reply.code));
    }
    if (Reply.data.empty())
        fprintf(stderr, "No data\n");
    if (S.settings.debug) {
        fprintf(stderr, "Buffer: 0x%llx (%zx bytes)\n", (unsigned long long)Reply.address, Reply.data.size());
        fprintf(stderr, "Offsets: 0x%llx (%zx bytes)", (unsigned long long)Reply.offsetsAddress,
                Reply.offsets.size() * 8);
        for (uint64_t offset : Reply.offsets)
            fprintf(stderr, " 0x%llx ", (unsigned long long)offset);
        fprintf(stderr, "\n");
        if (!Reply.data.empty()) {
            fprintf(stderr, "Contents of buffer @0x%llx (%zu bytes):\n", (unsigned long long)Reply.address,
                    Reply.data.size());
            hexDump(Reply.data.data(), Reply.data.size(), 0);
            fputs(S.settings.paint(RESET), stderr);
        }
    }
    return Reply;
}

} // namespace vorn
