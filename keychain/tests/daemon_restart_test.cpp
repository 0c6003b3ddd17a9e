// Runs in a keyring of its own (see CMakeLists.txt): it kills the Secret Service daemon, which would break
// every other test sharing the keyring. scripts/with-keyring lets the bus start an unlocked daemon again.
#include <gtest/gtest.h>
#include <gio/gio.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"
#include "secret_service_daemon.hpp"
#include "testing/bounded_task.hpp"

namespace keychain {
namespace {

using namespace std::chrono_literals;

// Kills the daemon and waits, at most 10 s, until the bus has released its name.
void killAndAwaitRelease(pid_t pid) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  bool vanished = false, expired = false;
  const guint watch = g_bus_watch_name(
      G_BUS_TYPE_SESSION, "org.freedesktop.secrets", G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
      +[](GDBusConnection*, const gchar*, gpointer done) { *static_cast<bool*>(done) = true; }, &vanished, nullptr);
  GSource* deadline = g_timeout_source_new(10000);
  g_source_set_callback(
      deadline, +[](gpointer done) -> gboolean { *static_cast<bool*>(done) = true; return G_SOURCE_REMOVE; },
      &expired, nullptr);
  g_source_attach(deadline, context);
  // Reported owned first (the daemon is alive until the kill), then vanished once the bus has seen it die.
  EXPECT_EQ(::kill(pid, SIGKILL), 0);
  while (!vanished && !expired) g_main_context_iteration(context, TRUE);
  g_bus_unwatch_name(watch);
  g_source_destroy(deadline);
  g_source_unref(deadline);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  ASSERT_TRUE(vanished) << "the daemon's bus name was not released";
}

TEST(SecretServiceRestart, TheStoreReconnectsToARestartedDaemon) {
  const KeychainStore store(testing::uniqueService());
  store.setString("before", "kept");
  ASSERT_EQ(store.string("kept"), "before");

  const pid_t first = testing::secretServicePid();
  ASSERT_GT(first, 0);
  ASSERT_NO_FATAL_FAILURE(killAndAwaitRelease(first));

  // The next call reaches a daemon the bus starts again, which reads the same keyring from disk.
  ASSERT_TRUE(testing_support::runWithin(30s, [&] {
    EXPECT_EQ(store.string("kept"), "before");
    store.setString("after", "kept");
    EXPECT_EQ(store.string("kept"), "after");
    store.deleteItem("kept");
    EXPECT_FALSE(store.hasItem("kept"));
  }));
  EXPECT_NE(testing::secretServicePid(), first);
}

}  // namespace
}  // namespace keychain
