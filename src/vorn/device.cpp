// The real device: the binder driver through open, ioctl and mmap, and the system properties.
#include "vorn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __BIONIC__
#include <sys/system_properties.h>
#endif

namespace vorn {
namespace {

#ifndef __BIONIC__
// Android has no /bin/sh, so getprop is run directly, never through a shell.
std::string runGetprop(const char *Name)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            dup2(devnull, 2);
        execl("/system/bin/getprop", "getprop", Name, (char *)nullptr);
        execlp("getprop", "getprop", Name, (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0 && text.size() < 4096)
        text.append(chunk, size_t(n));
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string_view trimmed(std::string_view Text)
{
    size_t start = Text.find_first_not_of(" \t\r");
    if (start == std::string_view::npos)
        return {};
    return Text.substr(start, Text.find_last_not_of(" \t\r") - start + 1);
}

// A read-only property as its partition's build.prop sets it, the file the device took it
// from at boot: reading it costs a fraction of a getprop process. Empty when the file is
// unreadable or does not set it.
std::string buildProperty(const char *Name)
{
    bool vendor = strncmp(Name, "ro.vendor.", 10) == 0;
    int fd = ::open(vendor ? "/vendor/build.prop" : "/system/build.prop", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    auto text = readProcFile(fd);
    close(fd);
    std::string value;
    for (std::string_view rest = text ? *text : std::string_view(); !rest.empty();) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        size_t equals = line.find('=');
        if (equals != std::string_view::npos && trimmed(line.substr(0, equals)) == Name)
            value = trimmed(line.substr(equals + 1));
    }
    return value;
}
#endif

struct RealDevice : Device {
    int open(const char *Path) override { return ::open(Path, O_RDWR | O_CLOEXEC); }
    int ioctl(int Fd, unsigned long Request, void *Arg) override { return ::ioctl(Fd, Request, Arg); }
    const void *map(int Fd, size_t Length) override
    {
        void *area = mmap(nullptr, Length, PROT_READ, MAP_PRIVATE | MAP_NORESERVE, Fd, 0);
        return area == MAP_FAILED ? nullptr : area;
    }
    int poll(int Fd, int Milliseconds) override
    {
        pollfd wait{Fd, POLLIN, 0};
        return ::poll(&wait, 1, Milliseconds) > 0 ? 1 : 0; // an interrupted wait is taken up by the caller
    }
    std::string property(const char *Name) override
    {
#ifdef __BIONIC__
        char value[PROP_VALUE_MAX] = "";
        __system_property_get(Name, value);
        return value;
#else
        std::string value = strncmp(Name, "ro.", 3) == 0 ? buildProperty(Name) : std::string();
        return value.empty() ? runGetprop(Name) : value;
#endif
    }
};

RealDevice realDevice;
Device *current = &realDevice;

} // namespace

Device &device() { return *current; }
void setDevice(Device *D) { current = D ? D : &realDevice; }

} // namespace vorn
