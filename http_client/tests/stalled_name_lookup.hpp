#pragma once
// Name lookups that never answer, made real: a child process gets namespaces of its own (user, mount and
// network), in which /etc/resolv.conf names 127.0.0.1 as the only name server, and a socket of the child's
// takes every query there and never answers. The system's resolver then waits its full timeout (30 s a try)
// as it would for a name server that has gone silent. The loopback interface is up, so loopback servers work.
//
//   const auto outcome = httpkit_tests::inStalledLookupChild([](httpkit_tests::StalledLookupChild& child) {
//     ... start a lookup of "a.example.test" ...
//     child.expect(child.waitForQuery("a", kDeadline), "the lookup never began");
//     ...
//   }, deadline);
//   EXPECT_EQ(outcome.kind, StalledLookupOutcome::Kind::passed) << outcome.text;
//
// The scenario runs in the child, where the test framework's assertions do not reach the parent: `expect`
// reports the first failure and ends the child at once (with _exit, whatever its threads still wait for,
// so that a hang under test cannot hold the report back). The child starts with only the forking thread, so
// call this before the test starts threads of its own.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace httpkit_tests {

// The child's side: its name server, which reads queries and answers none, and its report.
class StalledLookupChild {
 public:
  StalledLookupChild(int nameServer, int report) : socket_(nameServer), report_(report) {}

  // Ends the child with `failure` as its report unless `holds`.
  void expect(bool holds, const std::string& failure) const {
    if (!holds) end('F', failure);
  }
  [[noreturn]] void end(char kind, const std::string& text) const {
    const std::string report = kind + text;
    const bool sent = ::write(report_, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    ::_exit(sent ? 0 : 1);
  }

  // Waits until a query for a name with the label `label` arrives; false when `deadline` passed first.
  bool waitForQuery(std::string_view label, std::chrono::milliseconds deadline) {
    // A query spells each label with its length in front.
    const std::string spelled = std::string(1, static_cast<char>(label.size())) + std::string(label);
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd ready{socket_, POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(left.count())) != 1) continue;
      char datagram[1500];
      const ssize_t n = ::recv(socket_, datagram, sizeof datagram, 0);
      if (n > 0 && std::string_view(datagram, static_cast<std::size_t>(n)).find(spelled) != std::string_view::npos) {
        return true;
      }
    }
  }

 private:
  int socket_;
  int report_;
};

struct StalledLookupOutcome {
  enum class Kind { passed, failed, unavailable };
  Kind kind;
  std::string text;  // what failed, or why the namespaces could not be made
};

namespace detail {

inline bool writeFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// In the child: its own namespaces, a resolv.conf naming 127.0.0.1, the loopback interface up and the
// silent name server's socket. Returns the socket, or -1 with `why` set.
inline int isolateLookups(std::string& why) {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  // A user namespace gives the rights the rest needs; it cannot be made once a process has threads (a
  // sanitizer's own, say), and then only a process that holds those rights already can go on.
  const bool ownUser = ::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) == 0;
  if (!ownUser && ::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    why = std::string("no namespaces of its own: ") + std::strerror(errno);
    return -1;
  }
  if (ownUser && (!writeFile("/proc/self/setgroups", "deny") ||
                  !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                  !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
    why = "the user namespace could not be mapped";
    return -1;
  }
  char resolvConf[] = "/tmp/httpkit-resolv-XXXXXX";
  const int conf = ::mkstemp(resolvConf);
  // One try of 30 s (the longest the resolver allows) after another: far longer than any test waits.
  const std::string servers = "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n";
  const bool confWritten =
      conf >= 0 && ::write(conf, servers.data(), servers.size()) == static_cast<ssize_t>(servers.size());
  if (conf >= 0) ::close(conf);
  const bool mounted = confWritten && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       ::mount(resolvConf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
  ::unlink(resolvConf);  // the mount keeps the file
  if (!mounted) {
    why = std::string("no private resolv.conf: ") + std::strerror(errno);
    return -1;
  }
  const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq loopback{};
  std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = control >= 0 && ::ioctl(control, SIOCGIFFLAGS, &loopback) == 0 &&
                  (loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP),
                   ::ioctl(control, SIOCSIFFLAGS, &loopback) == 0);
  if (control >= 0) ::close(control);
  if (!up) {
    why = std::string("the loopback interface stayed down: ") + std::strerror(errno);
    return -1;
  }
  const int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    why = std::string("no name server socket: ") + std::strerror(errno);
    return -1;
  }
  return server;
}

}  // namespace detail

// Runs `scenario` in such a child and reports how it ended. `deadline` bounds the whole child, which is killed
// past it (a failure).
inline StalledLookupOutcome inStalledLookupChild(const std::function<void(StalledLookupChild&)>& scenario,
                                                 std::chrono::milliseconds deadline) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {StalledLookupOutcome::Kind::failed, "no pipe"};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string why;
    const int server = detail::isolateLookups(why);
    StalledLookupChild child(server, fds[1]);
    if (server < 0) child.end('U', why);
    scenario(child);
    child.end('P', {});
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return {StalledLookupOutcome::Kind::failed, "no child process"};
  }
  std::string report;
  const auto end = std::chrono::steady_clock::now() + deadline;
  bool ended = false;
  while (!ended) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd ready{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
    char buffer[4096];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n > 0) report.append(buffer, static_cast<std::size_t>(n));
    ended = n <= 0;
  }
  ::close(fds[0]);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!ended) return {StalledLookupOutcome::Kind::failed, "the child did not end within the deadline"};
  if (report.empty()) return {StalledLookupOutcome::Kind::failed, "the child died without a report"};
  const char kind = report.front();
  report.erase(0, 1);
  if (kind == 'U') return {StalledLookupOutcome::Kind::unavailable, report};
  return {kind == 'P' ? StalledLookupOutcome::Kind::passed : StalledLookupOutcome::Kind::failed, report};
}

}  // namespace httpkit_tests
