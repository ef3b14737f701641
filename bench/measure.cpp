// Runs a command and prints its wall time in nanoseconds, its peak
// resident memory in KiB and its processor time (user and system) in
// nanoseconds, which a busy machine disturbs less than the wall time. A small process of its own starts the command, so
// the peak is the command's, not that of a large parent it was forked from.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) < 0) return 2;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long ns = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    fprintf(stderr, "%lld %ld %lld\n", ns, usage.ru_maxrss, cpu);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
