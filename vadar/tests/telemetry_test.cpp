#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "foundation/clock.hpp"
#include "foundation/log.hpp"
#include "testing/bounded_task.hpp"
#include "vadar/infra/telemetry_collector.hpp"

namespace vadar {
namespace {

using namespace std::chrono_literals;

// In a folder of its own: writers of one folder take turns under its lock, and a shared one (the temporary
// folder itself) would make these tests wait on every other process writing settings there.
struct TemporaryDefaults {
  static std::filesystem::path makeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vadar-telemetry-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }
  std::filesystem::path folder = makeFolder();
  std::filesystem::path path = folder / "defaults.json";
  foundation::UserDefaults defaults{path};
  ~TemporaryDefaults() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

// Collects the batches a collector sends; waits for them with a deadline.
class Recorder {
 public:
  TelemetryNetworkRequester requester(bool fail = false) {
    return [this, fail](const std::string& endpoint, const std::string& body) {
      {
        std::lock_guard lock(mutex_);
        endpoints_.push_back(endpoint);
        bodies_.push_back(nlohmann::json::parse(body));
      }
      changed_.notify_all();
      if (fail) throw std::runtime_error("offline");
    };
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return bodies_.size() >= count; });
  }
  std::vector<nlohmann::json> bodies() {
    std::lock_guard lock(mutex_);
    return bodies_;
  }
  std::vector<std::string> endpoints() {
    std::lock_guard lock(mutex_);
    return endpoints_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> endpoints_;
  std::vector<nlohmann::json> bodies_;
};

TelemetryEvent event(std::string name, int n = 0) { return {std::move(name), JSON::object({{"n", n}})}; }

TelemetryCollector::Config configFor(Recorder& recorder, std::optional<std::string> endpoint, bool fail = false) {
  TelemetryCollector::Config config;
  config.endpoint = std::move(endpoint);
  config.networkRequester = recorder.requester(fail);
  config.flushInterval = 1h;
  config.disableThrottling = true;
  return config;
}

TEST(TelemetryThrottler, LetsAnEventThroughOnceADayAndPersists) {
  TemporaryDefaults storage;
  foundation::Date now = foundation::Date(std::chrono::seconds(1700000000));
  foundation::Clock::setSource([&] { return now; });
  TelemetryEventThrottler throttler(storage.defaults);
  EXPECT_FALSE(throttler.isEventThrottled(event("a")));
  EXPECT_TRUE(throttler.isEventThrottled(event("a")));
  EXPECT_FALSE(throttler.isEventThrottled(event("a", 1)));
  EXPECT_TRUE(storage.defaults.value("vadar_telemetry_throttler").has_value());

  TelemetryEventThrottler another(storage.defaults);
  now += 86399s;
  EXPECT_TRUE(another.isEventThrottled(event("a")));
  now += 1s;
  EXPECT_FALSE(another.isEventThrottled(event("a")));
  foundation::Clock::setSource({});
}

// The record shares the application's settings file, which has a size limit. However many distinct events go
// through in a day, and however large a record an earlier run left, the record stays small: the file takes the
// application's own writes, and the throttler keeps answering.
TEST(TelemetryThrottler, ManyDistinctEventsKeepTheRecordSmallAndTheSettingsFileWritable) {
  TemporaryDefaults storage;
  foundation::Date now = foundation::Date(std::chrono::seconds(1700000000));
  foundation::Clock::setSource([&] { return now; });
  struct Reset {
    ~Reset() { foundation::Clock::setSource({}); }
  } reset;
  const double sentAt = 1700000000.0 - 60.0;
  // Entries of an earlier run, all within the day, filling the file to 2 KiB short of its limit.
  nlohmann::json left = nlohmann::json::object();
  const auto fill = [&](std::size_t count) {
    for (std::size_t i = left.size(); i < count; ++i) {
      char key[65];
      std::snprintf(key, sizeof key, "%064zx", i);
      left[key] = sentAt;
    }
    storage.defaults.set(std::string(TelemetryEventThrottler::storageKey), left);
  };
  fill(1000);
  const auto entryBytes = std::filesystem::file_size(storage.path) / 1000;
  fill((foundation::UserDefaults::kMaximumFileSize - 2 * 1024) / entryBytes);
  TelemetryEventThrottler throttler(storage.defaults);
  for (int n = 0; n < 50; ++n) EXPECT_FALSE(throttler.isEventThrottled(event("distinct", n))) << n;
  for (int n = 0; n < 50; ++n) EXPECT_TRUE(throttler.isEventThrottled(event("distinct", n))) << "the oldest go first";
  const auto stored = storage.defaults.value(std::string(TelemetryEventThrottler::storageKey));
  ASSERT_TRUE(stored && stored->is_object());
  EXPECT_LE(stored->size(), TelemetryEventThrottler::maximumEntries);
  EXPECT_NO_THROW(storage.defaults.set("application_setting", std::string(512 * 1024, 'x')));
}

// Throttlers alive at once (two collectors, two Vadar objects, or two runs of the application over the same
// file) keep one record: an event goes through once a day in all, however their checks interleave, and none
// loses what another recorded.
TEST(TelemetryThrottler, ThrottlersSharingARecordLetEachEventThroughOnceInAll) {
  TemporaryDefaults storage;
  foundation::UserDefaults sameFile(storage.path);  // what another process sees
  TelemetryEventThrottler first(storage.defaults);
  TelemetryEventThrottler second(storage.defaults);
  TelemetryEventThrottler third(sameFile);
  constexpr int rounds = 10;
  int through = 0;
  for (int round = 0; round < rounds; ++round) {
    std::latch together(3);
    std::vector<testing_support::BoundedTask<bool>> asked;
    for (TelemetryEventThrottler* throttler : {&first, &second, &third}) {
      asked.push_back(testing_support::launch([throttler, &together, round] {
        together.arrive_and_wait();
        return !throttler->isEventThrottled(event("shared", round));
      }));
    }
    for (auto& answer : asked) {
      ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
      through += answer.get() ? 1 : 0;
    }
  }
  EXPECT_EQ(through, rounds) << "an event went through more than once";
  for (int round = 0; round < rounds; ++round)
    EXPECT_TRUE(first.isEventThrottled(event("shared", round))) << "the record of round " << round << " was lost";
}

TEST(TelemetryCollectorBatches, FullBufferSendsOneBatchWithMetadata) {
  TemporaryDefaults storage;
  Recorder recorder;
  auto config = configFor(recorder, "https://telemetry.test/v1/event");
  config.maxBufferSize = 2;
  config.disableThrottling = false;
  TelemetryCollector collector(config, std::make_shared<FixedSettingsProvider>(), storage.defaults);
  collector.record(event("first"));
  collector.record(event("first"));  // throttled
  collector.record(event("second"));
  ASSERT_TRUE(recorder.waitFor(1));
  const auto body = recorder.bodies().at(0);
  ASSERT_EQ(body["events"].size(), 2u);
  EXPECT_EQ(body["events"][0]["event"], "first");
  EXPECT_EQ(body["events"][1]["payload"], nlohmann::json({{"n", 0}}));
  EXPECT_EQ(body["events"][0]["sdk"], "vadar-ios");
  EXPECT_EQ(body["events"][0]["sdk_version"], "0.71.4");
  EXPECT_EQ(recorder.endpoints().at(0), "https://telemetry.test/v1/event");
}

TEST(TelemetryCollectorBatches, NothingIsSentWithoutEndpointConsentOrSampling) {
  TemporaryDefaults storage;
  Recorder recorder;
  TelemetryCollector noEndpoint(configFor(recorder, std::nullopt), std::make_shared<FixedSettingsProvider>(),
                                storage.defaults);
  noEndpoint.record(event("a"));
  noEndpoint.flush();
  EXPECT_EQ(noEndpoint.bufferedCount(), 0u);
  EXPECT_TRUE(recorder.bodies().empty());

  TelemetryCollector disabled(configFor(recorder, "https://telemetry.test"),
                              std::make_shared<FixedSettingsProvider>(VadarSettings(false, false)), storage.defaults);
  disabled.record(event("a"));
  EXPECT_EQ(disabled.bufferedCount(), 0u);
  auto unsampledConfig = configFor(recorder, "https://telemetry.test");
  unsampledConfig.samplingRate = 0.0;
  TelemetryCollector unsampled(unsampledConfig, std::make_shared<FixedSettingsProvider>(), storage.defaults);
  unsampled.record(event("a"));
  EXPECT_EQ(unsampled.bufferedCount(), 0u);
}

TEST(TelemetryCollectorBatches, FailedSendIsLoggedOnlyInDebugMode) {
  TemporaryDefaults storage;
  std::vector<std::string> lines;
  auto previous = foundation::setLogSink([&](foundation::LogLevel, std::string_view line) { lines.emplace_back(line); });
  Recorder recorder;
  auto settings = std::make_shared<FixedSettingsProvider>();
  TelemetryCollector collector(configFor(recorder, "https://telemetry.test", /*fail=*/true), settings, storage.defaults);
  collector.record(event("a"));
  collector.flush();
  settings->setSettings(VadarSettings(true));
  collector.record(event("a"));
  collector.flush();
  foundation::setLogSink(previous);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("offline"), std::string::npos);
  EXPECT_EQ(recorder.bodies().size(), 2u);
}

