// Waiting for the first read of a device token while the keychain is slow: the read stands in for a Secret
// Service that does not answer until the test lets it, so every moment of the scenario is the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include <httpkit/url_error.hpp>
#include <keychain/keychain_store.hpp>

#include "core/background_tasks.hpp"
#include "core/device_token_store.hpp"
#include "core/keychain_reads.hpp"
#include "core/keychain_writer.hpp"
#include "locked_collection.hpp"
#include "testing/bounded_task.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A device token store whose reads each answer `token` once the test opens the gate, and not before.
struct SlowKeychain {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  bool open = false;
  std::unique_ptr<core::DeviceTokenStore> tokens;

  SlowKeychain(std::string token, std::chrono::milliseconds wait)
      : tokens(std::make_unique<core::DeviceTokenStore>(
            [opened = opened, token](const keychain::KeychainStore&, const std::string&) {
              // Bounded, so that a test that fails before opening the gate leaves no read behind for long.
              if (opened.wait_for(60s) != std::future_status::ready) return core::DeviceTokenStore::Stored::unreadable();
              return core::DeviceTokenStore::Stored::present(token);
            },
            wait)) {}
  void letAnswer() {
    if (!std::exchange(open, true)) gate.set_value();
  }
  ~SlowKeychain() {
    letAnswer();
    // The reads use the store: it goes only once they have ended.
    if (!core::KeychainReads::drain(20s)) {
      ADD_FAILURE() << "a device token read did not end";
      tokens.release();
    }
  }
};

const keychain::KeychainStore kStore("tolvaran.vadar.tests.device-token-wait");

// Asked from another thread; the time it answered is kept with the answer.
struct Asked {
  std::optional<std::string> token;
  Clock::time_point answeredAt;
};
testing_support::BoundedTask<Asked> ask(core::DeviceTokenStore& tokens, const std::string& instance,
                                        std::stop_token stop = {}, keychain::KeychainStore store = kStore) {
  return testing_support::launch([&tokens, instance, stop, store] {
    const core::StopTokenScope scope(stop);
    Asked asked;
    asked.token = tokens.token(store, instance);
    asked.answeredAt = Clock::now();
    return asked;
  });
}

