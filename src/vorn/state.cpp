// Binder state inspection: the driver's per-process state files, the bare-pid form, and the
// owner and users of a service.
#include "vorn.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorn {

const char *archName(int32_t Arch) { return Arch == 1 ? "64-bit" : Arch == 2 ? "32-bit" : "of unknown width"; }

namespace {

constexpr const char *DEBUGFS_STATE = "/sys/kernel/debug/binder/proc";
constexpr const char *BINDERFS_STATE = "/dev/binderfs/binder_logs/proc";

std::string statePath(const char *Dir, int Pid) { return std::string(Dir) + "/" + std::to_string(Pid); }

// Opens one process's state file, the debug file system's first. The error reported is the
// binderfs one, unless that file does not exist while the first one does.
int openState(int Pid, std::string &Path)
{
    Path = statePath(DEBUGFS_STATE, Pid);
    int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    int first = errno;
    std::string fallback = statePath(BINDERFS_STATE, Pid);
    fd = open(fallback.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT || first == ENOENT)
        Path = fallback;
    else
        errno = first;
    return fd;
}

// The process's name: the first element of its command line, which the process chose itself,
// made printable; "?" when there is none.
std::string processName(int Pid)
{
    std::string name;
    int fd = open(("/proc/" + std::to_string(Pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (auto text = readProcFile(fd))
            name = text->substr(0, std::min<size_t>(text->find('\0'), 255));
        close(fd);
    }
    return name.empty() ? "?" : printable(name);
}

// The pid of a state file's name, when the whole name is a number.
std::optional<int> pidOf(const char *Name)
{
    char *end;
    long pid = strtol(Name, &end, 10);
    return *Name && !*end && pid > 0 && pid <= INT32_MAX ? std::optional<int>(int(pid)) : std::nullopt;
}

// Prints the owner and the users of Node found in the state of every process; 1 when there
// is no state directory to read.
int findUsersOfNode(const Settings &S, uint32_t Node, int Print)
{
    DIR *dir = opendir(DEBUGFS_STATE);
    if (!dir)
        dir = opendir(BINDERFS_STATE);
    if (!dir) {
        fprintf(stderr, "Unable to open binder debug directory!\n");
        return 1;
    }
    bool noManagers = S.noManagers;
    while (dirent *entry = readdir(dir)) {
        auto pid = pidOf(entry->d_name);
        int fd = pid ? openat(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0)
            continue; // gone since the listing, or not a process
        auto text = readProcFile(fd);
        close(fd);
        if (!text || *pid == getpid())
            continue;
        bool owns = false, holds = false;
        for (const StateEntry &e : parseState(*text)) {
            owns = owns || (e.owned && e.node == Node);
            holds = holds || (!e.owned && e.node == Node);
        }
        if (!owns && !(holds && Print))
            continue;
        std::string name = processName(*pid);
        if (noManagers && name.find("servicemanager") != std::string::npos)
            continue;
        if (owns)
            printf("\tOwner:%s %6s (%s)%s\n", S.paint(RED), entry->d_name, name.c_str(), S.paint(RESET));
        else
            printf("\tUser:%s  %6s (%s)%s\n", S.paint(CYAN), entry->d_name, name.c_str(), S.paint(RESET));
    }
    closedir(dir);
    return 0;
}

// The process id and the word size that a HIDL service reports in its DebugInfo record, or
// nullopt after saying why not.
std::optional<std::pair<int32_t, int32_t>> askHidlPid(Session &S, const char *ServiceName, int Desc)
{
    Outcome o = transact(S, Desc, HIDL_GET_DEBUG_INFO, request(S, HIDL_BASE), HIDL_BASE);
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply from %s to getDebugInfo\n", ServiceName);
        return std::nullopt;
    }
    const Received &reply = report(S, o.reply);
    Reader reader(reply.data);
    auto status = reader.u32();
    if (o.kind == Outcome::STATUS || !status || *status != 0) {
        fprintf(stderr, "%s refused getDebugInfo with status %d\n", ServiceName, int32_t(status.value_or(0)));
        return std::nullopt;
    }
    auto info = hidlBuffer(reply, reader, 24, "DebugInfo");
    if (!info)
        return std::nullopt;
    return std::pair(*Reader(*info).u32(), *Reader(*info, 16).u32());
}

// The process id that the service reports for itself, or nullopt after saying why not.
std::optional<int32_t> askPid(Session &S, const char *ServiceName, int Desc)
{
    Outcome o = transact(S, Desc, DEBUG_PID_TRANSACTION, request(S, nullptr), nullptr);
    if (!o.answered()) {
        sayWhy(o);
        fprintf(stderr, "No reply from %s to the process id query\n", ServiceName);
        return std::nullopt;
    }
    auto pid = Reader(o.reply.data).u32();
    if (!pid) {
        fprintf(stderr, "The reply of %s to the process id query is too short (%zu bytes)\n", ServiceName,
                o.reply.data.size());
        return std::nullopt;
    }
    int32_t status = int32_t(*pid);
    if (status == -74)
        fprintf(stderr,
                "%s does not answer the process id query (status -74, unknown transaction): services answer it "
                "from Android 11 on\n",
                ServiceName);
    else if (status < 0 || o.kind == Outcome::STATUS)
        fprintf(stderr, "%s refused the process id query with status %d\n", ServiceName, status);
    else
        return status;
    return std::nullopt;
}

// The start that owner and users share: the service's handle, or nullopt with the command's
// result when there is no name, when it is "all" (Each then ran for every service), or when
// the service is not registered.
std::optional<int> serviceOf(Session &S, const char *Command, const char *ServiceName, serviceFunc Each, int &Result)
{
    if (!ServiceName) {
        fprintf(stderr, "%s requires a service name, or all\n", Command);
        Result = -1;
        return std::nullopt;
    }
    if (strcmp(ServiceName, "all") == 0) {
        Result = listServices(S, Each);
        return std::nullopt;
    }
    int desc = S.hidl() ? getHidlService(S, ServiceName) : getService(S, ServiceName);
    if (desc < 0) {
        fprintf(stderr, "Service %s: not found\n", ServiceName);
        Result = 1;
        return std::nullopt;
    }
    return desc;
}

} // namespace

std::optional<std::string> readProcFile(int Fd)
{
    std::string text;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(Fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return text;
        text.append(chunk, size_t(n));
    }
}

std::vector<StateEntry> parseState(std::string_view Text)
{
    std::vector<StateEntry> entries;
    while (!Text.empty()) {
        size_t end = Text.find('\n');
        std::string line(Text.substr(0, end));
        Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);
        StateEntry e{};
        int at = 0;
        unsigned node;
        // "node N: ... is S iw W ...": a node of this process and the references others hold on it.
        if (sscanf(line.c_str(), " node %u:%n", &node, &at) == 1 && at > 0) {
            const char *counts = strstr(line.c_str(), " is ");
            e = {true, -1, node, 0, 0};
            if (counts)
                sscanf(counts, " is %d iw %d", &e.strong, &e.weak);
            entries.push_back(e);
            continue;
        }
        // "ref R: desc D node N s S w W ..." (or "dead node N"): a handle of this process.
        if (sscanf(line.c_str(), " ref %*u: desc %d %n", &e.desc, &at) == 1 && at > 0) {
            const char *rest = line.c_str() + at;
            if (strncmp(rest, "dead ", 5) == 0)
                rest += 5;
            e.node = UINT32_MAX; // a reference whose number cannot be read refers to no node
            sscanf(rest, "node %u s %d w %d", &e.node, &e.strong, &e.weak);
            entries.push_back(e);
        }
    }
    return entries;
}