TEST(TelemetryCollectorConcurrency, PeriodicFlushSendsAndStopsCleanly) {
  TemporaryDefaults storage;
  Recorder recorder;
  auto config = configFor(recorder, "https://telemetry.test");
  config.flushInterval = 20ms;
  auto collector = std::make_unique<TelemetryCollector>(config, std::make_shared<FixedSettingsProvider>(),
                                                        storage.defaults);
  collector->record(event("periodic"));
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.bodies().at(0)["events"][0]["event"], "periodic");

  std::vector<std::jthread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&collector, t] {
      for (int i = 0; i < 50; ++i) collector->record(event("load", t * 100 + i));
    });
  writers.clear();
  collector->stop();
  collector->stop();
  const auto sent = recorder.bodies().size();
  const auto buffered = collector->bufferedCount();
  collector->record(event("after stop"));
  EXPECT_EQ(collector->bufferedCount(), buffered);
  collector.reset();
  EXPECT_EQ(recorder.bodies().size(), sent);
}

// A flush interval past the clock's range means "only when the buffer fills", never "at once, again and again".
TEST(TelemetryCollectorConcurrency, AFlushIntervalPastTheClocksRangeNeverFlushesOnItsOwn) {
  TemporaryDefaults storage;
  Recorder recorder;
  auto config = configFor(recorder, "https://telemetry.test");
  config.flushInterval = std::chrono::milliseconds::max();
  TelemetryCollector collector(config, std::make_shared<FixedSettingsProvider>(), storage.defaults);
  collector.record(event("kept"));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(recorder.bodies().empty());
  EXPECT_EQ(collector.bufferedCount(), 1u);
  ASSERT_TRUE(testing_support::runWithin(10s, [&] { collector.stop(); }));
}

