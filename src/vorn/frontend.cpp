// Front end: environment, release class, namespace word, device set-up, dispatch, usage.
#include "vorn.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorn {

int g_Color;
int g_Debug;
int androidVer;
int g_BinderFd = -1;
const uint8_t *g_RecvArea;
char safeWords[1024];
bool g_HeaderProven;

namespace {

int ns = NS_BINDER;

struct Namespace {
    const char *word;
    int value;
    const char *device;
};
constexpr std::array<Namespace, 3> NAMESPACES{{
    {"binder", NS_BINDER, "/dev/binder"},
    {"vndbinder", NS_VNDBINDER, "/dev/vndbinder"},
    {"hwbinder", NS_HWBINDER, "/dev/hwbinder"},
}};

int listCommand(int, char **) { return getNs() == NS_HWBINDER ? listServicesHW(nullptr) : listServices(nullptr); }

// The command words, tested in this order, with the number of words each takes (the
// command word included) and what a wrong number gets.
struct Command {
    const char *word;
    int minWords, maxWords;
    const char *misuse;
    int misuseStatus;
    int (*run)(int Words, char **Args);
};
constexpr int ANY = 1 << 30;
const Command COMMANDS[] = {
    {"users", 1, ANY, "", 0, [](int, char **Args) { return findUsersOfService(Args[1]); }},
    {"owner", 1, ANY, "", 0, [](int, char **Args) { return findOwnerOfService(Args[1]); }},
    {"dump", 2, ANY, "dump requires a service name\n", 2, dumpService},
    {"check", 2, ANY, "check requires a service name\n", 2, checkService},
    {"list", 1, 1, "list expects no arguments aside frorm the optional namespace\n", 3, listCommand},
    {"methods", 2, ANY, "methods requires an argument of the service in question\n", 1,
     [](int, char **Args) { return dumpMethods(Args[1]); }},
    {"call", 3, ANY, "call requires more arguments: service name, method, and optional paramters to the method\n", 2,
     callService},
};

std::optional<int> sdkLevel(const std::string &Sdk)
{
    if (Sdk.empty() || Sdk.size() > 4 || Sdk.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::atoi(Sdk.c_str());
}

// Opens the namespace's device, announces our threads and maps the receive area; a status
// other than 0 ends the run.
int openDevice(const char *Path, const std::string &Sdk)
{
    g_BinderFd = device().open(Path);
    if (g_BinderFd < 0) {
        fprintf(stderr, "%s: %s\n", Path, strerror(errno));
        return 1;
    }
    int32_t version = 7;
    if (device().ioctl(g_BinderFd, BINDER_VERSION, &version) < 0) {
        fprintf(stderr, "Unable to get %s protocol verison (ioctl(..., BINDER_VERSION, ...) failed)\n", Path);
        return 1;
    }
    if (g_Debug)
        printf("Detected %s protocol version %d on API Version %s\n", Path, version, Sdk.c_str());
    uint32_t maxThreads = 15;
    device().ioctl(g_BinderFd, BINDER_SET_MAX_THREADS, &maxThreads);
    g_RecvArea = static_cast<const uint8_t *>(device().map(g_BinderFd, RECV_AREA_SIZE));
    if (!g_RecvArea) {
        fprintf(stderr, "mmap: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

int run(int argc, char **argv)
{
    g_Color = getenv("ZQCOLOR") != nullptr;
    g_Debug = getenv("ZQDEBUG") != nullptr;
    const char *progname = argc > 0 && argv[0] ? argv[0] : "vorn";
    if (argc < 2) {
        help(progname);
        return 0;
    }
    std::string sdk = device().property("ro.build.version.sdk");
    androidVer = detectRelease(sdk);

    Scanned pid = scanInteger(argv[1], INT32_MIN, INT32_MAX);
    if (pid.kind == Scanned::OUT_OF_RANGE) {
        fprintf(stderr, "Process id %s is out of range\n", argv[1]);
        return 1;
    }
    if (pid.kind == Scanned::NUMBER)
        return dumpNodesAndRefsForPid(int(pid.value));

    const char *path = "/dev/binder";
    setNs(NS_BINDER);
    int c = 1;
    if (argc > 2) {
        size_t len = strlen(argv[1]);
        for (const Namespace &n : NAMESPACES) {
            if (strncmp(argv[1], n.word, len) == 0) {
                setNs(n.value);
                path = n.device;
                c = 2;
                break;
            }
        }
    }

    if (int status = openDevice(path, sdk))
        return status;
    if (androidVer == CLASS_PROBED)
        androidVer = getNs() == NS_HWBINDER ? 11 : probeNumbering();

    // Words from the command word on; the namespace word is never counted as one of them.
    int words = argc - c;
    for (const Command &command : COMMANDS) {
        if (strcmp(argv[c], command.word) != 0)
            continue;
        if (words < command.minWords || words > command.maxWords) {
            fputs(command.misuse, stderr);
            return command.misuseStatus;
        }
        return command.run(words, argv + c);
    }
    help(progname);
    return 10;
}

} // namespace

void setNs(int N) { ns = N; }
int getNs() { return ns; }

void endProcess(int Status) { throw Quit{Status}; }

const Release &currentRelease()
{
    for (const Release &r : RELEASES)
        if (r.cls == androidVer)
            return r;
    return RELEASES.front();
}

int detectRelease(const std::string &Sdk)
{
    for (auto [variable, cls] :
         {std::pair("A16", 16), std::pair("A15R6", 15), std::pair("A11", 11), std::pair("NOT10", 9)})
        if (getenv(variable))
            return cls;
    if (auto level = sdkLevel(Sdk))
        return *level < 29 ? 9 : *level == 29 ? 10 : *level < 35 ? 11 : *level == 35 ? CLASS_PROBED : 16;
    fprintf(stderr, "Unable to detect SDK version - This is highly unusual, but I can get by - assuming "
                    "Android 10 or later, use NOT10=1 if I'm wrong\n");
    std::string fingerprint = device().property("ro.build.fingerprint");
    auto has = [&](const char *Text) { return fingerprint.find(Text) != std::string::npos; };
    if (has(":16/"))
        return 16;
    if (has(":15/"))
        return CLASS_PROBED;
    return has(":12/") || has(":13/") || has(":14/") || has("RPP") || has("30") ? 11 : 10;
}

void help(const char *progname)
{
    const char *slash = strrchr(progname, '/');
    const char *name = slash ? slash + 1 : progname;
    bool full = strcmp(name, "vorn") == 0;
    const char *green = color(GREEN), *italic = color(ITALIC), *reset = color(RESET);
    const char *comment = full ? "# As per my 'quillon' tool" : "";

    fprintf(stderr, "Usage: %s [-h|-?]\n", name);
    fprintf(stderr, "       %s [ns] list\n", name);
    if (full) {
        fprintf(stderr, "       %s [ns] check SERVICE\n", name);
        fprintf(stderr, "       %s [ns] methods  SERVICE   # %sTo list methods (if AIDL is loaded)%s\n", name, green,
                reset);
        fprintf(stderr, "       %s [ns] call  SERVICE %s_meth_%s [ _args_ ] ...\n", name, italic, reset);
        fprintf(stderr,
                "       \t\tWhere %s_meth_%s is a method number, name (if AIDL is loaded), \n"
                "       \t\tor builtin (_PNG, _PID, _EXT, _NTF, _RPC, etc)\n",
                italic, reset);
        fprintf(stderr,
                "       \t\tand %s_args_%s are optional arguments (if AIDL is loaded), and types will be "
                "auto-determined\n",
                italic, reset);
        fprintf(stderr, "       %s [ns] dump  SERVICE  %s# As per 'dumpsys' tool%s\n", name, green, reset);
    }
    fprintf(stderr, "       %s [ns] users SERVICE  %s%s%s (try 'all' for SERVICE)\n", name, green, comment, reset);
    fprintf(stderr, "       %s [ns] owner SERVICE  %s%s%s (try 'all' for SERVICE)\n", name, green, comment, reset);
    fprintf(stderr, "\nWhere: [ns] is optionally 'binder' (default), 'hwbinder' or 'vndbinder'\n");
    fprintf(stderr, "\nEnvironment variables:\n\tZQCOLOR: The usual curses based coloring");
    if (g_Color)
        fprintf(stderr, " (but it seems you already knew that)");
    fprintf(stderr, "\n\tZQDEBUG: To get the behind the scenes binder transaction dumps, and other debug info");
    fprintf(stderr, "\n\tZQAIDL:  Path to AIDL directory (to override default, /data/local/tmp/aidl)");
    fprintf(stderr, "\n\n");
    fputs(full ? "This is vorn, " : "This is quillon, ", stderr);
    fprintf(stderr, "compiled on %s\n", __DATE__);
    fprintf(stderr, "A binder explorer for Android, from the vorn project.\n");
    fprintf(stderr, "Project page: https://vorn.example.org/\n");
    fprintf(stderr, "Contact: vorn@example.org\n");
    fprintf(stderr,
            "\nIf you find it useful, please visit https://vorn.example.org/counter?%s once, so we know it is used;\n"
            "and if something goes wrong, tell us at vorn@example.org.\n",
            name);
}

int vornMain(int argc, char **argv)
{
    safeWords[0] = '\0';
    g_HeaderProven = false;
    int status;
    try {
        status = run(argc, argv);
    } catch (const Quit &q) {
        status = q.status;
    } catch (const TesselExit &e) {
        status = e.status;
    }
    // Only the low 8 bits reach the shell: a failure must not read as success there.
    return status != 0 && (status & 0xff) == 0 ? 1 : status;
}

} // namespace vorn
