// The engine keeps the easy handles of finished streaming transfers for the next ones. A burst of transfers
// followed by quiet must leave a bounded number of them alive, whatever the burst's size.
//
// The handles are counted where they are made and freed: this binary defines the two calls, and each passes
// on to the one of the shared library behind it. Every test of the binary goes through them; they only count.
#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <httpkit/transfer_engine.hpp>
#include <testing/loopback_server.hpp>

#include "test_support.hpp"

namespace {
std::atomic<std::int64_t> liveEasyHandles{0};

template <class F>
F nextDefinition(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" CURL* curl_easy_init() {
  static const auto real = nextDefinition<CURL* (*)()>("curl_easy_init");
  CURL* easy = real();
  if (easy) ++liveEasyHandles;
  return easy;
}

extern "C" void curl_easy_cleanup(CURL* easy) {
  static const auto real = nextDefinition<void (*)(CURL*)>("curl_easy_cleanup");
  if (easy) --liveEasyHandles;
  real(easy);
}

namespace {

using httpkit::URLError;
using httpkit_tests::kDeadline;
using testing_support::Gate;
using testing_support::LoopbackServer;
using testing_support::Reply;

struct Ending : httpkit::TransferObserver {
  std::promise<std::optional<URLError>> done;
  std::future<std::optional<URLError>> ended = done.get_future();
  void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
  void didReceiveData(std::span<const std::uint8_t>) override {}
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override { done.set_value(error); }
};

httpkit::URLRequest get(const std::string& url) { return {url, httpkit::HTTPMethod::get, {}, std::nullopt}; }

// Runs `count` transfers that are all under way at once (the server holds every answer until the last
// request has arrived), waits for their ends, then one more transfer, by whose end the burst's handles are
// back in the pool or freed. Returns the handles alive then, over `before`: the pool's, the one the transfer
// after may still hold, and the few libcurl makes for itself through the same call.
std::int64_t handlesAfterBurst(httpkit::TransferEngine& engine, LoopbackServer& server, int count,
                               std::int64_t before) {
  const std::string path = "/burst-" + std::to_string(count);
  auto gate = std::make_shared<Gate>();
  server.on("GET", path, Reply{200, "held", "text/plain", {}, {}, gate});
  std::vector<std::shared_ptr<Ending>> burst;
  for (int i = 0; i < count; ++i) {
    burst.push_back(std::make_shared<Ending>());
    engine.start(get(server.baseURL() + path), {}, burst.back());
  }
  const bool allArrived = gate->waitForArrivals(count, kDeadline);
  gate->open();
  EXPECT_TRUE(allArrived) << "the burst was not under way at once";
  for (const auto& ending : burst) {
    if (ending->ended.wait_for(kDeadline) != std::future_status::ready) {
      ADD_FAILURE() << "a transfer of the burst did not end";
      return -1;
    }
    EXPECT_FALSE(ending->ended.get());
  }
  auto after = std::make_shared<Ending>();
  engine.start(get(server.baseURL() + "/after"), {}, after);
  if (after->ended.wait_for(kDeadline) != std::future_status::ready) {
    ADD_FAILURE() << "the transfer after the burst did not end";
    return -1;
  }
  return liveEasyHandles.load() - before;
}

TEST(TransferHandlePool, ABurstLeavesABoundedNumberOfHandlesWhateverItsSize) {
  LoopbackServer server;
  server.on("GET", "/after", Reply::text(200, "after"));
  server.start();
  const std::int64_t before = liveEasyHandles.load();
  httpkit::TransferEngine engine;
  constexpr int kSmallBurst = 24, kLargeBurst = 64;
  const std::int64_t small = handlesAfterBurst(engine, server, kSmallBurst, before);
  const std::int64_t large = handlesAfterBurst(engine, server, kLargeBurst, before);
  EXPECT_LT(small, kSmallBurst) << "every handle of the burst was kept";
  // Give or take the one the transfer after the burst may hold when its end is told.
  EXPECT_LE(large, small + 1) << "a larger burst left more handles behind";
}

}  // namespace
