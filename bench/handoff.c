/* What one hand-off between two processes costs on this machine, without
 * Wine: a byte sent back and forth through two pipes, with both processes
 * on one CPU and then on two. Every exchange is a chain of such hand-offs
 * (client, wineserver, service), so this bounds how much a second CPU can
 * help. Prints the median over 9 batches of 2000 round trips, in µs.
 * Built and run natively by scripts/bench.sh.
 *
 *   handoff <cpu of the first process> <cpu of the second>   (-1: wherever Linux puts it)
 */
#define _GNU_SOURCE
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kBatches = 9, kRounds = 2000 };

static int Compare(const void* a, const void* b)
{
    const double x = *(const double*)a;
    const double y = *(const double*)b;
    return (x > y) - (x < y);
}

static int Pin(int cpu)
{
    if (cpu < 0) {
        return 0;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof(set), &set);
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: handoff <cpu> <cpu>\n");
        return 2;
    }
    const int first = atoi(argv[1]);
    const int second = atoi(argv[2]);
    int there[2];
    int back[2];
    char byte = 0;
    if (pipe(there) != 0 || pipe(back) != 0) {
        perror("pipe");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 1;
    }
    if (child == 0) {
        if (Pin(second) != 0) {
            _exit(1);
        }
        for (int i = 0; i < kBatches * kRounds; ++i) {
            if (read(there[0], &byte, 1) != 1 || write(back[1], &byte, 1) != 1) {
                _exit(1);
            }
        }
        _exit(0);
    }
    if (Pin(first) != 0) {
        perror("sched_setaffinity");
        return 1;
    }
    double batch[kBatches];
    for (int b = 0; b < kBatches; ++b) {
        struct timespec t0;
        struct timespec t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        for (int i = 0; i < kRounds; ++i) {
            if (write(there[1], &byte, 1) != 1 || read(back[0], &byte, 1) != 1) {
                fprintf(stderr, "handoff: pipe failed\n");
                return 1;
            }
        }
        clock_gettime(CLOCK_MONOTONIC, &t1);
        batch[b] = ((double)(t1.tv_sec - t0.tv_sec) * 1e9 + (double)(t1.tv_nsec - t0.tv_nsec)) / kRounds / 1e3;
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "handoff: the second process failed\n");
        return 1;
    }
    qsort(batch, kBatches, sizeof(batch[0]), Compare);
    printf("%.1f\n", batch[kBatches / 2]);
    return 0;
}
