#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <latch>
#include <map>
#include <memory>
#include <string>

#include "testing/bounded_task.hpp"
#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"

namespace keychain {
namespace {

// Each thread works its own item and all of them rewrite one shared item: every private value must read
// back as written, and the shared item must hold one whole value.
TEST(KeychainStoreConcurrency, ThreadsShareOneStore) {
  // Shared with the workers: their last use of it is ordered before its end by the count, which the thread
  // sanitizer follows (it cannot follow a wait for a future that blocks inside the standard library).
  const auto shared = std::make_shared<const KeychainStore>(testing::uniqueService());
  constexpr int kThreads = 8, kRounds = 10;
  std::latch start(kThreads);
  auto worker = [&start, shared](int id) {
    const KeychainStore& store = *shared;
    start.arrive_and_wait();
    const std::string key = "thread-" + std::to_string(id);
    for (int round = 0; round < kRounds; ++round) {
      const std::string value = key + "-round-" + std::to_string(round);
      store.setString(value, key);
      if (store.string(key) != value) return false;
      store.setString(value, "shared");
    }
    store.deleteItem(key);
    return !store.hasItem(key);
  };
  std::vector<testing_support::BoundedTask<bool>> results;
  for (int id = 0; id < kThreads; ++id) results.push_back(testing_support::launch([worker, id] { return worker(id); }));
  for (auto& result : results) {
    ASSERT_EQ(result.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "a call did not return";
    EXPECT_TRUE(result.get());
  }
  const std::string last = shared->string("shared");
  EXPECT_EQ(last.rfind("thread-", 0), 0u);
  EXPECT_NE(last.find("-round-" + std::to_string(kRounds - 1)), std::string::npos);
}

// The item remover (item_remover.cpp) running in a process of its own. Destroying this ends it and waits for
// it; its standard input closing ends it too, should this process die first.
class ItemRemover {
 public:
  explicit ItemRemover(const std::string& service) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    const char* path = KEYCHAIN_ITEM_REMOVER;
    char* const argv[] = {const_cast<char*>(path), const_cast<char*>(service.c_str()), nullptr};
    if (posix_spawn(&pid_, path, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    stop_ = toChild[1];
    output_ = fromChild[0];
  }
  ~ItemRemover() {
    if (stop_ >= 0) ::close(stop_);
    if (output_ >= 0) ::close(output_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);  // it stops within one round of deletions
  }
  ItemRemover(const ItemRemover&) = delete;
  ItemRemover& operator=(const ItemRemover&) = delete;

  // Whether it reached the Secret Service within `deadline`.
  bool ready(std::chrono::seconds deadline) {
    if (pid_ <= 0) return false;
    return testing_support::runWithin(deadline, [fd = output_] {
             char text[6] = {};
             return ::read(fd, text, 5) == 5 && std::string(text) == "ready";
           }).value_or(false);
  }

 private:
  pid_t pid_ = -1;
  int stop_ = -1, output_ = -1;
};

// Another process deletes this store's items over and over while this one writes, reads, asks for and deletes
// them: every answer is the value, "not found", true or false, and every write stores its value.
TEST(KeychainStoreConcurrency, AnotherProcessDeletingTheItemsMeanwhile) {
  const std::string service = testing::uniqueService();
  const KeychainStore store(service);
  ItemRemover remover(service);
  ASSERT_TRUE(remover.ready(std::chrono::seconds(20))) << "the item remover did not start";
  auto exercise = [&store] {
    std::map<std::string, int> unexpected;
    auto expectFoundOrNot = [&](const char* call, auto&& body) {
      try {
        body();
      } catch (const KeychainStoreError& error) {
        if (error.code() != KeychainStoreError::Code::itemNotFound) ++unexpected[call + std::string(": ") + error.what()];
      }
    };
    for (int round = 0; round < 300; ++round) {
      const std::string value = "value-" + std::to_string(round);
      try {
        store.setString(value, "key");
      } catch (const KeychainStoreError& error) {
        ++unexpected[std::string("setString: ") + error.what()];
      }
      expectFoundOrNot("string", [&] {
        if (store.string("key").rfind("value-", 0) != 0) ++unexpected["string: another value"];
      });
      try {
        (void)store.hasItem("key");
      } catch (const KeychainStoreError& error) {
        ++unexpected[std::string("hasItem: ") + error.what()];
      }
      expectFoundOrNot("data", [&] { (void)store.data("key"); });
      if (round % 3 == 0) expectFoundOrNot("deleteItem", [&] { store.deleteItem("key"); });
    }
    return unexpected;
  };
  auto outcome = testing_support::runWithin(std::chrono::seconds(180), exercise);
  ASSERT_TRUE(outcome.has_value()) << "the calls did not return";
  for (const auto& [what, count] : *outcome) ADD_FAILURE() << count << " x " << what;
}

}  // namespace
}  // namespace keychain
