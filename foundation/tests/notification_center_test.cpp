#include <gtest/gtest.h>

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
