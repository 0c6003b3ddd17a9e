// The downloader over loopback beside raw curl-multi transfers with the same limits: 1000 distinct images
// of 2 to 20 KB, `concurrency` in flight at once, that many connections per host. The live-photo path moves
// bytes only; `downloadImage` also decodes each PNG. Compare each DownloaderLivePhoto/N and DownloaderImage/N
// with RawCurlMulti/N.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <testing/loopback_server.hpp>

#include "httpkit/transfer_engine.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/networking/image_downloader.hpp"

namespace {

constexpr int kImages = 1000;

// Noise does not compress, so a w x h image is about 4wh bytes of PNG: sides 22 to 70 give 2 to 20 KB.
foundation::Bytes noisePNG(std::uint32_t side, std::uint32_t seed) {
  vellum::Bitmap bitmap{side, side, std::vector<std::uint8_t>(std::size_t{side} * side * 4)};
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bitmap.pixels) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return *vellum::encodePNG(bitmap);
}

struct Fixture {
  explicit Fixture(int pool) : server(testing_support::LoopbackServer::Options{pool, std::nullopt}) {
    for (int i = 0; i < kImages; ++i) {
      const auto bytes = noisePNG(22 + static_cast<std::uint32_t>(i % 49), static_cast<std::uint32_t>(i));
      const std::string path = "/img/" + std::to_string(i) + ".png";
      server.on("GET", path, testing_support::Reply{200, std::string(bytes.begin(), bytes.end()), "image/png", {}, {}, {}});
      urls.push_back(path);
    }
    server.start();
    for (auto& url : urls) url = server.baseURL() + url;
  }
  testing_support::LoopbackServer server;
  std::vector<std::string> urls;
};

Fixture& fixture() {
  static Fixture* f = new Fixture(64 * 2 + 16);
  return *f;
}

// Keeps `concurrency` downloads in flight until all images have arrived; each completion starts the next.
// The window's state is shared with the completions, which may still be returning when the last one ends it.
template <class Start>
void runWindow(int concurrency, Start start) {
  struct Window {
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::promise<void> finished;
    std::function<void()> launch;
  };
  auto window = std::make_shared<Window>();
  std::weak_ptr<Window> weak = window;
  window->launch = [weak, start] {
    auto w = weak.lock();
    if (!w) return;
    const int i = w->next.fetch_add(1);
    if (i >= kImages) return;
    start(fixture().urls[static_cast<std::size_t>(i)], [w] {
      w->launch();
      if (w->done.fetch_add(1) + 1 == kImages) w->finished.set_value();
    });
  };
  auto finished = window->finished.get_future();
  for (int i = 0; i < concurrency; ++i) window->launch();
  finished.wait();
}

std::shared_ptr<vellum::ImageDownloader> downloaderFor(int concurrency) {
  auto downloader = vellum::ImageDownloader::make("bench");
  vellum::SessionConfiguration configuration;
  configuration.httpMaximumConnectionsPerHost = concurrency;
  downloader->setSessionConfiguration(configuration);
  return downloader;
}

vellum::VellumParsedOptionsInfo untouched() {
  vellum::VellumParsedOptionsInfo options;
  options.callbackQueue = vellum::CallbackQueue::untouch();
  return options;
}

void DownloaderLivePhoto(benchmark::State& state) {
  const int concurrency = static_cast<int>(state.range(0));
  fixture();
  auto downloader = downloaderFor(concurrency);
  const auto options = untouched();
  std::atomic<std::int64_t> bytes{0};
  for (auto _ : state) {
    runWindow(concurrency, [&](const std::string& url, std::function<void()> next) {
      downloader->downloadLivePhotoResource(url, options, [&bytes, next](const vellum::ImageDownloader::LivePhotoResult& r) {
        if (r) bytes += static_cast<std::int64_t>(r.value().originalData.size());
        next();
      });
    });
  }
  state.SetBytesProcessed(bytes.load());
  state.SetItemsProcessed(state.iterations() * kImages);
}

void DownloaderImage(benchmark::State& state) {
  const int concurrency = static_cast<int>(state.range(0));
  fixture();
  auto downloader = downloaderFor(concurrency);
  const auto options = untouched();
  std::atomic<int> failures{0};
  for (auto _ : state) {
    runWindow(concurrency, [&](const std::string& url, std::function<void()> next) {
      downloader->downloadImage(url, options, [&failures, next](const vellum::ImageDownloader::DownloadResult& r) {
        if (!r) ++failures;
        next();
      });
    });
  }
  if (failures) state.SkipWithError("a download failed");
  state.SetItemsProcessed(state.iterations() * kImages);
}

std::size_t discard(char*, std::size_t size, std::size_t count, void* sink) {
  *static_cast<std::size_t*>(sink) += size * count;
  return size * count;
}

