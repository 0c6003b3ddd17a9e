#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testing/bounded_task.hpp"
#include "wiring/container.hpp"

using namespace std::chrono_literals;

using wiring::Container;
using wiring::Factory;

namespace {

constexpr auto kDeadline = 10s;

struct Service {
  int id;
};

// Singletons are the process's: a key of a run before this one (under --gtest_repeat) would still hold that
// run's value. Each run's singleton keys are its own.
std::string singletonKey(const std::string& name) {
  static std::atomic<int> runs{0};
  return name + "#" + std::to_string(++runs);
}

// A default maker that counts its calls and numbers its values 1, 2, 3, ... so each test knows what to expect.
struct CountingMaker {
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  std::function<std::shared_ptr<Service>()> maker() const {
    return [calls = calls] { return std::make_shared<Service>(Service{++*calls}); };
  }
  int count() const { return calls->load(); }
};

class ContainerTest : public ::testing::Test {
 protected:
  Container container;
  Container::Scope scope{container};
  CountingMaker made;
  Factory<std::shared_ptr<Service>> plain() const { return {"plain", made.maker()}; }
  Factory<std::shared_ptr<Service>> cached() const {
    return Factory<std::shared_ptr<Service>>("cached", made.maker()).cached();
  }
};

}  // namespace

TEST_F(ContainerTest, UnscopedKeyMakesANewValueEachTime) {
  EXPECT_EQ(plain().resolve()->id, 1);
  EXPECT_EQ(plain().resolve()->id, 2);
  EXPECT_EQ(made.count(), 2);
}

TEST_F(ContainerTest, CachedKeyKeepsItsValueUntilReRegistered) {
  auto first = cached().resolve();
  EXPECT_EQ(cached().resolve(), first);
  EXPECT_EQ(made.count(), 1);
  cached().register_([] { return std::make_shared<Service>(Service{-1}); });
  auto second = cached().resolve();
  EXPECT_EQ(second->id, -1);  // the value cached under the earlier maker is not given out again
  EXPECT_EQ(cached().resolve(), second);
  EXPECT_EQ(made.count(), 1);
}

TEST_F(ContainerTest, RegistrationReplacesTheDefaultForUnscopedKeys) {
  plain().register_([] { return std::make_shared<Service>(Service{99}); });
  EXPECT_EQ(plain().resolve()->id, 99);
  EXPECT_EQ(made.count(), 0);
}

TEST_F(ContainerTest, SingletonIsMadeOnceAcrossContainers) {
  auto singleton = Factory<std::shared_ptr<Service>>(singletonKey("single"), made.maker()).singleton();
  auto a = singleton.resolve();
  Container other;
  {
    Container::Scope inner(other);
    EXPECT_EQ(singleton.resolve(), a);
  }
  EXPECT_EQ(made.count(), 1);
  singleton.register_([] { return std::make_shared<Service>(Service{8}); });
  EXPECT_EQ(singleton.resolve()->id, 8);
}

TEST_F(ContainerTest, ScopedContainersDoNotShareState) {
  cached().register_([] { return std::make_shared<Service>(Service{1000}); });
  Container other;
  {
    Container::Scope inner(other);
    EXPECT_EQ(cached().resolve()->id, 1);  // the default maker's first value
  }
  EXPECT_EQ(cached().resolve()->id, 1000);
  EXPECT_EQ(&Container::shared(), &container);
}

TEST_F(ContainerTest, MakerMayResolveOtherKeys) {
  cached().register_([] { return std::make_shared<Service>(Service{41}); });
  auto outer = Factory<int>("outer", [this] { return cached().resolve()->id + 1000; }).cached();
  EXPECT_EQ(outer.resolve(), 1041);
}

TEST_F(ContainerTest, PropagatingCarriesTheBindingToAnotherThread) {
  cached().register_([] { return std::make_shared<Service>(Service{555}); });
  std::promise<int> seen;
  std::thread t(Container::propagating([&] { seen.set_value(cached().resolve()->id); }));
  t.join();
  EXPECT_EQ(seen.get_future().get(), 555);
}