// A request that comes while the first read runs waits for the same moment as the request that started the
// read, not for a wait of its own from when it came.
TEST(DeviceTokenWait, EveryRequestIsReleasedAtTheDeadlineOfTheReadItFound) {
  constexpr auto wait = 4s;
  SlowKeychain keychain("stored_token", wait);
  core::DeviceTokenStore& tokens = *keychain.tokens;
  const auto readStarted = Clock::now();
  tokens.preload(kStore, "https://frontend.example.test");
  std::this_thread::sleep_until(readStarted + wait / 2);  // the late request comes halfway through the wait

  const auto lateCame = Clock::now();
  auto late = ask(tokens, "https://frontend.example.test");
  ASSERT_EQ(late.wait_for(wait + 20s), std::future_status::ready);
  const Asked answer = late.get();
  EXPECT_FALSE(answer.token);
  const auto millis = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  EXPECT_GE(millis(answer.answeredAt - readStarted), millis(wait)) << "released before the read's deadline";
  EXPECT_LT(millis(answer.answeredAt - lateCame), millis(wait)) << "held for a wait of its own from when it came";

  // Once waited out, nobody waits again; the read's answer is sent from when it comes.
  auto after = ask(tokens, "https://frontend.example.test");
  ASSERT_EQ(after.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(after.get().token);
  keychain.letAnswer();
  ASSERT_TRUE(core::KeychainReads::drain(20s));
  auto answered = ask(tokens, "https://frontend.example.test");
  ASSERT_EQ(answered.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(answered.get().token, "stored_token");
}

// A send stopped while it waits (a shutdown, a cancelled load) leaves at once as cancelled, never with no
// token; the others go on waiting for the read and get what it gives.
TEST(DeviceTokenWait, AStoppedRequestLeavesAtOnceAndTheOthersStillGetTheReadToken) {
  constexpr auto wait = 30s;
  SlowKeychain keychain("stored_token", wait);
  core::DeviceTokenStore& tokens = *keychain.tokens;
  std::stop_source stop;
  auto stopped = ask(tokens, "https://frontend.example.test", stop.get_token());
  auto waiting = ask(tokens, "https://frontend.example.test");
  stop.request_stop();
  ASSERT_EQ(stopped.wait_for(wait / 2), std::future_status::ready) << "the stopped request waited for the read";
  try {
    stopped.get();
    ADD_FAILURE() << "a stopped request went on without its token";
  } catch (const httpkit::URLError& error) {
    EXPECT_EQ(error.code(), httpkit::URLError::Code::cancelled);
  }

  // A request already stopped when it asks does not wait either.
  auto alreadyStopped = ask(tokens, "https://frontend.example.test", stop.get_token());
  ASSERT_EQ(alreadyStopped.wait_for(wait / 2), std::future_status::ready);
  EXPECT_THROW(alreadyStopped.get(), httpkit::URLError);

  EXPECT_NE(waiting.wait_for(0s), std::future_status::ready) << "a stop ended the others' wait";
  keychain.letAnswer();
  ASSERT_EQ(waiting.wait_for(wait / 2), std::future_status::ready);
  EXPECT_EQ(waiting.get().token, "stored_token");
}


// A stored token this process could not read (a locked or failing keychain, a read slower than the wait) is
// the user's signed-in client: the token an answer hands out meanwhile is used for this run only, and the next
// start gets the stored one back. Against the real Secret Service (scripts/with-keyring).
struct StoredTokenCase {
  testing::VadarHarness harness{/*configureNow=*/false};
  keychain::KeychainStore store = harness.keychain();
  const std::string instance = "https://" + std::string(testing::VadarHarness::host);

  // The item as a previous run left it: written by the writer, so the store is marked for the instance.
  void storeBefore(const std::string& token) {
    ASSERT_TRUE(core::KeychainWriter::shared().writeNow(
        {store, instance, core::deviceTokenKey,
         [token](const keychain::KeychainStore& target) { target.setString(token, core::deviceTokenKey); }},
        20s));
  }
  std::optional<std::string> inKeychain() const {
    try {
      return store.string(core::deviceTokenKey);
    } catch (const keychain::KeychainStoreError& error) {
      if (error.code() == keychain::KeychainStoreError::Code::itemNotFound) return std::nullopt;
      throw;
    }
  }
  std::optional<std::string> sent(core::DeviceTokenStore& tokens) {
    auto asked = ask(tokens, instance, {}, store);
    if (asked.wait_for(20s) != std::future_status::ready) {
      ADD_FAILURE() << "asking for the device token did not end";
      return std::nullopt;
    }
    return asked.get().token;
  }
};

core::DeviceTokenStore::Read failingRead() {
  return [](const keychain::KeychainStore&, const std::string&) -> core::DeviceTokenStore::Stored {
    return core::DeviceTokenStore::Stored::unreadable();
  };
}

TEST(DeviceTokenKept, ATokenThatCouldNotBeReadIsNotReplacedByTheOneAnAnswerHandsOut) {
  StoredTokenCase c;
  c.storeBefore("signed_in_token");
  core::DeviceTokenStore tokens(failingRead(), 5s);
  EXPECT_FALSE(c.sent(tokens));
  tokens.receive(c.store, c.instance, "handed_out_token");
  tokens.receive(c.store, c.instance, "handed_out_again");
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(c.inKeychain(), "signed_in_token");
  EXPECT_EQ(c.sent(tokens), "handed_out_again") << "this run must go on with the token it was handed";
}

TEST(DeviceTokenKept, ATokenStillBeingReadIsNotReplacedByTheOneAnAnswerHandsOut) {
  StoredTokenCase c;
  c.storeBefore("signed_in_token");
  SlowKeychain keychain("signed_in_token", 200ms);
  core::DeviceTokenStore& tokens = *keychain.tokens;
  EXPECT_FALSE(c.sent(tokens));  // waited out
  tokens.receive(c.store, c.instance, "handed_out_token");
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(c.inKeychain(), "signed_in_token");

  // The read's late answer does not take back the token this run already uses.
  keychain.letAnswer();
  ASSERT_TRUE(core::KeychainReads::drain(20s));
  EXPECT_EQ(c.sent(tokens), "handed_out_token");
  tokens.receive(c.store, c.instance, "handed_out_again");
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(c.inKeychain(), "signed_in_token");
}

// Where nothing was stored, or what is stored is this run's own, the handed-out token is kept as before.
TEST(DeviceTokenKept, AnUnreadKeychainStillTakesTokensWhenItHoldsNoneOrOnlyThisRunsOwn) {
  StoredTokenCase c;
  core::DeviceTokenStore tokens(failingRead(), 5s);
  EXPECT_FALSE(c.sent(tokens));
  tokens.receive(c.store, c.instance, "first_token");
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(c.inKeychain(), "first_token");
  tokens.receive(c.store, c.instance, "second_token");
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(c.inKeychain(), "second_token");
}

// A read that did answer, even with "none", lets the handed-out token replace whatever is stored.
TEST(DeviceTokenKept, AReadThatAnsweredLetsTheHandedOutTokenReplaceTheStoredOne) {
  StoredTokenCase c;
  c.storeBefore("stale_token");
  core::DeviceTokenStore tokens(
      [](const keychain::KeychainStore&, const std::string&) { return core::DeviceTokenStore::Stored::absent(); },
      5s);
  EXPECT_FALSE(c.sent(tokens));
  tokens.receive(c.store, c.instance, "handed_out_token");
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(c.inKeychain(), "handed_out_token");
}

// The id of the client the keychain caches; "none" without one.
std::string cachedClientIn(const keychain::KeychainStore& store) {
  try {
    return decodeJSON<Client>(foundation::toString(store.data("cachedClient"))).id;
  } catch (const keychain::KeychainStoreError& error) {
    if (error.code() == keychain::KeychainStoreError::Code::itemNotFound) return "none";
    throw;
  }
}

// The device token the keychain holds, whatever its bytes.
std::string storedIn(const keychain::KeychainStore& store) {
  try {
    return store.string(core::deviceTokenKey);
  } catch (const keychain::KeychainStoreError& error) {
    return std::string("<") + error.description() + ">";
  }
}

// The frontend API no longer knows the token the test's client sends: it hands out `token` with a new,
// signed-out client.
void handOutSignedOutClient(testing::VadarHarness& harness, const std::string& token) {
  harness.api().withState([&](fake_frontend_api::State& state) {
    state.deviceToken = token;
    state.client["id"] = state.makeId("client");
    state.client["sessions"] = nlohmann::json::array();
    state.client["last_active_session_id"] = nullptr;
    state.client["updated_at"] = state.tick();
  });
}

// The cached client belongs with the stored token: the next start shows it until the first answer, and that
// answer is the one the stored token gets. A run that goes on with a token kept in memory only must not put
// its own client there, signed out or not, until its token is the stored one.
TEST(DeviceTokenKept, TheClientOfATokenKeptInMemoryOnlyStaysOutOfTheCacheUntilTheTokenIsStored) {
  testing::VadarHarness harness;
  ASSERT_TRUE(Client::get());
  testing::VadarHarness::settle();
  const keychain::KeychainStore store = harness.keychain();
  ASSERT_TRUE(harness.vadar().client() && !harness.vadar().client()->sessions.empty());
  const std::string signedIn = harness.vadar().client()->id;
  ASSERT_EQ(cachedClientIn(store), signedIn);

  // The next start cannot read the stored token (its collection is locked: the user has not unlocked the
  // keyring), so its requests go without it and are handed a new token and a signed-out client.
  const std::string storedToken = store.string(core::deviceTokenKey);
  testing::LockedCollection locked;
  ASSERT_TRUE(locked.made());
  store.deleteItem(core::deviceTokenKey);
  locked.put(store, core::deviceTokenKey, storedToken);
  locked.lock();
  handOutSignedOutClient(harness, "handed_out_token");
  auto next = harness.startAgain();
  ASSERT_NO_THROW(Client::get());
  EXPECT_FALSE(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"));
  testing::VadarHarness::settle();
  ASSERT_TRUE(next->client());
  EXPECT_TRUE(next->client()->sessions.empty()) << "this run shows the client of the token it uses";
  EXPECT_EQ(cachedClientIn(store), signedIn) << "the cache no longer matches the stored token";

  // The user unlocks the keyring: the stored token is readable again, so the next token handed out does not
  // replace it, and the cache keeps its client for the next start, which sends it.
  locked.unlock();
  harness.api().withState([](fake_frontend_api::State& state) { state.deviceToken = "handed_out_again"; });
  ASSERT_NO_THROW(Client::get());
  testing::VadarHarness::settle();
  EXPECT_EQ(storedIn(store), storedToken);
  EXPECT_EQ(cachedClientIn(store), signedIn);
  auto third = harness.startAgain();
  ASSERT_TRUE(third->client());
  EXPECT_EQ(third->client()->id, signedIn);
  ASSERT_NO_THROW(Client::get());
  EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), storedToken);
}

// Bytes that are not text can never be sent: the item is corrupt, not a keychain that cannot be read. The
// first token handed out replaces it, the client of that token is cached with it, and the start after sends it.
TEST(DeviceTokenKept, AStoredTokenThatIsNotTextIsReplacedByTheNextOneHandedOut) {
  testing::VadarHarness harness;
  ASSERT_TRUE(Client::get());
  testing::VadarHarness::settle();
  const keychain::KeychainStore store = harness.keychain();
  store.setData({0xff, 0xfe, 0x00}, core::deviceTokenKey);
  handOutSignedOutClient(harness, "handed_out_token");

  auto next = harness.startAgain();
  ASSERT_NO_THROW(Client::get());
  EXPECT_FALSE(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"));
  testing::VadarHarness::settle();
  EXPECT_EQ(storedIn(store), "handed_out_token") << "the corrupt item is kept for good";
  ASSERT_TRUE(next->client());
  EXPECT_EQ(cachedClientIn(store), next->client()->id);

  harness.startAgain();
  ASSERT_NO_THROW(Client::get());
  EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), "handed_out_token");
}

}  // namespace
}  // namespace vadar