// The same window with curl alone: one multi handle, the same per-host limit, easy handles reused. Each
// request carries the fields the downloader's requests carry: it accepts content codings (it decodes them),
// and the server and curl do more for that field on every request, work a bare request would leave out of
// the baseline. The answers are not content-coded, so neither side decodes anything.
void RawCurlMulti(benchmark::State& state) {
  const int concurrency = static_cast<int>(state.range(0));
  fixture();
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(concurrency));
  curl_slist* fields = curl_slist_append(nullptr, "Accept-Encoding: gzip, deflate, br");
  std::vector<CURL*> idle;
  std::size_t received = 0;
  for (int i = 0; i < concurrency; ++i) {
    idle.push_back(curl_easy_init());
    curl_easy_setopt(idle.back(), CURLOPT_HTTPHEADER, fields);
  }
  for (auto _ : state) {
    int next = 0, done = 0;
    auto add = [&] {
      if (next >= kImages || idle.empty()) return;
      CURL* easy = idle.back();
      idle.pop_back();
      curl_easy_setopt(easy, CURLOPT_URL, fixture().urls[static_cast<std::size_t>(next++)].c_str());
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
      curl_multi_add_handle(multi, easy);
    };
    for (int i = 0; i < concurrency; ++i) add();
    while (done < kImages) {
      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        curl_multi_remove_handle(multi, easy);
        idle.push_back(easy);
        ++done;
        add();
      }
      if (done < kImages) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
  }
  for (CURL* easy : idle) curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
  curl_slist_free_all(fields);
  state.SetBytesProcessed(static_cast<std::int64_t>(received));
  state.SetItemsProcessed(state.iterations() * kImages);
}

// httpkit's streaming transfers alone, as the downloader's session drives them: how much of the gap is the
// engine's and how much the downloader's.
void EngineStreaming(benchmark::State& state) {
  const int concurrency = static_cast<int>(state.range(0));
  fixture();
  httpkit::TransferEngine engine(httpkit::TransferEngine::Configuration{concurrency});
  httpkit::TransferOptions options;
  options.followRedirects = false;
  options.decodeContent = false;
  struct Observer final : httpkit::TransferObserver {
    std::function<void()> next;
    void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
    void didReceiveData(std::span<const std::uint8_t>) override {}
    void didComplete(const std::optional<httpkit::URLError>&, const httpkit::TaskMetrics&) override { next(); }
  };
  for (auto _ : state) {
    runWindow(concurrency, [&](const std::string& url, std::function<void()> next) {
      auto observer = std::make_shared<Observer>();
      observer->next = std::move(next);
      engine.start(httpkit::URLRequest{url, httpkit::HTTPMethod::get, {}, std::nullopt}, options, observer);
    });
  }
  state.SetItemsProcessed(state.iterations() * kImages);
}

// `callers` downloads of one URL share a transfer the server holds back; the time is that of cancelling them
// one by one, which should grow about in step with the number of callers.
void CancelManyCallersOfOneURL(benchmark::State& state) {
  const int callers = static_cast<int>(state.range(0));
  static testing_support::LoopbackServer* server = [] {
    auto* s = new testing_support::LoopbackServer(testing_support::LoopbackServer::Options{16, std::nullopt});
    s->start();
    return s;
  }();
  auto downloader = vellum::ImageDownloader::make("bench.cancel");
  const auto options = untouched();
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto gate = std::make_shared<testing_support::Gate>();
    const std::string path = "/held/" + std::to_string(callers) + "/" + std::to_string(round++) + ".png";
    server->on("GET", path, testing_support::Reply{200, "x", "image/png", {}, {}, gate});
    auto answered = std::make_shared<std::atomic<int>>(0);
    auto all = std::make_shared<std::promise<void>>();
    std::vector<std::shared_ptr<vellum::DownloadTask>> handles;
    handles.reserve(static_cast<std::size_t>(callers));
    for (int i = 0; i < callers; ++i) {
      handles.push_back(downloader->downloadImage(server->baseURL() + path, options,
                                                  [answered, all, callers](const vellum::ImageDownloader::DownloadResult&) {
                                                    if (++*answered == callers) all->set_value();
                                                  }));
    }
    state.ResumeTiming();
    for (const auto& handle : handles) handle->cancel();
    state.PauseTiming();
    gate->open();
    if (all->get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      state.SkipWithError("a caller was never answered");
      break;
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * callers);
}

BENCHMARK(CancelManyCallersOfOneURL)->Arg(5000)->Arg(40000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(EngineStreaming)->Arg(8)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawCurlMulti)->Arg(8)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DownloaderLivePhoto)->Arg(8)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DownloaderImage)->Arg(8)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