// The requester is the application's: it may let go of the collector that called it, or never return. Neither
// ends the process nor holds the thread that stops the collector past its bound.
TEST(TelemetryCollectorConcurrency, ARequesterThatReleasesTheCollectorOrHangsCostsOnlyItsOwnSend) {
  TemporaryDefaults storage;
  auto holder = std::make_shared<std::shared_ptr<TelemetryCollector>>();
  std::promise<void> released;
  auto releasedFuture = released.get_future();
  TelemetryCollector::Config releasing;
  releasing.endpoint = "https://telemetry.test";
  releasing.maxBufferSize = 1;
  releasing.disableThrottling = true;
  releasing.networkRequester = [holder, &released](const std::string&, const std::string&) {
    holder->reset();  // the last reference, let go on the collector's own flush thread
    released.set_value();
  };
  *holder = std::make_shared<TelemetryCollector>(releasing, nullptr, storage.defaults);
  (*holder)->record(event("released"));
  ASSERT_EQ(releasedFuture.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(*holder);

  auto entered = std::make_shared<std::promise<void>>();
  auto enteredFuture = entered->get_future();
  auto unblock = std::make_shared<std::promise<void>>();
  auto returned = std::make_shared<std::promise<void>>();
  auto returnedFuture = returned->get_future();
  TelemetryCollector::Config hanging = releasing;
  hanging.networkRequester = [entered, gate = unblock->get_future().share(), returned](const std::string&,
                                                                                        const std::string&) {
    entered->set_value();
    gate.wait_for(60s);
    returned->set_value();
  };
  auto collector = std::make_unique<TelemetryCollector>(hanging, nullptr, storage.defaults);
  collector->record(event("hangs"));
  ASSERT_EQ(enteredFuture.wait_for(5s), std::future_status::ready);  // the flush thread is in the requester
  const auto started = std::chrono::steady_clock::now();
  collector.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, TelemetryCollector::kStopWait + 5s);
  unblock->set_value();
  EXPECT_EQ(returnedFuture.wait_for(5s), std::future_status::ready);
}

