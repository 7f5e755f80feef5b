// The least a program can do to reach a service by name, with nothing but the C library: open
// the binder device, map its receive area, look the name up with the service manager and, for
// ping, send the service a ping. scripts/bench times vorn against it: a process plus its round
// trips. hold makes COUNT processes that each keep a reference on the service, as users do;
// states reads every process's state file to its end, the least that finding users takes.
//
//   peer-raw check NAME | ping NAME | hold NAME COUNT | states
//
// It speaks as a client of Android 11 on, the release the bench boots, and knows no other.
// Exits 0 when the service answered (for hold: once all COUNT hold it), else 1.
#include <dirent.h>
#include <fcntl.h>
#include <linux/android/binder.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#define PING_TRANSACTION ('_' << 24 | 'P' << 16 | 'N' << 8 | 'G')
#define CHECK_SERVICE 2
#define AREA_SIZE (1024 * 1024 - 2 * 4096)

static int binder = -1;

// The request header of Android 11: strict mode, work source, the "SYST" namespace word.
static size_t header(uint8_t *out)
{
    const uint32_t words[3] = {0x80000000, 0xffffffff, 0x53595354};
    memcpy(out, words, sizeof words);
    return sizeof words;
}

static size_t string16(uint8_t *out, const char *text)
{
    uint32_t length = (uint32_t)strlen(text);
    memcpy(out, &length, 4);
    for (uint32_t i = 0; i <= length; ++i) {
        uint16_t unit = (uint8_t)text[i];
        memcpy(out + 4 + 2 * i, &unit, 2);
    }
    size_t size = 4 + 2 * ((size_t)length + 1);
    memset(out + size, 0, (4 - size % 4) % 4);
    return (size + 3) & ~(size_t)3;
}

// One two-way transaction; 1 with the reply's record once a data reply came.
static int transact(uint32_t handle, uint32_t code, const uint8_t *data, size_t size,
                    struct binder_transaction_data *reply)
{
    struct {
        uint32_t command;
        struct binder_transaction_data txn;
    } __attribute__((packed)) out = {BC_TRANSACTION, {.code = code}};
    out.txn.target.handle = handle;
    out.txn.data_size = size;
    out.txn.data.ptr.buffer = (binder_uintptr_t)(uintptr_t)data;
    uint8_t in[256];
    struct binder_write_read exchange = {.write_size = sizeof out, .write_buffer = (uintptr_t)&out};
    for (;;) {
        exchange.read_size = sizeof in;
        exchange.read_buffer = (uintptr_t)in;
        exchange.read_consumed = 0;
        if (ioctl(binder, BINDER_WRITE_READ, &exchange) < 0)
            return 0;
        for (size_t at = 0; at + 4 <= exchange.read_consumed;) {
            uint32_t command;
            memcpy(&command, in + at, 4);
            at += 4;
            if (command == BR_REPLY) {
                memcpy(reply, in + at, sizeof *reply);
                return !(reply->flags & TF_STATUS_CODE);
            }
            if (command == BR_DEAD_REPLY || command == BR_FAILED_REPLY || command == BR_ERROR)
                return 0;
            at += _IOC_SIZE(command);
        }
    }
}

// The service's handle, or 0 when the manager has none. The reply's buffer is never given back,
// and with it the reference on the handle stays.
static uint32_t lookUp(const char *name)
{
    binder = open("/dev/binder", O_RDWR | O_CLOEXEC);
    if (binder < 0 || mmap(NULL, AREA_SIZE, PROT_READ, MAP_PRIVATE, binder, 0) == MAP_FAILED)
        return 0;
    uint8_t request[1024];
    size_t size = header(request);
    size += string16(request + size, "android.os.IServiceManager");
    if (strlen(name) > 256)
        return 0;
    size += string16(request + size, name);
    struct binder_transaction_data reply;
    if (!transact(0, CHECK_SERVICE, request, size, &reply) || reply.offsets_size < sizeof(binder_size_t))
        return 0;
    binder_size_t offset;
    memcpy(&offset, (const void *)(uintptr_t)reply.data.ptr.offsets, sizeof offset);
    if (offset + sizeof(struct flat_binder_object) > reply.data_size)
        return 0;
    struct flat_binder_object object;
    memcpy(&object, (const uint8_t *)(uintptr_t)reply.data.ptr.buffer + offset, sizeof object);
    return object.hdr.type == BINDER_TYPE_HANDLE ? object.handle : 0;
}

static int ping(uint32_t handle)
{
    uint8_t request[16];
    struct binder_transaction_data reply;
    return transact(handle, PING_TRANSACTION, request, header(request), &reply);
}

// COUNT processes, each with its own connection and reference, that stay until killed; the
// caller returns once every one holds the service.
static int hold(const char *name, long count)
{
    int ready[2];
    if (count < 1 || pipe(ready) != 0)
        return 1;
    for (long i = 0; i < count; ++i) {
        pid_t pid = fork();
        if (pid < 0)
            return 1;
        if (pid == 0) {
            close(ready[0]);
            if (!lookUp(name))
                _exit(1);
            (void)!write(ready[1], "", 1);
            close(ready[1]);
            for (;;)
                pause();
        }
    }
    close(ready[1]);
    long held = 0;
    char byte;
    while (held < count && read(ready[0], &byte, 1) == 1)
        ++held;
    return held == count ? 0 : 1;
}

static int readStates(void)
{
    DIR *dir = opendir("/sys/kernel/debug/binder/proc");
    if (!dir)
        return 1;
    static char text[65536];
    for (struct dirent *entry; (entry = readdir(dir));) {
        int fd = entry->d_name[0] == '.' ? -1 : openat(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC);
        while (fd >= 0 && read(fd, text, sizeof text) > 0)
            ;
        if (fd >= 0)
            close(fd);
    }
    closedir(dir);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "check") == 0)
        return lookUp(argv[2]) ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "ping") == 0) {
        uint32_t handle = lookUp(argv[2]);
        return handle && ping(handle) ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[1], "hold") == 0)
        return hold(argv[2], strtol(argv[3], NULL, 10));
    if (argc == 2 && strcmp(argv[1], "states") == 0)
        return readStates();
    static const char usage[] = "usage: peer-raw check NAME | ping NAME | hold NAME COUNT | states\n";
    (void)!write(2, usage, sizeof usage - 1);
    return 2;
}
