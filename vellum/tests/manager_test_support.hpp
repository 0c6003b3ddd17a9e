#pragma once
// What the manager and prefetcher tests share: a loopback image server, a cache in a temporary directory,
// a downloader and a manager over them, and providers that answer as told.
#include <gtest/gtest.h>

#include <testing/loopback_server.hpp>

#include "downloader_test_support.hpp"
#include "vellum/networking/network_monitor.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

namespace vellum::test {

using testing_support::Gate;
using testing_support::LoopbackServer;
using testing_support::Reply;

// Opens a gate when the test's scope ends, pass or fail, so that no server or pool thread stays blocked on it.
struct OpenOnExit {
  std::shared_ptr<Gate> gate;
  ~OpenOnExit() { gate->open(); }
};

inline Reply imageReply(const foundation::Bytes& bytes, std::shared_ptr<Gate> gate = nullptr) {
  return Reply{200, text(bytes), "image/png", {}, {}, std::move(gate)};
}

// A provider whose answer the test scripts: the bytes, an error, nothing at all, or two answers.
class ScriptedProvider final : public ImageDataProvider {
 public:
  enum class Mode { answer, fail, never, twice };
  ScriptedProvider(std::string key, Mode mode, foundation::Bytes bytes = {})
      : key_(std::move(key)), mode_(mode), bytes_(std::move(bytes)) {}
  std::string cacheKey() const override { return key_; }
  void data(Handler handler) const override {
    ++asked;
    switch (mode_) {
      case Mode::answer:
        return handler(DataResult::success(bytes_));
      case Mode::fail:
        return handler(DataResult::failure(std::make_exception_ptr(std::runtime_error("no such photo"))));
      case Mode::never:
        kept = std::move(handler);  // held, never called
        return;
      case Mode::twice:
        handler(DataResult::success(bytes_));
        handler(DataResult::success(bytes_));
        return;
    }
  }
  std::unique_ptr<ImageDataProvider> clone() const override {
    return std::make_unique<ScriptedProvider>(key_, mode_, bytes_);
  }
  mutable std::atomic<int> asked{0};
  mutable Handler kept;

 private:
  std::string key_;
  Mode mode_;
  foundation::Bytes bytes_;
};

// A monitor that stays inside a registration: it registers the observer with a real monitor, tells the test,
// then returns only once the test has seen what it waits for (`letGo`) or a second has passed. A cancel the
// test makes meanwhile lands while the wait is being made.
class LingeringMonitor final : public NetworkMonitoring {
 public:
  explicit LingeringMonitor(std::shared_ptr<NetworkMonitor> inner) : inner(std::move(inner)) {}
  bool isConnected() const override { return inner->isConnected(); }
  std::shared_ptr<NetworkObserver> observeConnectivity(std::optional<double> timeout,
                                                       std::function<void(bool)> callback) override {
    auto observer = inner->observeConnectivity(timeout, std::move(callback));
    if (!told.exchange(true)) registering.set_value();
    letGo.wait_for(std::chrono::seconds(1));
    return observer;
  }
  // Lets a lingering registration return; once only.
  void release() {
    if (!released.exchange(true)) open.set_value();
  }

  const std::shared_ptr<NetworkMonitor> inner;
  std::promise<void> registering;

 private:
  std::atomic<bool> told{false};
  std::atomic<bool> released{false};
  std::promise<void> open;
  std::shared_future<void> letGo = open.get_future().share();
};

class ManagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    server.on("GET", "/a.png", imageReply(png));
    server.start();
  }
  void TearDown() override { server.stop(); }

  std::string url(const std::string& path) const { return server.baseURL() + path; }
  Source source(const std::string& path) const { return Source::network(VL::ImageResource(*URL::parse(url(path)))); }

  // One whole retrieval's answer, and how many times it was given.
  struct Outcome {
    VellumManager::RetrieveResult result;
    int answers;
  };
  Outcome retrieve(const Source& s, VellumOptionsInfo items = {}, std::shared_ptr<DownloadTask>* handle = nullptr) {
    items.push_back(VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch()));
    auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
    auto answers = std::make_shared<std::atomic<int>>(0);
    auto task = manager->retrieveImage(s, items, nullptr, [promise, answers](const VellumManager::RetrieveResult& r) {
      if (++*answers == 1) promise->set_value(r);
    });
    if (handle) *handle = task;
    auto result = await(promise->get_future());
    flushMain();
    return {std::move(result), answers->load()};
  }

  const foundation::Bytes png = pngBytes(24, 16);
  LoopbackServer server;
  TemporaryDirectory directory;
  std::shared_ptr<ImageCache> cache = makeCache(directory.path());
  std::shared_ptr<ImageDownloader> downloader = ImageDownloader::make("manager-test");
  std::shared_ptr<VellumManager> manager = VellumManager::make(downloader, cache);
};

}  // namespace vellum::test
