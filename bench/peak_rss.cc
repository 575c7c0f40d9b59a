// peak_rss PROGRAM [ARGS...]: runs PROGRAM and prints, on standard error,
// "peak_rss_kib N wall_seconds S status C" for it. A small launcher of its
// own, so that what the child inherits before it executes does not count
// into its peak (a child forked from a large process would start with that
// process's size on record).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_rss PROGRAM [ARGS...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) < 0) return 127;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::fprintf(stderr, "peak_rss_kib %ld wall_seconds %.3f status %d\n", usage.ru_maxrss, seconds,
               code);
  return code;
}
