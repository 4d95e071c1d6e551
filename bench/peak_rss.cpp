// Runs a command and writes its peak resident memory to a file, in the words GNU time -v uses,
// so that bench/export reads either the same way.
//
//   bench_peak_rss OUTPUT_FILE COMMAND [ARGS...]

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_peak_rss OUTPUT_FILE COMMAND [ARGS...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench_peak_rss: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        std::perror("bench_peak_rss: exec");
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("bench_peak_rss: wait4");
        return 1;
    }
    if (std::FILE* out = std::fopen(argv[1], "w")) {
        std::fprintf(out, "\tMaximum resident set size (kbytes): %ld\n", usage.ru_maxrss);
        std::fclose(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
