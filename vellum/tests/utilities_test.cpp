// Callback queues, delegate slots, cancellation tokens, key hashing, expirations and the size helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <unordered_set>
#include <future>

#include "foundation/main_queue.hpp"
#include "vellum/box.hpp"
#include "vellum/cache_key.hpp"
#include "vellum/callback_queue.hpp"
#include "vellum/cancellation_token.hpp"
#include "vellum/delegate.hpp"
#include "vellum/size_helpers.hpp"
#include "vellum/storage_expiration.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;

// Runs `queue.execute` from `where` and reports whether the block had run when execute returned, and
// whether it ran on the main queue.
struct Outcome {
  bool ranBeforeReturn;
  bool ranOnMain;
};

Outcome executeOnMain(const CallbackQueue& queue) {
  std::promise<bool> onMain;
  auto ranOnMain = onMain.get_future();
  const bool before = foundation::MainQueue::sync([&] {
    bool ran = false;
    queue.execute([&ran, &onMain] {
      ran = true;
      onMain.set_value(foundation::MainQueue::isCurrent());
    });
    return ran;
  });
  EXPECT_EQ(ranOnMain.wait_for(10s), std::future_status::ready);
  return {before, ranOnMain.get()};
}

Outcome executeOffMain(const CallbackQueue& queue) {
  std::promise<bool> onMain;
  auto ranOnMain = onMain.get_future();
  std::atomic<bool> ran{false};
  queue.execute([&] {
    ran = true;
    onMain.set_value(foundation::MainQueue::isCurrent());
  });
  const bool before = ran.load();
  EXPECT_EQ(ranOnMain.wait_for(10s), std::future_status::ready);
  return {before, ranOnMain.get()};
}

TEST(CallbackQueueCases, WhereAndWhenBlocksRun) {
  auto onMain = executeOnMain(CallbackQueue::mainCurrentOrAsync());
  EXPECT_TRUE(onMain.ranBeforeReturn);
  EXPECT_TRUE(onMain.ranOnMain);

  auto offMain = executeOffMain(CallbackQueue::mainCurrentOrAsync());
  EXPECT_TRUE(offMain.ranOnMain);

  // mainAsync defers even on the main queue.
  auto deferred = executeOnMain(CallbackQueue::mainAsync());
  EXPECT_FALSE(deferred.ranBeforeReturn);
  EXPECT_TRUE(deferred.ranOnMain);

  auto untouched = executeOffMain(CallbackQueue::untouch());
  EXPECT_TRUE(untouched.ranBeforeReturn);
  EXPECT_FALSE(untouched.ranOnMain);

  auto queue = std::make_shared<foundation::SerialQueue>("com.marrowby.Vellum.test");
  std::promise<bool> onQueue;
  auto f = onQueue.get_future();
  CallbackQueue::dispatch(queue).execute([&] { onQueue.set_value(queue->isCurrent()); });
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(f.get());

  struct Recording : CallbackOperationQueue {
    std::shared_ptr<foundation::SerialQueue> underlyingQueue() const override { return nullptr; }
    void addOperation(std::function<void()> op) override { ops.push_back(std::move(op)); }
    std::vector<std::function<void()>> ops;
  };
  auto recording = std::make_shared<Recording>();
  int calls = 0;
  CallbackQueue::operationQueue(recording).execute([&] { ++calls; });
  ASSERT_EQ(recording->ops.size(), 1u);
  EXPECT_EQ(calls, 0);
  recording->ops[0]();
  EXPECT_EQ(calls, 1);
}

TEST(DelegateSlot, WeakTargetAndEmptySlots) {
  Delegate<int, std::string> slot;
  EXPECT_FALSE(slot.isSet());
  EXPECT_EQ(slot(1), std::nullopt);

  struct Owner {
    std::string name = "owner";
  };
  auto owner = std::make_shared<Owner>();
  int calls = 0;
  slot.delegate(owner, [&calls](Owner& o, int v) -> std::optional<std::string> {
    ++calls;
    return o.name + std::to_string(v);
  });
  EXPECT_TRUE(slot.isSet());
  EXPECT_EQ(slot.call(7), "owner7");
  // The slot does not keep its target alive; once gone, the block is not called.
  std::weak_ptr<Owner> weak = owner;
  owner.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(slot(8), std::nullopt);
  EXPECT_EQ(calls, 1);

  // Filled without a block: set, but answers none.
  Delegate<int, int> noBlock;
  auto target = std::make_shared<int>(0);
  noBlock.delegate(target);
  EXPECT_TRUE(noBlock.isSet());
  EXPECT_EQ(noBlock(1), std::nullopt);

  // An optional output is flattened; no-argument forms for an empty input.
  Delegate<std::tuple<>, std::optional<int>> flat;
  static_assert(std::is_same_v<decltype(flat()), std::optional<int>>);
  EXPECT_EQ(flat(), std::nullopt);
  flat.delegate(target, [](int& t, std::tuple<>) -> std::optional<std::optional<int>> { return t + 5; });
  EXPECT_EQ(flat.call(), 5);

  Delegate<int, int> async;
  EXPECT_EQ(async.callAsync(1).get(), std::nullopt);
  async.delegateAsync(target, [](int& t, int v) -> std::optional<int> { return t + v * 2; });
  auto answer = async.callAsync(21);
  ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(answer.get(), 42);
  EXPECT_TRUE(async.isSet());
}

