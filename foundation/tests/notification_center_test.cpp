#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/notification_center.hpp"
#include "testing/bounded_task.hpp"

using foundation::Notification;
using foundation::NotificationCenter;

TEST(NotificationCenter, DeliversByNameAndSender) {
  NotificationCenter center;
  int a = 0, b = 0;
  std::vector<std::string> seen;
  center.addObserver("ping", &a, [&](const Notification& n) { seen.push_back("a:" + n.name); });
  center.addObserver("ping", nullptr, [&](const Notification& n) {
    seen.push_back("any:" + std::any_cast<std::string>(n.userInfo.at("who")));
  });
  center.addObserver("other", nullptr, [&](const Notification&) { seen.push_back("other"); });
  center.post("ping", &b, {{"who", std::string("b")}});
  center.post("ping", &a, {{"who", std::string("a")}});
  EXPECT_EQ(seen, (std::vector<std::string>{"any:b", "a:ping", "any:a"}));
}

TEST(NotificationCenter, ObserverMayPostAndRemoveItselfDuringAPost) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::Token self = 0;
  self = center.addObserver("first", nullptr, [&](const Notification&) {
    seen.push_back("first");
    center.removeObserver(self);   // would deadlock if a lock were held
    center.post("second");
  });
  center.addObserver("second", nullptr, [&](const Notification&) { seen.push_back("second"); });
  center.post("first");
  center.post("first");  // removed: not called again
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
}

TEST(NotificationCenter, ObserverRemovedByAnEarlierOneIsNotCalled) {
  NotificationCenter center;
  std::vector<int> seen;
  NotificationCenter::Token second = 0;
  center.addObserver("n", nullptr, [&](const Notification&) {
    seen.push_back(1);
    center.removeObserver(second);
  });
  second = center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back(2); });
  center.post("n");
  EXPECT_EQ(seen, std::vector<int>{1});
}

// An owner released inside a post (its destructor unregisters) may be the observer being called: the callback
// and what it captured stay alive until it returns, and a later post does not reach it.
TEST(NotificationCenter, ObserverReleasedWhileItsCallbackRuns) {
  NotificationCenter center;
  struct Owner {
    explicit Owner(NotificationCenter& c) : center(c) {}
    ~Owner() { center.removeObserver(token); }
    NotificationCenter& center;
    NotificationCenter::Token token = 0;
  };
  std::vector<std::string> seen;
  auto owner = std::make_shared<Owner>(center);
  auto label = std::make_shared<std::string>("observer");
  std::shared_ptr<Owner>* slot = &owner;
  owner->token = center.addObserver("n", nullptr, [slot, label, &seen](const Notification&) {
    slot->reset();           // the owner's destructor removes this very observer
    seen.push_back(*label);  // captures are still alive
  });
  label.reset();
  center.post("n");
  center.post("n");
  EXPECT_EQ(seen, std::vector<std::string>{"observer"});
}

// An observer is application code: what it throws is its own failure. It is logged, naming the notification,
// and the post goes on to the other observers and returns normally to the poster.
TEST(NotificationCenter, AnObserverThatThrowsFailsOnlyItself) {
  std::mutex mutex;
  std::vector<std::string> logged;
  const auto previous = foundation::setLogSink([&](foundation::LogLevel level, std::string_view line) {
    std::lock_guard lock(mutex);
    if (level == foundation::LogLevel::error) logged.emplace_back(line);
  });
  NotificationCenter center;
  std::vector<std::string> seen;
  center.addObserver("n", nullptr, [&](const Notification&) {
    seen.push_back("first");
    throw std::runtime_error("observer failure");
  });
  center.addObserver("n", nullptr, [&](const Notification&) {
    seen.push_back("second");
    throw 7;
  });
  center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("third"); });
  EXPECT_NO_THROW(center.post("n"));
  foundation::setLogSink(previous);
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second", "third"}));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_NE(logged[0].find("\"n\""), std::string::npos) << logged[0];
  EXPECT_NE(logged[0].find("observer failure"), std::string::npos) << logged[0];
  EXPECT_NE(logged[1].find("not an exception"), std::string::npos) << logged[1];
}

// A centre of an object's own may be released by one of its observers (its owner let go in the callback): the
// post that called it returns, and the observers that went with the centre are not called.
TEST(NotificationCenter, ACentreReleasedByItsOwnObserver) {
  std::vector<int> seen;
  ASSERT_TRUE(testing_support::runWithin(std::chrono::seconds(10), [&] {
    auto center = std::make_unique<NotificationCenter>();
    center->addObserver("n", nullptr, [&](const Notification&) {
      seen.push_back(1);
      center.reset();
    });
    center->addObserver("n", nullptr, [&](const Notification&) { seen.push_back(2); });
    center->post("n");
  }));
  EXPECT_EQ(seen, std::vector<int>{1});
}

// An application's observer uses what its owner holds; the owner removes it and then goes. A call already
// under way on another thread is waited for, so it never runs on what the owner has released.
TEST(NotificationCenter, RemovalWaitsForACallUnderWayOnAnotherThread) {
  using namespace std::chrono_literals;
  NotificationCenter center;
  auto owned = std::make_unique<std::string>("owned");
  std::promise<void> entered;
  std::promise<void> ownerGone;
  auto gone = ownerGone.get_future();
  std::string seen;
  const auto token = center.addObserver("n", nullptr, [&, target = owned.get()](const Notification&) {
    entered.set_value();
    // Time enough for a removal that does not wait to return, and for the owner to go.
    gone.wait_for(500ms);
    seen = *target;
  });
  std::jthread poster([&] { center.post("n"); });
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(testing_support::runWithin(10s, [&] {
    center.removeObserver(token);
    owned.reset();
    ownerGone.set_value();
  }));
  poster.join();
  EXPECT_EQ(seen, "owned");

  // The centre's end is every observer's removal: a call under way elsewhere is waited for as well.
  auto ending = std::make_unique<NotificationCenter>();
  auto kept = std::make_unique<std::string>("kept");
  std::promise<void> calledBeforeTheEnd;
  std::promise<void> keptGone;
  auto keptIsGone = keptGone.get_future();
  std::string seenAtTheEnd;
  ending->addObserver("n", nullptr, [&, target = kept.get()](const Notification&) {
    calledBeforeTheEnd.set_value();
    keptIsGone.wait_for(500ms);
    seenAtTheEnd = *target;
  });
  std::jthread lastPoster([&, centre = ending.get()] { centre->post("n"); });
  ASSERT_EQ(calledBeforeTheEnd.get_future().wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(testing_support::runWithin(10s, [&] {
    ending.reset();
    kept.reset();
    keptGone.set_value();
  }));
  lastPoster.join();
  EXPECT_EQ(seenAtTheEnd, "kept");

  // Called on its own thread, the removal of the observer being called does not wait for itself.
  std::vector<std::string> calls;
  NotificationCenter::Token self = 0;
  self = center.addObserver("m", nullptr, [&](const Notification&) {
    center.removeObserver(self);
    calls.push_back("m");
  });
  ASSERT_TRUE(testing_support::runWithin(2s, [&] { center.post("m"); }));
  EXPECT_EQ(calls, std::vector<std::string>{"m"});
}
