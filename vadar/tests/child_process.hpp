#pragma once
// Scenarios that need a process of their own (one that quits without shutdown(), or whose keychain stalls):
// the test binary runs itself with a gtest filter and an environment variable that tells the test it is the
// child half. The parent waits for the child with a deadline and kills it when the deadline passes.
//
//   if (const char* instructions = std::getenv("MY_CHILD")) childHalf(instructions);   // never returns
//   auto status = runChildTest("Suite.Case", {{"MY_CHILD", "..."}});
//   ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "testing/bounded_task.hpp"

extern char** environ;

namespace vadar::testing {

// Runs this test binary on the test `filter` with `variables` set (replacing any of the same name) and stdout
// discarded; the child's wait status, or none when it had to be killed at `deadline` (or did not start).
inline std::optional<int> runChildTest(const std::string& filter, const std::map<std::string, std::string>& variables,
                                       std::chrono::seconds deadline = std::chrono::seconds(90)) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
  const std::string filterArgument = "--gtest_filter=" + filter;
  std::map<std::string, std::string> set = variables;
  // A child may quit with the library's threads unjoined on purpose.
  const char* sanitizer = std::getenv("TSAN_OPTIONS");
  set.emplace("TSAN_OPTIONS", std::string(sanitizer ? sanitizer : "") + ":report_thread_leaks=0");
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (!set.contains(text.substr(0, text.find('=')))) entries.push_back(text);
  }
  for (const auto& [name, value] : set) entries.push_back(name + "=" + value);
  std::vector<char*> environment;
  for (auto& entry : entries) environment.push_back(entry.data());
  environment.push_back(nullptr);
  char* arguments[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(filterArgument.c_str()), nullptr};

  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, exe.c_str(), &quiet, nullptr, arguments, environment.data());
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return std::nullopt;
  auto exited = testing_support::launch([child] {
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
  });
  if (exited.wait_for(deadline) == std::future_status::ready) return exited.get();
  ::kill(child, SIGKILL);
  if (exited.wait_for(std::chrono::seconds(20)) == std::future_status::ready) exited.get();
  return std::nullopt;
}

inline bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

}  // namespace vadar::testing