TEST(SmallHolders, TokenAndBoxes) {
  CancellationToken token;
  EXPECT_FALSE(token.isCancelled());
  token.cancel();
  token.cancel();
  EXPECT_TRUE(token.isCancelled());

  auto box = std::make_shared<Box<int>>(3);
  auto shared = box;
  shared->value = 4;
  EXPECT_EQ(box->value, 4);
  auto object = std::make_shared<int>(1);
  WeakBox<int> weak(object);
  EXPECT_TRUE(weak.value.lock());
  object.reset();
  EXPECT_FALSE(weak.value.lock());
}

TEST(CacheKeys, Sha256HexDigest) {
  for (std::string key : {std::string(), std::string("a"), std::string( "https://example.com/image.png"), std::string(1000, 'x'), std::string("\xff\x00", 2)}) {
    const auto digest = sha256HexDigest(key);
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_EQ(sha256HexDigest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CacheKeys, FileExtension) {
  EXPECT_EQ(cacheFileExtension("photo.png"), "png");
  EXPECT_EQ(cacheFileExtension("a.b.jpeg"), "jpeg");
  EXPECT_EQ(cacheFileExtension("icon.png@2x"), "png");
  EXPECT_EQ(cacheFileExtension("@@icon.gif@x.y"), "gif");
  EXPECT_EQ(cacheFileExtension("https://x.org/a.webp"), "webp");
  EXPECT_EQ(cacheFileExtension("noextension"), std::nullopt);
  EXPECT_EQ(cacheFileExtension("ends."), std::nullopt);
  EXPECT_EQ(cacheFileExtension(""), std::nullopt);
  EXPECT_EQ(cacheFileExtension("@@@"), std::nullopt);
  EXPECT_EQ(cacheFileExtension("a." + std::string(21, 'x')), std::nullopt);
  EXPECT_EQ(cacheFileExtension("a." + std::string(20, '9')), std::string(20, '9'));
  EXPECT_EQ(cacheFileExtension("a.png/b"), std::nullopt);
  EXPECT_EQ(cacheFileExtension("a.png?w=2"), std::nullopt);
  EXPECT_EQ(cacheFileExtension("bild.\xc3\xa4pfel"), "\xc3\xa4pfel");  // letters beyond ASCII count
  EXPECT_EQ(cacheFileExtension("bad.\xff\xfe"), std::nullopt);
}

class FixedClock : public ::testing::Test {
 protected:
  void SetUp() override {
    now_ = Date(std::chrono::seconds(1'800'000'000) + std::chrono::milliseconds(250));
    foundation::Clock::setSource([this] { return now_.load(); });
  }
  void TearDown() override { foundation::Clock::setSource(nullptr); }
  void advance(std::chrono::nanoseconds d) { now_ = now_.load() + std::chrono::duration_cast<Date::duration>(d); }
  std::atomic<Date> now_;
};

using Expiration = FixedClock;

TEST_F(Expiration, DatesAndExpiredValues) {
  const Date now = foundation::Clock::now();
  EXPECT_EQ(StorageExpiration::days(7).estimatedExpirationSinceNow() - now, std::chrono::seconds(604800));
  EXPECT_EQ(StorageExpiration::seconds(1.5).estimatedExpirationSinceNow() - now, std::chrono::milliseconds(1500));
  EXPECT_EQ(StorageExpiration::never().estimatedExpirationSinceNow(), distantFuture());
  EXPECT_EQ(StorageExpiration::expired().estimatedExpirationSinceNow(), distantPast());
  const Date fixed = now - std::chrono::hours(5);
  EXPECT_EQ(StorageExpiration::date(fixed).estimatedExpirationSinceNow(), fixed);

  EXPECT_TRUE(StorageExpiration::seconds(0).isExpired());
  EXPECT_TRUE(StorageExpiration::seconds(-3).isExpired());
  EXPECT_TRUE(StorageExpiration::days(0).isExpired());
  EXPECT_TRUE(StorageExpiration::expired().isExpired());
  EXPECT_FALSE(StorageExpiration::never().isExpired());
  EXPECT_TRUE(StorageExpiration::date(now).isExpired());
  EXPECT_TRUE(StorageExpiration::date(now - std::chrono::seconds(1)).isExpired());
  EXPECT_FALSE(StorageExpiration::date(now + std::chrono::seconds(1)).isExpired());
  EXPECT_FALSE(StorageExpiration::days(1).isExpired());
}

TEST_F(Expiration, HugeValuesSaturate) {
  EXPECT_EQ(StorageExpiration::days(std::numeric_limits<std::int64_t>::max()).estimatedExpirationSinceNow(),
            distantFuture());
  EXPECT_EQ(StorageExpiration::days(200'000'000'000'000LL).estimatedExpirationSinceNow(), distantFuture());
  EXPECT_EQ(StorageExpiration::seconds(1e300).estimatedExpirationSinceNow(), distantFuture());
  EXPECT_EQ(StorageExpiration::seconds(-1e300).estimatedExpirationSinceNow(), distantPast());
  EXPECT_EQ(StorageExpiration::seconds(std::numeric_limits<double>::infinity()).estimatedExpirationSinceNow(),
            distantFuture());
  EXPECT_TRUE(StorageExpiration::seconds(std::nan("")).isExpired());
  EXPECT_TRUE(StorageExpiration::days(std::numeric_limits<std::int64_t>::min()).isExpired());
  EXPECT_LT(distantPast(), foundation::Clock::now());
  EXPECT_GT(distantFuture(), foundation::Clock::now() + std::chrono::hours(24 * 365 * 200));
}

TEST(ExpirationValues, EqualityAndHashing) {
  EXPECT_EQ(StorageExpiration::seconds(0.0), StorageExpiration::seconds(-0.0));
  EXPECT_EQ(StorageExpiration::seconds(0.0).hash(), StorageExpiration::seconds(-0.0).hash());
  EXPECT_NE(StorageExpiration::seconds(86400), StorageExpiration::days(1));
  EXPECT_NE(StorageExpiration::never(), StorageExpiration::expired());
  EXPECT_NE(StorageExpiration::never().hash(), StorageExpiration::expired().hash());
  EXPECT_EQ(ExpirationExtending::expirationTime(StorageExpiration::days(2)),
            ExpirationExtending::expirationTime(StorageExpiration::days(2)));
  EXPECT_NE(ExpirationExtending::expirationTime(StorageExpiration::days(2)),
            ExpirationExtending::expirationTime(StorageExpiration::days(3)));
  EXPECT_NE(ExpirationExtending::none(), ExpirationExtending::cacheTime());
  std::unordered_set<StorageExpiration> set{StorageExpiration::days(1), StorageExpiration::days(1),
                                            StorageExpiration::never()};
  EXPECT_EQ(set.size(), 2u);
}

TEST(SizeHelpers, FitFillResizeAndCrop) {
  EXPECT_EQ(constrained({200, 100}, {100, 100}), (Size{100, 50}));
  EXPECT_EQ(filling({200, 100}, {100, 100}), (Size{200, 100}));
  EXPECT_EQ(constrained({100, 200}, {100, 100}), (Size{50, 100}));
  // Height 0: ratio 1, aspect width is the requested height rounded.
  EXPECT_EQ(constrained({50, 0}, {100, 30.5}), (Size{31, 30.5}));
  EXPECT_EQ(resize({200, 100}, {30, 90}, ContentMode::none), (Size{30, 90}));
  EXPECT_EQ(resize({200, 100}, {100, 100}, ContentMode::aspectFit), (Size{100, 50}));
  EXPECT_EQ(resize({200, 100}, {100, 100}, ContentMode::aspectFill), (Size{200, 100}));
  // Halves round away from zero.
  EXPECT_EQ(constrained({3, 2}, {100, 5}), (Size{8, 5}));  // 7.5 -> 8

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
  EXPECT_EQ(e[0].kind, PathElement::Kind::moveTo);
  EXPECT_EQ(e[0].point, (Point{50, 40}));
  // Order: top-left, bottom-left, bottom-right, top-right; radii capped at half the shorter side.
  EXPECT_EQ(e[1].point, (Point{0, 40}));
  EXPECT_EQ(e[1].radius, 20);
  EXPECT_EQ(e[2].point, (Point{0, 0}));
  EXPECT_EQ(e[2].radius, 0);
  EXPECT_EQ(e[3].point, (Point{100, 0}));
  EXPECT_EQ(e[3].toward, (Point{100, 40}));
  EXPECT_EQ(e[3].radius, 20);
  EXPECT_EQ(e[4].radius, 0);
  EXPECT_EQ(e[5].kind, PathElement::Kind::close);
  auto square = RoundedRectPath::make(rect, {RectCorner::all}, -5);
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(square.elements()[i].radius, 0);
}

}  // namespace
}  // namespace vellum
