// Callback queues, delegate slots, key hashing, expirations and the size helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "foundation/main_queue.hpp"
#include "foundation/result.hpp"
#include "test_clock.hpp"
#include "vellum/general/cache_key.hpp"
#include "vellum/general/callback_queue.hpp"
#include "vellum/general/delegate.hpp"
#include "vellum/general/size_helpers.hpp"
#include "vellum/cache/storage_expiration.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;

// Runs `queue.execute` on or off the main queue; answers whether the block had run when execute returned,
// and whether it ran on the main queue.
std::pair<bool, bool> execute(const CallbackQueue& queue, bool fromMain) {
  std::promise<bool> onMain;
  auto ranOnMain = onMain.get_future();
  std::atomic<bool> ran{false};
  auto call = [&] {
    queue.execute([&] {
      ran = true;
      onMain.set_value(foundation::MainQueue::isCurrent());
    });
    return ran.load();
  };
  const bool before = fromMain ? foundation::MainQueue::sync(call) : call();
  const bool ready = ranOnMain.wait_for(10s) == std::future_status::ready;
  EXPECT_TRUE(ready);
  return {before, ready && ranOnMain.get()};
}

TEST(CallbackQueueCases, WhereAndWhenBlocksRun) {
  EXPECT_EQ(execute(CallbackQueue::mainCurrentOrAsync(), true), std::pair(true, true));
  EXPECT_TRUE(execute(CallbackQueue::mainCurrentOrAsync(), false).second);
  EXPECT_EQ(execute(CallbackQueue::mainAsync(), true), std::pair(false, true));  // defers even on main
  EXPECT_EQ(execute(CallbackQueue::untouch(), false), std::pair(true, false));

  auto queue = std::make_shared<foundation::SerialQueue>("com.marrowby.Vellum.test");
  std::promise<bool> onQueue;
  auto f = onQueue.get_future();
  CallbackQueue::dispatch(queue).execute([&] { onQueue.set_value(queue->isCurrent()); });
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(f.get());
}

// An answer handed to a handler that passes it to another thread is that thread's alone: the queue's thread
// keeps no copy to release later (a late release of an exception races with the reader, under ThreadSanitizer).
TEST(CallbackQueueConcurrency, DeliveredAnswersAreHandedOverWhole) {
  using Answer = foundation::Result<std::shared_ptr<int>, std::exception_ptr>;
  // Delivers `answer` to a handler that passes it here and stays until `look` has looked at it, so that a
  // copy the queue kept would still be there.
  const auto receive = [](const CallbackQueue& queue, Answer answer, const std::function<void(Answer)>& look) {
    std::promise<Answer> passed;
    std::promise<void> looked;
    queue.deliver([&passed, lookedAt = looked.get_future().share()](Answer a) {
      passed.set_value(std::move(a));
      lookedAt.wait_for(10s);
    }, std::move(answer));
    auto future = passed.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    look(future.get());
    looked.set_value();
  };
  auto serial = std::make_shared<foundation::SerialQueue>("com.marrowby.Vellum.test.deliver");
  for (const auto& queue : {CallbackQueue::dispatch(serial), CallbackQueue::dispatchConcurrent(), CallbackQueue::mainAsync()}) {
    for (int i = 0; i < 20; ++i) {
      receive(queue, Answer::success(std::make_shared<int>(i)),
              [](Answer a) { EXPECT_EQ(a.value().use_count(), 1); });
      receive(queue, Answer::failure(std::make_exception_ptr(std::runtime_error(std::string(64, 'e')))), [](Answer a) {
        try {
          std::rethrow_exception(a.error());
        } catch (const std::runtime_error& e) {
          EXPECT_EQ(std::string(e.what()), std::string(64, 'e'));
        }
      });
    }
  }
}

