#include <gtest/gtest.h>

#include <thread>

#include "vadar/auth_event.hpp"
#include "vadar/event_emitter.hpp"

namespace vadar {
namespace {

using namespace std::chrono_literals;

TEST(AuthEvents, EveryListenerSubscribedAtSendGetsTheEvent) {
  EventEmitter<AuthEvent> emitter;
  EXPECT_NO_THROW(emitter.send(AuthEvent::signUpCompleted(SignUp::sample())));  // nobody listens
  auto first = emitter.subscribe();
  auto second = emitter.subscribe();
  emitter.send(AuthEvent::signInCompleted(SignIn::sample()));
  auto late = emitter.subscribe();
  emitter.send(AuthEvent::signedOut(Session::mockSession1()));

  auto a = first.tryNext();
  ASSERT_TRUE(a);
  ASSERT_TRUE(std::holds_alternative<AuthEvent::SignInCompleted>(a->value));
  EXPECT_EQ(std::get<AuthEvent::SignInCompleted>(a->value).signIn, SignIn::sample());
  ASSERT_TRUE(first.tryNext());
  EXPECT_FALSE(first.tryNext());
  ASSERT_TRUE(second.tryNext());

  auto onlyLast = late.tryNext();
  ASSERT_TRUE(onlyLast);
  EXPECT_EQ(std::get<AuthEvent::SignedOut>(onlyLast->value).session.id, "1");
  EXPECT_FALSE(late.tryNext());
}

TEST(AuthEvents, FinishedOrDestroyedStreamsLeave) {
  EventEmitter<int> emitter;
  auto kept = emitter.subscribe();
  {
    auto dropped = emitter.subscribe();
    EXPECT_EQ(emitter.listenerCount(), 2u);
  }
  kept.finish();
  emitter.send(1);
  EXPECT_EQ(emitter.listenerCount(), 0u);
  EXPECT_FALSE(kept.tryNext());
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

  EventEmitter<int> busy;
  auto listener = busy.subscribe();
  std::vector<std::jthread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&busy, t] {
      for (int i = 0; i < 100; ++i) busy.send(t * 1000 + i);
    });
  senders.clear();
  int count = 0;
  while (listener.tryNext()) ++count;
  EXPECT_EQ(count, 400);
}

}  // namespace
}  // namespace vadar
