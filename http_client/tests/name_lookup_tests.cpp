// A name server that has gone silent: the system's lookup waits its full timeout, and nothing the user does
// meanwhile (cancel a send, cancel a streaming transfer, destroy the client) may wait with it. Each scenario
// runs in a child process whose lookups go to a silent name server of its own (see stalled_name_lookup.hpp).
#include <gtest/gtest.h>

#include <foundation/log.hpp>
#include <future>
#include <mutex>
#include <stop_token>

#include <httpkit/transfer_engine.hpp>
#include <testing/bounded_task.hpp>
#include <testing/scripted_server.hpp>

#include "stalled_name_lookup.hpp"
#include "test_support.hpp"

namespace {

using httpkit::APIClient;
using httpkit::Request;
using httpkit::URLError;
using httpkit_tests::kDeadline;
using httpkit_tests::StalledLookupChild;
using httpkit_tests::StalledLookupOutcome;
using std::chrono::milliseconds;

// Three waits of the scenario at most, and the child's start.
constexpr auto kChildDeadline = std::chrono::seconds(4 * kDeadline);

void runInChild(const std::function<void(StalledLookupChild&)>& scenario) {
  const auto outcome = httpkit_tests::inStalledLookupChild(scenario, kChildDeadline);
  if (outcome.kind == StalledLookupOutcome::Kind::unavailable) GTEST_SKIP() << outcome.text;
  EXPECT_EQ(outcome.kind, StalledLookupOutcome::Kind::passed) << outcome.text;
}

// A client whose lookups may take as long as the name server makes them.
std::unique_ptr<APIClient> clientFor(const std::string& host) {
  return httpkit_tests::makeClient("http://" + host, nullptr, [](APIClient::Configuration& c) {
    c.sessionConfiguration.connectTimeout = std::chrono::minutes(5);
  });
}

struct Ending : httpkit::TransferObserver {
  std::promise<std::optional<URLError>> done;
  std::future<std::optional<URLError>> ended = done.get_future();
  std::string body;
  void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
  void didReceiveData(std::span<const std::uint8_t> bytes) override { body.append(bytes.begin(), bytes.end()); }
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override {
    done.set_value(error);
  }
};

bool endedAsCancelled(std::future<std::optional<URLError>>& ended) {
  if (ended.wait_for(kDeadline) != std::future_status::ready) return false;
  const auto error = ended.get();
  return error && error->code() == URLError::Code::cancelled;
}

TEST(NameLookup, CancellingASendDuringAStalledLookupEndsItAtOnce) {
  runInChild([](StalledLookupChild& child) {
    auto client = clientFor("send.example.test");
    std::stop_source stop;
    auto sent = testing_support::launch([&] {
      return httpkit_tests::thrown<URLError>([&] { client->send(Request<void>{"/"}, stop.get_token()); });
    });
    child.expect(child.waitForQuery("send", kDeadline), "the lookup never reached the name server");
    stop.request_stop();
    child.expect(sent.wait_for(kDeadline) == std::future_status::ready, "the cancelled send waited for the lookup");
    const auto error = sent.get();
    child.expect(error && error->code() == URLError::Code::cancelled, "the send did not end as cancelled");
  });
}

TEST(NameLookup, ACancelledLookupLeavesTheEnginesOtherTransfersRunning) {
  runInChild([](StalledLookupChild& child) {
    testing_support::ScriptedServer local(
        {{milliseconds(0), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", true}, {milliseconds(0), "ok"}});
    httpkit::TransferEngine engine;
    auto stalled = std::make_shared<Ending>();
    const auto id = engine.start({"http://engine.example.test/", httpkit::HTTPMethod::get, {}, std::nullopt}, {},
                                 stalled);
    child.expect(child.waitForQuery("engine", kDeadline), "the lookup never reached the name server");
    auto other = std::make_shared<Ending>();
    engine.start({local.baseURL() + "/other", httpkit::HTTPMethod::get, {}, std::nullopt}, {}, other);
    child.expect(local.waitForHolds(1, kDeadline), "the other transfer never reached its server");
    engine.cancel(id);
    local.release();
    child.expect(other->ended.wait_for(kDeadline) == std::future_status::ready,
                 "the other transfer stalled behind the cancelled lookup");
    const auto error = other->ended.get();
    child.expect(!error && other->body == "ok", "the other transfer failed");
    child.expect(endedAsCancelled(stalled->ended), "the transfer in the lookup did not end as cancelled");
  });
}

TEST(NameLookup, DestroyingTheClientDoesNotWaitForALookup) {
  runInChild([](StalledLookupChild& child) {
    std::mutex mutex;
    std::vector<std::string> logged;
    foundation::setLogSink([&](foundation::LogLevel, std::string_view line) {
      std::lock_guard lock(mutex);
      logged.emplace_back(line);
    });
    auto client = clientFor("client.example.test");
    APIClient* const sender = client.get();
    auto sent = testing_support::launch(
        [sender] { return httpkit_tests::thrown<URLError>([&] { sender->send(Request<void>{"/"}); }); });
    child.expect(child.waitForQuery("client", kDeadline), "the lookup never reached the name server");
    auto destroyed = testing_support::launch([&] { client.reset(); });
    child.expect(destroyed.wait_for(kDeadline) == std::future_status::ready, "the destructor did not return");
    child.expect(sent.wait_for(kDeadline) == std::future_status::ready, "the send did not end");
    const auto error = sent.get();
    child.expect(error && error->code() == URLError::Code::cancelled, "the send did not end as cancelled");
    std::lock_guard lock(mutex);
    child.expect(logged.empty(), "the destructor logged: " + (logged.empty() ? "" : logged.front()));
  });
}

}  // namespace