TEST(DelegateSlot, WeakTarget) {
  Delegate<int, std::string> slot;
  EXPECT_EQ(slot(1), std::nullopt);
  auto owner = std::make_shared<std::string>("owner");
  int calls = 0;
  slot.delegate(owner, [&calls](std::string& o, int v) -> std::optional<std::string> {
    ++calls;
    return o + std::to_string(v);
  });
  EXPECT_EQ(slot.call(7), "owner7");
  // The slot does not keep its target alive; once gone, the block is not called.
  std::weak_ptr<std::string> weak = owner;
  owner.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(slot(8), std::nullopt);
  EXPECT_EQ(calls, 1);

  // A block that replaces itself while it runs finishes with what it holds: a call keeps the block it took.
  Delegate<int, std::string> replaced;
  auto state = std::make_shared<std::string>("first");
  replaced.setBlock([&replaced, state](int v) -> std::optional<std::string> {
    replaced.setBlock([](int w) -> std::optional<std::string> { return "second" + std::to_string(w); });
    return *state + std::to_string(v);
  });
  state.reset();
  EXPECT_EQ(replaced(1), "first1");
  EXPECT_EQ(replaced(2), "second2");
  EXPECT_TRUE(replaced.isSet());
  replaced.setBlock(nullptr);
  EXPECT_FALSE(replaced.isSet());
  EXPECT_EQ(replaced(3), std::nullopt);
}

TEST(CacheKeys, DigestAndFileExtension) {
  EXPECT_EQ(sha256HexDigest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256HexDigest(std::string("\xff\x00", 2)).size(), 64u);  // not cut at the NUL

  const std::pair<std::string, std::optional<std::string>> table[] = {
      {"photo.png", "png"}, {"a.b.jpeg", "jpeg"}, {"icon.png@2x", "png"}, {"@@icon.gif@x.y", "gif"},
      {"https://x.org/a.webp", "webp"}, {"noextension", std::nullopt}, {"ends.", std::nullopt}, {"", std::nullopt},
      {"@@@", std::nullopt}, {"a.png/b", std::nullopt}, {"a.png?w=2", std::nullopt}, {"bad.\xff\xfe", std::nullopt},
      {"a." + std::string(21, 'x'), std::nullopt}, {"a." + std::string(20, '9'), std::string(20, '9')},
      {"bild.\xc3\xa4pfel", "\xc3\xa4pfel"}};  // letters beyond ASCII count
  for (const auto& [key, extension] : table) EXPECT_EQ(cacheFileExtension(key), extension) << key;
}

using Expiration = test::FixedClockTest;

TEST_F(Expiration, DatesExpiredValuesAndSaturation) {
  const Date now = foundation::Clock::now();
  EXPECT_EQ(StorageExpiration::days(7).estimatedExpirationSinceNow() - now, std::chrono::seconds(604800));
  EXPECT_EQ(StorageExpiration::seconds(1.5).estimatedExpirationSinceNow() - now, std::chrono::milliseconds(1500));
  EXPECT_EQ(StorageExpiration::never().estimatedExpirationSinceNow(), distantFuture());
  EXPECT_EQ(StorageExpiration::expired().estimatedExpirationSinceNow(), distantPast());

  for (const auto& e : {StorageExpiration::seconds(0), StorageExpiration::seconds(-3), StorageExpiration::days(0),
                        StorageExpiration::expired(), StorageExpiration::date(now),
                        StorageExpiration::date(now - 1s), StorageExpiration::seconds(std::nan("")),
                        StorageExpiration::days(std::numeric_limits<std::int64_t>::min())}) {
    EXPECT_TRUE(e.isExpired());
  }
  EXPECT_FALSE(StorageExpiration::never().isExpired());
  EXPECT_FALSE(StorageExpiration::date(now + 1s).isExpired());
  EXPECT_FALSE(StorageExpiration::days(1).isExpired());

  // Huge values saturate instead of overflowing.
  for (const auto& e : {StorageExpiration::days(std::numeric_limits<std::int64_t>::max()),
                        StorageExpiration::days(200'000'000'000'000LL), StorageExpiration::seconds(1e300),
                        StorageExpiration::seconds(std::numeric_limits<double>::infinity())}) {
    EXPECT_EQ(e.estimatedExpirationSinceNow(), distantFuture());
  }
  EXPECT_EQ(StorageExpiration::seconds(-1e300).estimatedExpirationSinceNow(), distantPast());
  EXPECT_GT(distantFuture(), now + std::chrono::hours(24 * 365 * 200));

  // Equal values hash alike, -0 included.
  EXPECT_EQ(StorageExpiration::seconds(0.0), StorageExpiration::seconds(-0.0));
  EXPECT_EQ(StorageExpiration::seconds(0.0).hash(), StorageExpiration::seconds(-0.0).hash());
  EXPECT_NE(StorageExpiration::seconds(86400), StorageExpiration::days(1));
  std::unordered_set<StorageExpiration> set{StorageExpiration::days(1), StorageExpiration::days(1),
                                            StorageExpiration::never()};
  EXPECT_EQ(set.size(), 2u);
}

