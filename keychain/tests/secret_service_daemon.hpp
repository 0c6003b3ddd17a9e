#pragma once
// The Secret Service daemon of the test's own session, for the tests that stop or kill it. They run in a keyring
// of their own (see CMakeLists.txt), so nothing they do to the daemon reaches other tests.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace keychain::testing {

// The process that owns the Secret Service's bus name, asked of the bus itself.
inline pid_t secretServicePid() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
    return -1;
  }
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
      g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10000,
      nullptr, &error);
  g_object_unref(bus);
  if (!reply) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
    return -1;
  }
  guint32 pid = 0;
  g_variant_get(reply, "(u)", &pid);
  g_variant_unref(reply);
  return static_cast<pid_t>(pid);
}

// Stops a process (SIGSTOP) for as long as this object lives, and lets it go on (SIGCONT) when it is destroyed.
// Should the test process end first (a crash, a fatal signal), a watchdog child lets it go on as soon as the
// test process's end closes their pipe: a stopped daemon never outlives the test.
class StoppedProcess {
 public:
  explicit StoppedProcess(pid_t pid) : pid_(pid) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << errno;
      return;
    }
    watchdog_ = ::fork();
    if (watchdog_ == 0) {  // only async-signal-safe calls from here: the parent has threads
      ::close(pipe[1]);
      char byte;
      while (::read(pipe[0], &byte, 1) < 0 && errno == EINTR) {
      }
      ::kill(pid, SIGCONT);
      ::_exit(0);
    }
    ::close(pipe[0]);
    release_ = pipe[1];
    if (watchdog_ < 0) {
      ADD_FAILURE() << "fork: " << errno;
      return;
    }
    stopped_ = ::kill(pid_, SIGSTOP) == 0;
    EXPECT_TRUE(stopped_) << "the daemon could not be stopped";
  }
  ~StoppedProcess() {
    ::kill(pid_, SIGCONT);
    if (release_ >= 0) ::close(release_);
    if (watchdog_ > 0) ::waitpid(watchdog_, nullptr, 0);
  }
  StoppedProcess(const StoppedProcess&) = delete;
  StoppedProcess& operator=(const StoppedProcess&) = delete;

  bool stopped() const { return stopped_; }

 private:
  pid_t pid_;
  pid_t watchdog_ = -1;
  int release_ = -1;
  bool stopped_ = false;
};

}  // namespace keychain::testing
