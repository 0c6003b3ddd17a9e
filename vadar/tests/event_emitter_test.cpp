#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "vadar/infra/auth_event.hpp"
#include "vadar/infra/event_emitter.hpp"

namespace vadar {
namespace {

using namespace std::chrono_literals;

TEST(AuthEvents, ListenersGetWhatIsSentWhileTheyListen) {
  EventEmitter<AuthEvent> emitter;
  EXPECT_NO_THROW(emitter.send(AuthEvent::signUpCompleted(SignUp::sample())));  // nobody listens
  auto first = emitter.subscribe();
  emitter.send(AuthEvent::signInCompleted(SignIn::sample()));
  auto late = emitter.subscribe();
  emitter.send(AuthEvent::signedOut(Session::mockSession1()));

  auto a = first.tryNext();
  ASSERT_TRUE(a && std::holds_alternative<AuthEvent::SignInCompleted>(a->value));
  ASSERT_TRUE(first.tryNext());
  EXPECT_FALSE(first.tryNext());
  auto onlyLast = late.tryNext();
  ASSERT_TRUE(onlyLast && std::holds_alternative<AuthEvent::SignedOut>(onlyLast->value));
  EXPECT_FALSE(late.tryNext());

  {
    auto dropped = emitter.subscribe();
    EXPECT_EQ(emitter.listenerCount(), 3u);
  }
  first.finish();
  late.finish();
  emitter.send(AuthEvent::signedOut(Session::mockSession1()));
  EXPECT_EQ(emitter.listenerCount(), 0u);
  EXPECT_FALSE(first.tryNext());
}

TEST(EventEmitterConcurrency, WaitingReaderWakesOnSendAndOnFinish) {
  EventEmitter<int> emitter;
  auto stream = emitter.subscribe();
  std::optional<int> received;
  std::thread reader([&] { received = stream.next(5s); });
  emitter.send(42);
  reader.join();
  EXPECT_EQ(received, 42);
  std::thread waiting([&] { received = stream.next(5s); });
  stream.finish();
  waiting.join();
  EXPECT_FALSE(received);

  auto listener = emitter.subscribe();
  std::vector<std::jthread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&emitter, t] {
      for (int i = 0; i < 100; ++i) emitter.send(t * 1000 + i);
    });
  senders.clear();
  int count = 0;
  while (listener.tryNext()) ++count;
  EXPECT_EQ(count, 400);
}

// stream.next() with no time-out, on a thread of its own; a reader still asleep after 5 s is woken by finishing
// its stream, so that a failure is reported rather than a hang.
struct UntimedRead {
  std::optional<int> value;
  bool woke = false;
};
UntimedRead readUntimed(EventStream<int>& stream, const std::function<void()>& meanwhile = [] {}) {
  std::promise<std::optional<int>> got;
  auto answer = got.get_future();
  std::thread reader([&] { got.set_value(stream.next()); });
  meanwhile();
  UntimedRead read;
  read.woke = answer.wait_for(5s) == std::future_status::ready;
  if (!read.woke) stream.finish();
  reader.join();
  read.value = answer.get();
  return read;
}

// A reader that waits with no time-out must not sleep on after its emitter is gone: the emitter's end is the
// end of every stream it fed, once what they buffered is read.
TEST(EventEmitterConcurrency, AnEmitterGoneEndsItsStreams) {
  auto emitter = std::make_unique<EventEmitter<int>>();
  auto stream = emitter->subscribe();
  auto buffered = emitter->subscribe();
  emitter->send(7);
  EXPECT_EQ(readUntimed(stream).value, 7);
  const auto waiting = readUntimed(stream, [&] { emitter.reset(); });
  EXPECT_TRUE(waiting.woke) << "a reader waiting on a stream whose emitter is gone never woke";
  EXPECT_EQ(waiting.value, std::nullopt);
  EXPECT_EQ(readUntimed(buffered).value, 7) << "what was sent before the emitter went is still read";
  EXPECT_TRUE(readUntimed(buffered).woke);

  // A stream moved from reads nothing rather than following a null state.
  EventEmitter<int> owner;
  auto from = owner.subscribe();
  auto to = std::move(from);
  owner.send(1);
  EXPECT_EQ(from.tryNext(), std::nullopt);  // NOLINT(bugprone-use-after-move): on purpose
  EXPECT_EQ(to.tryNext(), 1);
  from.finish();
}

}  // namespace
}  // namespace vadar