TEST(SizeHelpers, FitFillResizeAndCrop) {
  EXPECT_EQ(constrained({200, 100}, {100, 100}), (Size{100, 50}));
  EXPECT_EQ(filling({200, 100}, {100, 100}), (Size{200, 100}));
  EXPECT_EQ(constrained({100, 200}, {100, 100}), (Size{50, 100}));
  EXPECT_EQ(constrained({50, 0}, {100, 30.5}), (Size{31, 30.5}));  // height 0: ratio 1
  EXPECT_EQ(constrained({3, 2}, {100, 5}), (Size{8, 5}));          // halves round away from zero
  EXPECT_EQ(resize({200, 100}, {30, 90}, ContentMode::none), (Size{30, 90}));
  EXPECT_EQ(resize({200, 100}, {100, 100}, ContentMode::aspectFit), (Size{100, 50}));
  EXPECT_EQ(resize({200, 100}, {100, 100}, ContentMode::aspectFill), (Size{200, 100}));

  EXPECT_EQ(constrainedRect({200, 100}, {100, 50}, {0.5, 0.5}), (Rect{{50, 25}, {100, 50}}));
  EXPECT_EQ(constrainedRect({200, 100}, {100, 50}, {-1, 2}), (Rect{{0, 50}, {100, 50}}));
  EXPECT_EQ(constrainedRect({200, 100}, {300, 50}, {0, 0}), (Rect{{0, 0}, {200, 50}}));
  EXPECT_TRUE(intersection(Rect{{0, 0}, {1, 1}}, Rect{{5, 5}, {1, 1}}).isNull());
}

TEST(SizeHelpers, RoundedRectPath) {
  EXPECT_TRUE(RoundedRectPath::make(Rect{{0, 0}, {0, 10}}, {RectCorner::all}, 3).isEmpty());
  const Rect rect{{0, 0}, {100, 40}};
  auto path = RoundedRectPath::make(rect, {RectCorner::topLeft | RectCorner::bottomRight}, 30);
  const auto& e = path.elements();
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e[0], (PathElement{PathElement::Kind::moveTo, {50, 40}, {}, 0}));
  // Order: top-left, bottom-left, bottom-right, top-right; radii capped at half the shorter side.
  const std::pair<Point, double> corners[] = {{{0, 40}, 20}, {{0, 0}, 0}, {{100, 0}, 20}, {{100, 40}, 0}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(e[i + 1].point, corners[i].first) << i;
    EXPECT_EQ(e[i + 1].radius, corners[i].second) << i;
  }
  EXPECT_EQ(e[3].toward, (Point{100, 40}));
  EXPECT_EQ(e[5].kind, PathElement::Kind::close);
  auto square = RoundedRectPath::make(rect, {RectCorner::all}, -5);
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(square.elements()[i].radius, 0);
}

}  // namespace
}  // namespace vellum
