#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/notification_center.hpp"

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
