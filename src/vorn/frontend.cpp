// Front end: environment, release class, namespace word, device set-up, dispatch, usage.
#include "vorn.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace vorn {

namespace {

// Every command, in the order of the usage.
constexpr std::array<const Command *, 8> COMMANDS{&LIST, &CHECK, &METHODS, &CALL, &DUMP, &CMD, &USERS, &OWNER};

std::optional<int> sdkLevel(const std::string &Sdk)
{
    if (Sdk.empty() || Sdk.size() > 4 || Sdk.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::atoi(Sdk.c_str());
}

// Opens the namespace's device, announces our threads and maps the receive area; a status
// other than 0 ends the run.
int openDevice(Session &S, const char *Path, const std::string &Sdk)
{
    S.fd = device().open(Path);
    if (S.fd < 0) {
        fprintf(stderr, "%s: %s\n", Path, strerror(errno));
        return 1;
    }
    int32_t version = 7;
    if (device().ioctl(S.fd, BINDER_VERSION, &version) < 0) {
        fprintf(stderr, "Unable to get %s protocol verison (ioctl(..., BINDER_VERSION, ...) failed)\n", Path);
        return 1;
    }
    if (S.settings.debug)
        printf("Detected %s protocol version %d on API Version %s\n", Path, version, Sdk.c_str());
    uint32_t maxThreads = 15;
    device().ioctl(S.fd, BINDER_SET_MAX_THREADS, &maxThreads);
    auto area = static_cast<const uint8_t *>(device().map(S.fd, RECV_AREA_SIZE));
    if (!area) {
        fprintf(stderr, "mmap: %s\n", strerror(errno));
        return 1;
    }
    S.area = {area, RECV_AREA_SIZE};
    return 0;
}

int run(const Settings &Set, int argc, char **argv)
{
    const char *progname = argc > 0 && argv[0] ? argv[0] : "vorn";
    if (argc < 2) {
        help(Set, progname);
        return 0;
    }
    if (Set.timeoutText && Set.timeout <= 0) {
        fprintf(stderr, "ZQTIMEOUT must be a positive number of seconds, not '%s'\n", Set.timeoutText);
        return 3;
    }
    // The namespace word first: the vendor's manager follows the vendor partition's release,
    // which may be older than the system's.
    const Namespace *space = &NAMESPACES.front();
    int c = 1;
    if (argc > 2) {
        size_t len = strlen(argv[1]);
        for (const Namespace &n : NAMESPACES) {
            if (strncmp(argv[1], n.word, len) == 0) {
                space = &n;
                c = 2;
                break;
            }
        }
    }
    std::string sdk = device().property("ro.build.version.sdk");
    if (space->value == NS_VNDBINDER)
        if (std::string vendor = device().property("ro.vendor.build.version.sdk"); sdkLevel(vendor))
            sdk = vendor;
    Session session{Set, -1, {}, space->value, detectRelease(Set, sdk), false};

    Scanned pid = scanInteger(argv[1], INT32_MIN, INT32_MAX);
    if (pid.kind == Scanned::OUT_OF_RANGE) {
        fprintf(stderr, "Process id %s is out of range\n", argv[1]);
        return 1;
    }
    if (pid.kind == Scanned::NUMBER)
        return dumpNodesAndRefsForPid(int(pid.value));

    if (int status = openDevice(session, space->device, sdk))
        return status;
    if (session.cls == CLASS_PROBED)
        session.cls = session.hidl() ? 14 : probeNumbering(session);

    // Words from the command word on; the namespace word is never counted as one of them.
    int words = argc - c;
    for (const Command *command : COMMANDS) {
        if (strcmp(argv[c], command->word) != 0)
            continue;
        if (words < command->minWords || words > command->maxWords) {
            fputs(command->misuse, stderr);
            return command->misuseStatus;
        }
        return command->run(session, words, argv + c);
    }
    help(Set, progname);
    return 10;
}

} // namespace

void endProcess(int Status) { throw Quit{Status}; }

Settings readSettings()
{
    Settings s;
    s.color = getenv("ZQCOLOR") != nullptr;
    s.debug = getenv("ZQDEBUG") != nullptr;
    s.argTrace = getenv("ZQARG") != nullptr;
    s.noManagers = getenv("NOSM") != nullptr;
    s.noExit = getenv("NOEXIT") != nullptr;
    s.html = getenv("HTML") != nullptr;
    s.aidlDir = getenv("ZQAIDL_DIR");
    s.methodCount = getenv("NUMMETH");
    s.aidlText = getenv("ZQAIDLDEBUG") != nullptr;
    // Android's init exports both class paths to every shell; a device without them still has
    // the framework's two jars.
    const char *dex = getenv("ZQDEX");
    std::string paths =
        dex ? dex : std::string(getenv("BOOTCLASSPATH") ?: "") + ":" + (getenv("SYSTEMSERVERCLASSPATH") ?: "");
    if (!dex && paths == ":")
        paths = "/system/framework/framework.jar:/system/framework/services.jar";
    for (size_t at = 0; at <= paths.size();) {
        size_t end = std::min(paths.find(':', at), paths.size());
        if (end > at)
            s.dexFiles.emplace_back(paths, at, end - at);
        at = end + 1;
    }
    if ((s.timeoutText = getenv("ZQTIMEOUT"))) {
        char *end;
        double seconds = strtod(s.timeoutText, &end);
        if (end != s.timeoutText && !*end && std::isfinite(seconds) && seconds > 0)
            s.timeout = seconds;
    }
    s.outTerminal = isatty(1);
    s.errTerminal = isatty(2);
    for (auto [variable, cls] :
         {std::pair("A16", 16), std::pair("A15R6", 15), std::pair("A11", 11), std::pair("NOT10", 9)})
        if (!s.forcedRelease && getenv(variable))
            s.forcedRelease = cls;
    return s;
}

const Release &releaseOf(int Class)
{
    for (const Release &r : RELEASES)
        if (r.cls == Class)
            return r;
    return RELEASES.front();
}

int detectRelease(const Settings &S, const std::string &Sdk)
{
    if (S.forcedRelease)
        return S.forcedRelease;
    if (auto level = sdkLevel(Sdk)) {
        // A preview of 16 still says 35, with its own numbering of the manager's methods.
        std::string codename = *level == 35 ? device().property("ro.build.version.codename") : "";
        if (!codename.empty() && codename != "REL")
            return 16;
        if (*level >= 35)
            return *level == 35 ? CLASS_PROBED : 16;
        return *level < 29 ? 9 : *level == 29 ? 10 : *level == 30 ? 11 : *level < 33 ? 12 : *level - 20;
    }
    fprintf(stderr, "Unable to detect SDK version - This is highly unusual, but I can get by - assuming "
                    "Android 10 or later, use NOT10=1 if I'm wrong\n");
    std::string fingerprint = device().property("ro.build.fingerprint");
    auto has = [&](const char *Text) { return fingerprint.find(Text) != std::string::npos; };
    if (has(":16/"))
        return 16;
    if (has(":15/"))
        return CLASS_PROBED;
    for (auto [text, release] : {std::pair(":14/", 14), std::pair(":13/", 13), std::pair(":12/", 12)})
        if (has(text))
            return release;
    return has(":11/") || has("RPP") || has("30") ? 11 : 10;
}

void help(const Settings &S, const char *progname)
{
    const char *slash = strrchr(progname, '/');
    const char *name = slash ? slash + 1 : progname;
    bool full = strcmp(name, "vorn") == 0;
    const char *comment = full ? "# As per my 'quillon' tool" : "";

    fprintf(stderr, "Usage: %s [-h|-?]\n", name);
    for (const Command *command : COMMANDS) {
        if (!full && !command->always)
            continue;
        std::string line;
        for (const char *c = command->usage; *c; ++c) {
            if (*c != '%' || !c[1]) {
                line += *c;
                continue;
            }
            switch (*++c) {
            case 'n': line += name; break;
            case 'g': line += S.paint(GREEN); break;
            case 'i': line += S.paint(ITALIC); break;
            case 'r': line += S.paint(RESET); break;
            case 'c': line += comment; break;
            }
        }
        fputs(line.c_str(), stderr);
    }
    fprintf(stderr, "\nWhere: [ns] is optionally 'binder' (default), 'hwbinder' or 'vndbinder'\n");
    fprintf(stderr, "\nEnvironment variables:\n\tZQCOLOR: The usual curses based coloring");
    if (S.color)
        fprintf(stderr, " (but it seems you already knew that)");
    fprintf(stderr, "\n\tZQDEBUG: To get the behind the scenes binder transaction dumps, and other debug info");
    fprintf(stderr, "\n\tZQAIDL:  Path to AIDL directory (to override default, /data/local/tmp/aidl)");
    fprintf(stderr, "\n\tZQDEX:   Colon-separated jar, apk or dex files to find methods in when there is no AIDL "
                    "(default: BOOTCLASSPATH, SYSTEMSERVERCLASSPATH)");
    fprintf(stderr, "\n\tZQTIMEOUT: Seconds to wait for a reply (default: 10 for dump and cmd, else no limit)");
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
    const Settings settings = readSettings();
    int status;
    try {
        status = run(settings, argc, argv);
    } catch (const Quit &q) {
        status = q.status;
    }
    // Only the low 8 bits reach the shell: a failure must not read as success there.
    return status != 0 && (status & 0xff) == 0 ? 1 : status;
}

} // namespace vorn
