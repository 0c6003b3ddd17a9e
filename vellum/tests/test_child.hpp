#pragma once
// What some work costs in memory, measured in a child process: a fork starts with its parent's pages
// resident and its peak reset, so the peak's growth is the work's own.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <optional>

namespace vellum::test {

// Reads the `size` bytes child `pid` reports on `readEnd` within `deadlineMs`, then closes `readEnd` and
// reaps the child, killed first when it reported nothing whole in time. `pid` may be -1 (a failed fork).
inline bool awaitChildReport(pid_t pid, int readEnd, void* report, std::size_t size, int deadlineMs) {
  pollfd ready{readEnd, POLLIN, 0};
  const bool whole = pid > 0 && ::poll(&ready, 1, deadlineMs) == 1 &&
                     ::read(readEnd, report, size) == static_cast<ssize_t>(size);
  ::close(readEnd);
  if (pid > 0) {
    if (!whole) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  return whole;
}

struct ChildRun {
  bool succeeded = false;
  long peakGrowthKiB = 0;
};

// Runs `work` in a child process and reports what it answered and how far the child's peak resident size
// rose. None when the child died or missed the deadline. `work` must not rely on threads the parent started:
// the child has none of them.
inline std::optional<ChildRun> inChild(const std::function<bool()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const bool succeeded = work();
    ::getrusage(RUSAGE_SELF, &after);
    const long report[2] = {succeeded ? 1 : 0, after.ru_maxrss - before.ru_maxrss};
    const bool sent = ::write(fds[1], report, sizeof report) == sizeof report;
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  long report[2];
  if (!awaitChildReport(pid, fds[0], report, sizeof report, 60'000)) return std::nullopt;
  return ChildRun{report[0] == 1, report[1]};
}

}  // namespace vellum::test
