#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "testing/bounded_task.hpp"
#include "wiring/container.hpp"

using namespace std::chrono_literals;

using wiring::Container;
using wiring::Factory;

namespace {

struct Service {
  int id;
};

std::atomic<int> made{0};

Factory<std::shared_ptr<Service>> plain() {
  return Factory<std::shared_ptr<Service>>("plain", [] { return std::make_shared<Service>(Service{++made}); });
}
Factory<std::shared_ptr<Service>> cached() {
  return Factory<std::shared_ptr<Service>>("cached", [] { return std::make_shared<Service>(Service{++made}); })
      .cached();
}

class ContainerTest : public ::testing::Test {
 protected:
  Container container;
  Container::Scope scope{container};
};

}  // namespace

TEST_F(ContainerTest, UnscopedKeyMakesANewValueEachTime) {
  EXPECT_NE(plain().resolve(), plain().resolve());
}

TEST_F(ContainerTest, CachedKeyKeepsItsValueUntilReRegistered) {
  auto first = cached().resolve();
  EXPECT_EQ(cached().resolve(), first);
  cached().register_([] { return std::make_shared<Service>(Service{-1}); });
  auto second = cached().resolve();
  EXPECT_NE(second, first);  // the value cached under the earlier maker is not given out again
  EXPECT_EQ(second->id, -1);
  EXPECT_EQ(cached().resolve(), second);
}

TEST_F(ContainerTest, RegistrationReplacesTheDefaultForUnscopedKeys) {
  plain().register_([] { return std::make_shared<Service>(Service{99}); });
  EXPECT_EQ(plain().resolve()->id, 99);
}

TEST_F(ContainerTest, SingletonIsMadeOnceAcrossContainers) {
  auto singleton = Factory<std::shared_ptr<Service>>("single", [] { return std::make_shared<Service>(Service{7}); })
                       .singleton();
  auto a = singleton.resolve();
  Container other;
  {
    Container::Scope inner(other);
    EXPECT_EQ(singleton.resolve(), a);
  }
  singleton.register_([] { return std::make_shared<Service>(Service{8}); });
  EXPECT_EQ(singleton.resolve()->id, 8);
}

TEST_F(ContainerTest, ScopedContainersDoNotShareState) {
  cached().register_([] { return std::make_shared<Service>(Service{1000}); });
  Container other;
  {
    Container::Scope inner(other);
    EXPECT_NE(cached().resolve()->id, 1000);
  }
  EXPECT_EQ(cached().resolve()->id, 1000);
  EXPECT_EQ(&Container::shared(), &container);
}

TEST_F(ContainerTest, MakerMayResolveOtherKeys) {
  auto outer = Factory<int>("outer", [] { return cached().resolve()->id + 1000; }).cached();
  EXPECT_EQ(outer.resolve(), cached().resolve()->id + 1000);
}

TEST_F(ContainerTest, PropagatingCarriesTheBindingToAnotherThread) {
  cached().register_([] { return std::make_shared<Service>(Service{555}); });
  std::promise<int> seen;
  std::thread t(Container::propagating([&] { seen.set_value(cached().resolve()->id); }));
  t.join();
  EXPECT_EQ(seen.get_future().get(), 555);
}

TEST(ContainerConcurrency, CachedKeyMakesOneValueUnderContention) {
  Container container;
  Container::Scope scope(container);
  std::atomic<int> makes{0};
  auto factory = Factory<std::shared_ptr<Service>>("contended", [&] {
    ++makes;
    return std::make_shared<Service>(Service{1});
  }).cached();
  constexpr int kThreads = 16;
  std::latch start(kThreads);
  std::vector<std::shared_ptr<Service>> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(Container::propagating([&, i] {
      start.arrive_and_wait();
      results[i] = factory.resolve();
    }));
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(makes.load(), 1);
  for (auto& r : results) EXPECT_EQ(r, results[0]);
}

// A maker may wait for another thread that resolves other keys of the same container (the main queue doing
// work for it, say): makers run outside the container's lock, so that thread is not blocked.
TEST(ContainerConcurrency, MakerMayWaitForAnotherThreadResolvingOtherKeys) {
  Container container;
  Container::Scope scope(container);
  auto inner = Factory<int>("inner", [] { return 41; }).cached();
  auto outer = Factory<int>("outer", [&] {
    std::promise<int> fromOtherThread;
    std::thread other(Container::propagating([&] { fromOtherThread.set_value(inner.resolve()); }));
    const int value = fromOtherThread.get_future().get() + 1;
    other.join();
    return value;
  }).cached();
  const auto value = testing_support::runWithin(10s, [&] {
    Container::Scope bound(container);
    return outer.resolve();
  });
  ASSERT_TRUE(value) << "the maker deadlocked with the container";
  EXPECT_EQ(*value, 42);
}

// Concurrent first resolutions of a slow maker share one value, while other keys resolve meanwhile.
TEST(ContainerConcurrency, SlowMakerBlocksOnlyItsOwnKey) {
  Container container;
  Container::Scope scope(container);
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<int> makes{0};
  std::latch making(1);
  auto slow = Factory<std::shared_ptr<Service>>("slow", [&] {
    ++makes;
    making.count_down();
    released.wait();
    return std::make_shared<Service>(Service{1});
  }).cached();
  auto first = testing_support::launch(Container::propagating([&] { (void)slow.resolve(); }));
  making.wait();
  auto second = testing_support::launch(Container::propagating([&] { (void)slow.resolve(); }));
  EXPECT_TRUE(testing_support::runWithin(10s, Container::propagating([&] { (void)cached().resolve(); })))
      << "another key waited for the slow maker";
  release.set_value();
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(makes.load(), 1);
}

TEST_F(ContainerTest, MakerResolvingItsOwnKeyIsRefused) {
  Factory<int> selfish("selfish", [] { return 0; });
  selfish = Factory<int>("selfish", [&] { return selfish.resolve() + 1; }).cached();
  EXPECT_THROW(selfish.resolve(), std::logic_error);
}

// A re-registration while the earlier maker of a singleton runs: that maker's caller gets its value, but the
// value is not given out again; the next resolution makes one with the new maker.
TEST(ContainerConcurrency, SingletonOfAReplacedMakerIsNotGivenOutAgain) {
  Container container;
  Container::Scope scope(container);
  std::promise<void> release;
  auto released = release.get_future().share();
  std::latch making(1);
  auto singleton = Factory<std::shared_ptr<Service>>("singleton-replaced-while-made", [&] {
    making.count_down();
    released.wait();
    return std::make_shared<Service>(Service{1});
  }).singleton();
  std::atomic<int> firstID{0};
  auto first = testing_support::launch(Container::propagating([&] { firstID = singleton.resolve()->id; }));
  making.wait();
  singleton.register_([] { return std::make_shared<Service>(Service{2}); });
  release.set_value();
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(firstID.load(), 1);
  const auto next = singleton.resolve();
  EXPECT_EQ(next->id, 2);
  EXPECT_EQ(singleton.resolve(), next);
}