int readState(int Pid, std::string &Text)
{
    std::string path;
    int fd = openState(Pid, path);
    if (fd < 0) {
        int error = errno;
        perror(path.c_str());
        return -error;
    }
    auto text = readProcFile(fd);
    int error = errno;
    close(fd);
    if (!text) {
        perror(path.c_str());
        return -error;
    }
    Text = std::move(*text);
    return 0;
}

int dumpNodesAndRefsForPid(int Pid)
{
    std::string text;
    if (int status = readState(Pid, text))
        return status;
    printf("PID %d (%s)\n", Pid, processName(Pid).c_str());
    for (const StateEntry &e : parseState(text)) {
        if (e.owned)
            printf("  node %u (strong %d, weak %d)\n", e.node, e.strong, e.weak);
        else if (e.node != UINT32_MAX)
            printf("  handle %d -> node %u (strong %d, weak %d)\n", e.desc, e.node, e.strong, e.weak);
    }
    return 0;
}

int getNodeForDesc(int Pid, int Desc)
{
    std::string text; // handle 0 too: the manager's node is a node like any other
    if (int status = readState(Pid, text))
        return status;
    for (const StateEntry &e : parseState(text)) {
        if (e.owned || e.desc != Desc)
            continue;
        if (e.node == UINT32_MAX) {
            fprintf(stderr, "Unable to parse data for pid %d looking for desc %d\n", Pid, Desc);
            return -1;
        }
        return int(e.node);
    }
    fprintf(stderr, "Unable to find desc %d in pid %d\n", Desc, Pid);
    return -1;
}

namespace {

int findOwnerOfService(Session &S, const char *ServiceName)
{
    int result;
    auto desc = serviceOf(S, "owner", ServiceName, findOwnerOfService, result);
    if (!desc)
        return result;
    if (S.hidl()) {
        auto pid = askHidlPid(S, ServiceName, *desc);
        if (!pid)
            return 1;
        const char *arch = archName(pid->second);
        printf("PID %d (%s%s%s), %s\n", pid->first, S.settings.paint(BOLD), processName(pid->first).c_str(),
               S.settings.paint(RESET), arch);
        return 0;
    }
    auto pid = askPid(S, ServiceName, *desc);
    if (!pid)
        return 1;
    printf("PID %d (%s%s%s)\n", *pid, S.settings.paint(BOLD), processName(*pid).c_str(), S.settings.paint(RESET));
    return 0;
}

int findUsersOfService(Session &S, const char *ServiceName)
{
    int result;
    auto desc = serviceOf(S, "users", ServiceName, findUsersOfService, result);
    if (!desc)
        return result;
    int node = getNodeForDesc(getpid(), *desc);
    if (node < 0) {
        if (node == -EACCES && getuid() != 0) {
            fprintf(stderr, "Run me as root and I should be able to get you that which you seek\n");
            return 1;
        }
        fprintf(stderr, "Unable to figure out node for service '%s' - sorry\n", ServiceName);
        if (S.settings.noExit)
            sleep(100);
        return 1;
    }
    printf("Service '%s' is node %d\n", ServiceName, node);
    fflush(stdout);
    int status = findUsersOfNode(S.settings, uint32_t(node), 1);
    releaseHandle(S, *desc);
    return status;
}

} // namespace

const Command USERS{
    "users", "       %n [ns] users SERVICE  %g%c%r (try 'all' for SERVICE)\n",           true, 1, ANY, "",
    0,       [](Session &S, int, char **Args) { return findUsersOfService(S, Args[1]); }};
const Command OWNER{
    "owner", "       %n [ns] owner SERVICE  %g%c%r (try 'all' for SERVICE)\n",           true, 1, ANY, "",
    0,       [](Session &S, int, char **Args) { return findOwnerOfService(S, Args[1]); }};

} // namespace vorn
