#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vadar