// The same on the application's own thread: a flush whose requester lets go of the collector and then fails
// still logs that failure and returns, touching nothing the release freed.
TEST(TelemetryCollectorConcurrency, AFlushWhoseRequesterReleasesTheCollectorReturnsCleanly) {
  TemporaryDefaults storage;
  std::mutex linesMutex;
  std::vector<std::string> lines;
  auto previous = foundation::setLogSink([&](foundation::LogLevel, std::string_view line) {
    std::lock_guard lock(linesMutex);
    lines.emplace_back(line);
  });
  auto holder = std::make_shared<std::shared_ptr<TelemetryCollector>>();
  TelemetryCollector::Config config;
  config.endpoint = "https://telemetry.test";
  config.disableThrottling = true;
  config.flushInterval = 1h;
  config.networkRequester = [holder](const std::string&, const std::string&) {
    holder->reset();  // the last reference, let go on the thread that called flush()
    throw std::runtime_error("offline after release");
  };
  *holder = std::make_shared<TelemetryCollector>(config, std::make_shared<FixedSettingsProvider>(VadarSettings(true)),
                                                 storage.defaults);
  TelemetryCollector& collector = **holder;
  collector.record(event("released"));
  collector.flush();
  foundation::setLogSink(previous);
  EXPECT_FALSE(*holder);
  std::lock_guard lock(linesMutex);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("offline after release"), std::string::npos);
}

// A settings provider is the application's too: one that fails when the flush thread asks it (here: whenever
// it is asked off the thread that made it) costs that batch's failure report, never the flush thread and with
// it the process; the next batch goes out as usual.
TEST(TelemetryCollectorConcurrency, ASettingsProviderThatThrowsCostsOnlyTheReportOfAFailedSend) {
  struct ProviderOfOneThread : SettingsProvider {
    std::thread::id owner = std::this_thread::get_id();
    VadarSettings currentSettings() const override {
      if (std::this_thread::get_id() != owner) throw std::runtime_error("settings unavailable on this thread");
      return VadarSettings(true);
    }
  };
  TemporaryDefaults storage;
  Recorder recorder;
  auto config = configFor(recorder, "https://telemetry.test", /*fail=*/true);
  config.maxBufferSize = 1;
  TelemetryCollector collector(config, std::make_shared<ProviderOfOneThread>(), storage.defaults);
  collector.record(event("first"));
  ASSERT_TRUE(recorder.waitFor(1));
  collector.record(event("second"));
  ASSERT_TRUE(recorder.waitFor(2)) << "the flush thread sent nothing after the provider failed";
  EXPECT_EQ(recorder.bodies().at(1)["events"][0]["event"], "second");
}

// A requester may reach the collector again, as an application's code that flushes telemetry wherever it
// ends up would: a flush asked for inside a send returns at once, on the application's thread and on the flush
// thread, and what it would have sent goes out with the next batch.
TEST(TelemetryCollectorConcurrency, AFlushFromInsideTheRequesterReturnsAndSendsLater) {
  TemporaryDefaults storage;
  Recorder recorder;
  auto record = recorder.requester();
  std::atomic<TelemetryCollector*> reenter = nullptr;  // the collector the next send reaches into, once
  auto config = configFor(recorder, "https://telemetry.test");
  config.networkRequester = [&](const std::string& endpoint, const std::string& body) {
    if (auto* collector = reenter.exchange(nullptr)) {
      collector->record(event("from inside"));
      collector->flush();
    }
    record(endpoint, body);
  };
  const auto sentEvents = [&] {
    std::vector<std::vector<std::string>> batches;
    for (const auto& body : recorder.bodies()) {
      batches.emplace_back();
      for (const auto& item : body["events"]) batches.back().push_back(item["event"]);
    }
    return batches;
  };
  using Batches = std::vector<std::vector<std::string>>;

  TelemetryCollector collector(config, std::make_shared<FixedSettingsProvider>(), storage.defaults);
  reenter = &collector;
  collector.record(event("outer"));
  ASSERT_TRUE(testing_support::runWithin(10s, [&] { collector.flush(); })) << "flushed on the caller's thread";
  EXPECT_EQ(sentEvents(), (Batches{{"outer"}}));
  ASSERT_TRUE(testing_support::runWithin(10s, [&] { collector.flush(); }));
  EXPECT_EQ(sentEvents(), (Batches{{"outer"}, {"from inside"}}));

  config.maxBufferSize = 1;
  TelemetryCollector flushing(config, std::make_shared<FixedSettingsProvider>(), storage.defaults);
  reenter = &flushing;
  flushing.record(event("on the flush thread"));
  ASSERT_TRUE(recorder.waitFor(4)) << "flushed on the flush thread";
  EXPECT_EQ(sentEvents(), (Batches{{"outer"}, {"from inside"}, {"on the flush thread"}, {"from inside"}}));
}

}  // namespace
}  // namespace vadar
