/* Runs one or more commands one after the other and prints, on one line of standard output,
 * the wall time from the first start to the last end (ms), the CPU time (user + system, ms)
 * and the peak resident set size (KiB) of the largest of them, as getrusage reports them:
 *   bench-measure [-o FILE] CMD [ARG]... [--then CMD [ARG]...]...
 * The commands' standard output goes to /dev/null, or to FILE with -o. A command that fails
 * makes the line start with "failed". Used by scripts/bench. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static double ms(struct timeval t) {
    return t.tv_sec * 1e3 + t.tv_usec / 1e3;
}

/* Runs argv[0..] with standard output on `out`; 0 when it exits with status 0. */
static int run(char** argv, int out) {
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) < 0) {
        return -1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

int main(int argc, char** argv) {
    const char* out_path = "/dev/null";
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-o") == 0) {
        out_path = argv[2];
        first = 3;
    }
    const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (first >= argc || out < 0) {
        fprintf(stderr, "usage: bench-measure [-o FILE] CMD [ARG]... [--then CMD [ARG]...]...\n");
        return 2;
    }
    int failed = 0;
    const double start = now_ms();
    for (int i = first; i < argc;) {
        int end = i;
        while (end < argc && strcmp(argv[end], "--then") != 0) {
            ++end;
        }
        argv[end < argc ? end : argc] = NULL;
        failed |= run(argv + i, out);
        i = end + 1;
    }
    const double wall = now_ms() - start;
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    printf("%s%.2f %.2f %ld\n", failed ? "failed " : "", wall,
           ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_maxrss);
    return failed ? 1 : 0;
}