// A reset drops registrations and cached values: the default maker makes the next value.
TEST_F(ContainerTest, ResetReturnsToTheDefaultMakers) {
  cached().register_([] { return std::make_shared<Service>(Service{7}); });
  EXPECT_EQ(cached().resolve()->id, 7);
  container.reset();
  EXPECT_EQ(cached().resolve()->id, 1);
  EXPECT_EQ(cached().resolve()->id, 1);
}

TEST(ContainerConcurrency, CachedKeyMakesOneValueUnderContention) {
  Container container;
  Container::Scope scope(container);
  CountingMaker made;
  auto factory = Factory<std::shared_ptr<Service>>("contended", made.maker()).cached();
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
  EXPECT_EQ(made.count(), 1);
  for (auto& r : results) EXPECT_EQ(r->id, 1);
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
  const auto value = testing_support::runWithin(kDeadline, [&] {
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
  std::promise<void> release, making;
  auto released = release.get_future().share();
  std::atomic<int> makes{0};
  auto slow = Factory<std::shared_ptr<Service>>("slow", [&] {
    if (++makes == 1) making.set_value();
    released.wait_for(kDeadline);
    return std::make_shared<Service>(Service{1});
  }).cached();
  auto resolveSlow = [&] {
    Container::Scope bound(container);
    return slow.resolve()->id;
  };
  auto first = testing_support::launch(resolveSlow);
  ASSERT_EQ(making.get_future().wait_for(kDeadline), std::future_status::ready);
  auto second = testing_support::launch(resolveSlow);
  auto other = Factory<int>("other", [] { return 5; }).cached();
  EXPECT_EQ(testing_support::runWithin(kDeadline, Container::propagating([&] { (void)other.resolve(); })), true)
      << "another key waited for the slow maker";
  release.set_value();
  ASSERT_EQ(first.wait_for(kDeadline), std::future_status::ready);
  ASSERT_EQ(second.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(first.get(), 1);
  EXPECT_EQ(second.get(), 1);
  EXPECT_EQ(makes.load(), 1);
}

// A re-registration while the earlier maker of a singleton runs: that maker's caller gets its value, but the
// value is not given out again; the next resolution makes one with the new maker.
TEST(ContainerConcurrency, SingletonOfAReplacedMakerIsNotGivenOutAgain) {
  Container container;
  Container::Scope scope(container);
  std::promise<void> release, making;
  auto released = release.get_future().share();
  auto singleton = Factory<std::shared_ptr<Service>>(singletonKey("singleton-replaced-while-made"), [&] {
    making.set_value();
    released.wait_for(kDeadline);
    return std::make_shared<Service>(Service{1});
  }).singleton();
  auto first = testing_support::launch([&] {
    Container::Scope bound(container);
    return singleton.resolve()->id;
  });
  ASSERT_EQ(making.get_future().wait_for(kDeadline), std::future_status::ready);
  singleton.register_([] { return std::make_shared<Service>(Service{2}); });
  release.set_value();
  ASSERT_EQ(first.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(first.get(), 1);
  const auto next = singleton.resolve();
  EXPECT_EQ(next->id, 2);
  EXPECT_EQ(singleton.resolve(), next);
}

// Sixteen threads resolve while another re-registers a cached and a singleton key every 20 ms: each
// registration's maker (the default one included) runs at most once, so each gives one value, and every
// value a resolver gets comes from a registration that was made.
TEST(ContainerConcurrency, OneRegistrationGivesOneValuePerScopeWhateverTheThreadsDo) {
  Container container;
  Container::Scope scope(container);
  constexpr int kRegistrations = 40, kResolvers = 16;
  // calls[scope][registration]: how often that registration's maker ran. Registration 0 is the default maker.
  std::vector<std::vector<std::atomic<int>>> calls(2);
  for (auto& perScope : calls) perScope = std::vector<std::atomic<int>>(kRegistrations + 1);
  auto makerOf = [&](int scopeIndex, int registration) {
    return [&, scopeIndex, registration] {
      ++calls[std::size_t(scopeIndex)][std::size_t(registration)];
      return std::make_shared<Service>(Service{registration});
    };
  };
  const auto cached = Factory<std::shared_ptr<Service>>("reregistered-cached", makerOf(0, 0)).cached();
  const auto singleton =
      Factory<std::shared_ptr<Service>>(singletonKey("reregistered-singleton"), makerOf(1, 0)).singleton();
  std::atomic<bool> stop{false};
  std::atomic<int> badValues{0};
  std::vector<testing_support::BoundedTask<void>> resolvers;
  for (int i = 0; i < kResolvers; ++i) {
    resolvers.push_back(testing_support::launch(Container::propagating([&] {
      while (!stop) {
        for (const auto* factory : {&cached, &singleton}) {
          const int id = factory->resolve()->id;
          if (id < 0 || id > kRegistrations) ++badValues;
        }
      }
    })));
  }
  for (int registration = 1; registration <= kRegistrations; ++registration) {
    std::this_thread::sleep_for(20ms);  // the pace of the re-registrations, not a wait for an event
    cached.register_(makerOf(0, registration));
    singleton.register_(makerOf(1, registration));
  }
  stop = true;
  for (auto& resolver : resolvers) ASSERT_EQ(resolver.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(badValues.load(), 0);
  for (int scopeIndex = 0; scopeIndex < 2; ++scopeIndex) {
    for (int registration = 0; registration <= kRegistrations; ++registration) {
      EXPECT_LE(calls[std::size_t(scopeIndex)][std::size_t(registration)].load(), 1)
          << (scopeIndex == 0 ? "cached" : "singleton") << " registration " << registration;
    }
  }
}

// A maker that needs its own key, directly or through other keys of any scope, gets std::logic_error instead
// of recursing until the stack runs out.
TEST_F(ContainerTest, CyclesOfEveryScopeAreRefused) {
  Factory<int> a("cycle-a", [] { return 0; }), b("cycle-b", [] { return 0; });
  a = Factory<int>("cycle-a", [&] { return b.resolve() + 1; });
  b = Factory<int>("cycle-b", [&] { return a.resolve() + 1; });
  EXPECT_THROW(a.resolve(), std::logic_error);

  Factory<int> selfish("selfish", [] { return 0; });
  selfish = Factory<int>("selfish", [&] { return selfish.resolve() + 1; }).cached();
  EXPECT_THROW(selfish.resolve(), std::logic_error);

  const std::string lonelyKey = singletonKey("lonely-singleton");
  Factory<int> lonely(lonelyKey, [] { return 0; });
  lonely = Factory<int>(lonelyKey, [&] { return lonely.resolve() + 1; }).singleton();
  EXPECT_THROW(lonely.resolve(), std::logic_error);

  // Unscoped -> cached -> singleton -> unscoped again.
  const std::string zKey = singletonKey("mixed-z");
  Factory<int> x("mixed-x", [] { return 0; }), y("mixed-y", [] { return 0; }), z(zKey, [] { return 0; });
  x = Factory<int>("mixed-x", [&] { return y.resolve(); });
  y = Factory<int>("mixed-y", [&] { return z.resolve(); }).cached();
  z = Factory<int>(zKey, [&] { return x.resolve(); }).singleton();
  try {
    x.resolve();
    ADD_FAILURE() << "the cycle was not refused";
  } catch (const std::logic_error& error) {
    EXPECT_NE(std::string(error.what()).find("mixed-x"), std::string::npos) << error.what();
  }
  // The keys are free again afterwards: a maker that no longer cycles resolves.
  z.register_([] { return 3; });
  EXPECT_EQ(x.resolve(), 3);
}

// A cached maker that resolves its own key through work it hands on and waits for outside the container (as
// through the main queue's sync) cannot be seen as a cycle: the other thread's resolution gives up when the
// wait runs out, and the maker fails with it instead of hanging.
TEST_F(ContainerTest, AMakerResolvingItsOwnKeyThroughAnotherThreadFails) {
  struct RestoreWait {
    ~RestoreWait() { Container::setMakerWait(Container::kMakerWait); }
  } restore;
  Container::setMakerWait(std::chrono::milliseconds(50));
  Factory<int> looped("looped", [] { return 0; });
  looped = Factory<int>("looped", [&] {
    auto other = std::async(std::launch::async, Container::propagating([&] { (void)looped.resolve(); }));
    other.get();  // rethrows what the other thread's resolution threw
    return 1;
  }).cached();
  const auto outcome = testing_support::runWithin(kDeadline, [&]() -> std::string {
    Container::Scope bound(container);
    try {
      looped.resolve();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "resolved";
  });
  ASSERT_TRUE(outcome.has_value()) << "the resolution hung";
  EXPECT_NE(outcome->find("did not finish in time"), std::string::npos) << *outcome;
}

// Another thread's maker slower than the wait is no cycle: the waiter is told the maker did not finish in
// time, and one that waits long enough gets the slow maker's value.
TEST_F(ContainerTest, ASlowMakerOnAnotherThreadIsNotACycle) {
  struct RestoreWait {
    ~RestoreWait() { Container::setMakerWait(Container::kMakerWait); }
  } restore;
  std::promise<void> making, finish;
  auto release = finish.get_future().share();
  Factory<int> slow("slow", [] { return 0; });
  slow = Factory<int>("slow", [&] {
    making.set_value();
    release.wait_for(kDeadline);
    return 7;
  }).cached();
  auto resolveBound = [this, &slow]() -> std::string {
    Container::Scope bound(container);
    try {
      return std::to_string(slow.resolve());
    } catch (const std::exception& error) {
      return error.what();
    }
  };
  auto maker = testing_support::launch(resolveBound);
  ASSERT_EQ(making.get_future().wait_for(kDeadline), std::future_status::ready);
  Container::setMakerWait(std::chrono::milliseconds(20));
  auto impatient = testing_support::launch(resolveBound);
  ASSERT_EQ(impatient.wait_for(kDeadline), std::future_status::ready);
  const std::string refusal = impatient.get();
  EXPECT_NE(refusal.find("did not finish in time"), std::string::npos) << refusal;
  EXPECT_EQ(refusal.find("own"), std::string::npos) << "a slow maker was taken for a cycle: " << refusal;
  Container::setMakerWait(Container::kMakerWait);
  auto patient = testing_support::launch(resolveBound);
  // A wait past the clock's range is no limit at all, not one that has run out already.
  Container::setMakerWait(std::chrono::milliseconds::max());
  auto unbounded = testing_support::launch(resolveBound);
  finish.set_value();
  ASSERT_EQ(maker.wait_for(kDeadline), std::future_status::ready);
  ASSERT_EQ(patient.wait_for(kDeadline), std::future_status::ready);
  ASSERT_EQ(unbounded.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(maker.get(), "7");
  EXPECT_EQ(patient.get(), "7");
  EXPECT_EQ(unbounded.get(), "7");
}

// Two threads whose makers each wait in the container for the other's key: the second to wait is told at once
// that the wait would never end, rather than after the bound on waiting for a thread outside the container.
TEST_F(ContainerTest, TwoMakersWaitingForEachOthersKeysFail) {
  std::promise<void> aMaking, bMaking;
  auto aStarted = aMaking.get_future().share(), bStarted = bMaking.get_future().share();
  std::once_flag aOnce, bOnce;  // after the refusal, a maker runs again on the other thread
  Factory<int> a("crossed-a", [] { return 0; }), b("crossed-b", [] { return 0; });
  a = Factory<int>("crossed-a", [&] {
    std::call_once(aOnce, [&] { aMaking.set_value(); });
    bStarted.wait_for(kDeadline);
    return b.resolve() + 1;
  }).cached();
  b = Factory<int>("crossed-b", [&] {
    std::call_once(bOnce, [&] { bMaking.set_value(); });
    aStarted.wait_for(kDeadline);
    return a.resolve() + 1;
  }).cached();
  auto refusal = [this](const Factory<int>& factory) {
    return [&factory, this]() -> std::string {
      Container::Scope bound(container);
      try {
        factory.resolve();
      } catch (const std::logic_error& error) {
        return error.what();
      }
      return "resolved";
    };
  };
  auto first = testing_support::launch(refusal(a));
  auto second = testing_support::launch(refusal(b));
  ASSERT_EQ(first.wait_for(kDeadline), std::future_status::ready);
  ASSERT_EQ(second.wait_for(kDeadline), std::future_status::ready);
  for (const std::string& outcome : {first.get(), second.get()}) {
    EXPECT_NE(outcome.find("wiring: "), std::string::npos) << outcome;
    EXPECT_EQ(outcome.find("in time"), std::string::npos) << "refused only after the wait ran out";
  }
}

// A thread that has made a value is no longer waited for: here one thread makes a key that another thread's
// maker waits for and then, done with it, resolves that other thread's key and waits for it in turn. No cycle:
// both get their values, however the two threads interleave (so the scenario is run many times).
TEST(ContainerConcurrency, AThreadDoneMakingIsNotTakenForOneThatWaits) {
  for (int run = 0; run < 500; ++run) {
    Container container;
    std::promise<void> dependencyMaking, dependentAsking;
    auto asking = dependentAsking.get_future().share();
    auto dependency = Factory<int>("dependency", [&] {
      dependencyMaking.set_value();
      asking.wait_for(kDeadline);
      return 1;
    }).cached();
    auto dependent = Factory<int>("dependent", [&] {
      dependentAsking.set_value();
      return dependency.resolve() + 1;
    }).cached();
    auto resolveBoth = testing_support::launch([&] {
      Container::Scope bound(container);
      const int made = dependency.resolve();
      return std::make_pair(made, dependent.resolve());
    });
    ASSERT_EQ(dependencyMaking.get_future().wait_for(kDeadline), std::future_status::ready);
    const auto here = testing_support::runWithin(kDeadline, [&] {
      Container::Scope bound(container);
      return dependent.resolve();
    });
    ASSERT_EQ(resolveBoth.wait_for(kDeadline), std::future_status::ready);
    ASSERT_EQ(resolveBoth.get(), std::make_pair(1, 2)) << "run " << run;
    ASSERT_EQ(here, 2) << "run " << run;
  }
}

// A kept value whose copy runs application code that resolves again (a handle that asks the container for the
// registry it reports to, say): the container copies kept values with no lock held, in every scope.
TEST_F(ContainerTest, AValueWhoseCopyResolvesAgainIsGivenOut) {
  struct Handle {
    int id;
    explicit Handle(int made) : id(made) {}
    Handle(const Handle& other) : id(other.id) {
      (void)Factory<int>("registry", [] { return 7; }).cached().resolve();
      (void)Factory<int>("registry-singleton", [] { return 8; }).singleton().resolve();
    }
    Handle& operator=(const Handle&) = default;
  };
  for (const wiring::Scope scope : {wiring::Scope::cached, wiring::Scope::singleton}) {
    SCOPED_TRACE(scope == wiring::Scope::cached ? "cached" : "singleton");
    const std::string key = scope == wiring::Scope::cached ? "handle" : singletonKey("handle-singleton");
    Factory<Handle> handle(key, [] { return Handle(5); });
    handle = scope == wiring::Scope::cached ? handle.cached() : handle.singleton();
    const auto ids = testing_support::runWithin(kDeadline, [&] {
      Container::Scope bound(container);
      return std::make_pair(handle.resolve().id, handle.resolve().id);
    });
    ASSERT_TRUE(ids.has_value()) << "a resolution hung";
    EXPECT_EQ(*ids, std::make_pair(5, 5));
  }
}
