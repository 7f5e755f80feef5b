// Times programs side by side, for scripts/bench: ROUNDS rounds in each of which every command
// runs once, from start to exit, with its output thrown away. Each round starts with the next
// command of the one before, so that none is always first. A round that is not reported comes
// first, to warm the caches. One line per run on standard output:
//
//   LABEL MICROSECONDS PEAK_RSS_KB STATUS
//
//   peer-stopwatch ROUNDS -- LABEL PROGRAM [ARG]... [-- LABEL PROGRAM [ARG]...]...
//
// The peak resident size is the kernel's account of the child, which counts this program's own
// pages at the fork too: it is never below what this program holds, a few hundred kilobytes.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_COMMANDS 8

struct command {
    const char *label;
    char **argv;
};

static long long now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static int run(const struct command *c, int report)
{
    long long start = now();
    pid_t pid = fork();
    if (pid < 0)
        return 0;
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(c->argv[0], c->argv);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid)
        return 0;
    long long elapsed = now() - start;
    if (report)
        printf("%s %lld %ld %d\n", c->label, elapsed, usage.ru_maxrss,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    fflush(stdout);
    return 1;
}

static int usage(void)
{
    fputs("usage: peer-stopwatch ROUNDS -- LABEL PROGRAM [ARG]... [-- LABEL PROGRAM [ARG]...]...\n", stderr);
    return 2;
}

int main(int argc, char **argv)
{
    struct command commands[MAX_COMMANDS];
    int count = 0;
    long rounds = argc > 1 ? strtol(argv[1], NULL, 10) : 0;
    if (rounds < 1 || argc < 5 || strcmp(argv[2], "--") != 0)
        return usage();
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--") != 0)
            continue;
        if (i + 2 >= argc || count == MAX_COMMANDS || strcmp(argv[i + 1], "--") == 0 || strcmp(argv[i + 2], "--") == 0)
            return usage();
        argv[i] = NULL; // ends the command before it
        commands[count].label = argv[i + 1];
        commands[count].argv = argv + i + 2;
        ++count;
    }
    for (long round = 0; round <= rounds; ++round)
        for (int k = 0; k < count; ++k)
            if (!run(&commands[(round + k) % count], round > 0))
                return 1;
    return 0;
}
