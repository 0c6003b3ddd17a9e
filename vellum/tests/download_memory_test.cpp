// What a download costs in memory, measured in a fresh process of its own: the test binary runs itself
// again for one case, so that no thread or pool of this process is missing in the measured one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <testing/scripted_server.hpp>

#include "downloader_test_support.hpp"
#include "test_child.hpp"

extern char** environ;

namespace vellum::test {
namespace {

using testing_support::ScriptedServer;

constexpr std::size_t kBody = std::size_t{32} << 20;
constexpr const char* kCallersVariable = "VELLUM_TEST_DOWNLOAD_CALLERS";
constexpr const char* kReportVariable = "VELLUM_TEST_DOWNLOAD_REPORT_FD";
constexpr const char* kSelf = "DownloadMemory.EveryCallerSharesOneBuffer";

// `callers` callers of one transfer, each with a processor of its own, keep their results; the answer is
// the peak resident size in KiB, or -1 when a caller failed.
long peakWhileKeeping(int callers) {
  // Made in place: the server's script is the one copy of the body on this side.
  std::vector<ScriptedServer::Step> script(2);
  script[0].bytes = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
  script[0].bytes.append(kBody / 2, 'x');
  script[0].hold = true;
  script[1].bytes.assign(kBody / 2, 'x');
  ScriptedServer server(std::move(script));
  auto downloader = ImageDownloader::make("memory");
  std::vector<Answer> answers(static_cast<std::size_t>(callers));
  for (int i = 0; i < callers; ++i) {
    auto processor = std::make_shared<MarkingProcessor>("p" + std::to_string(i), 1);
    downloader->downloadImage(server.baseURL() + "/big", direct(processor), answers[static_cast<std::size_t>(i)].completion());
  }
  if (!server.waitForHolds(1, kDeadline)) return -1;
  server.release();
  std::vector<ImageLoadingResult> kept;
  for (auto& answer : answers) {
    auto result = answer.get();
    if (!result || result.value().originalData.size() != kBody) return -1;
    kept.push_back(result.value());
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Runs this very test again in a new process with `callers`, and answers what it reports.
std::optional<long> peakInFreshProcess(int callers) {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return std::nullopt;
  self[length] = '\0';
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  // Everything the child needs is made before the fork: between fork and exec only async-signal-safe calls.
  std::string filter = std::string("--gtest_filter=") + kSelf;
  std::vector<char*> argv{self, filter.data(), nullptr};
  std::vector<std::string> variables{std::string(kCallersVariable) + "=" + std::to_string(callers),
                                     std::string(kReportVariable) + "=" + std::to_string(fds[1])};
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
    ::execve(self, argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  long peak = 0;
  if (!awaitChildReport(pid, fds[0], &peak, sizeof peak, 120'000)) return std::nullopt;
  return peak;
}

// Twenty callers of one 32 MB download, each keeping its result, hold the bytes once between them.
TEST(DownloadMemory, EveryCallerSharesOneBuffer) {
  if (const char* callers = std::getenv(kCallersVariable)) {
    const long peak = peakWhileKeeping(std::atoi(callers));
    const int fd = std::atoi(std::getenv(kReportVariable));
    ASSERT_EQ(::write(fd, &peak, sizeof peak), static_cast<ssize_t>(sizeof peak));
    return;
  }
  const auto one = peakInFreshProcess(1);
  const auto twenty = peakInFreshProcess(20);
  ASSERT_TRUE(one && twenty) << "a child process died or missed the deadline (its output is above)";
  ASSERT_GT(*one, 0) << "the single caller failed";
  ASSERT_GT(*twenty, 0) << "a caller of twenty failed";
  // A copy per caller would cost nineteen bodies more. Sharing costs next to nothing, but what arrives
  // while the session's queue is busy may wait there in chunks for a while, more of it on a loaded machine
  // and under a sanitizer's shadow memory: a few bodies' worth is allowed for that.
  const long bodyKiB = static_cast<long>(kBody / 1024);
  EXPECT_LT(*twenty - *one, 4 * bodyKiB) << "one caller: " << *one << " KiB, twenty: " << *twenty << " KiB";
}

}  // namespace
}  // namespace vellum::test
