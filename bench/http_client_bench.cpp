// APIClient::send of a small JSON answer against the loopback server, beside a raw libcurl easy handle doing
// the same request; both keep their connection, so the difference is what the client adds per call.
// Each pair runs twice: with the content codings curl offers by default (the loopback server then
// compresses the answer, which dominates) and with "Accept-Encoding: identity", which leaves the client's
// own cost in view.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <httpkit/api_client.hpp>
#include <testing/loopback_server.hpp>

namespace {

const char* const kBody = R"({"id":"user_1","first_name":"Ann","last_name":"Li","verified":true})";
// Answers whose heads have this many fields, each of its own name (the most some 130 KB).
constexpr int kHeadFields[] = {1000, 4000, 12000};

testing_support::LoopbackServer& server() {
  static testing_support::LoopbackServer* instance = [] {
    auto* s = new testing_support::LoopbackServer();
    s->on("GET", "/v1/me", testing_support::Reply::json(200, kBody));
    for (const int fields : kHeadFields) {
      testing_support::Reply reply = testing_support::Reply::json(200, "{}");
      for (int i = 0; i < fields; ++i) reply.headers.emplace_back("f" + std::to_string(i), std::to_string(i % 10));
      s->on("GET", "/fields/" + std::to_string(fields), reply);
    }
    s->start();
    return s;
  }();
  return *instance;
}

bool identity(const benchmark::State& state) { return state.range(0) == 1; }

size_t collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// A raw easy handle for the same request, keeping its connection between transfers.
class RawTransfer {
 public:
  explicit RawTransfer(const benchmark::State& state, const std::string& path = "/v1/me")
      : url_(server().baseURL() + path),
        easy_(curl_easy_init()),
        headers_(identity(state) ? curl_slist_append(nullptr, "Accept-Encoding: identity") : nullptr) {
    curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "");  // as the client does
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  }
  ~RawTransfer() {
    curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
  }
  RawTransfer(const RawTransfer&) = delete;
  RawTransfer& operator=(const RawTransfer&) = delete;

  bool perform() {
    body_.clear();
    const bool ok = curl_easy_perform(easy_) == CURLE_OK;
    benchmark::DoNotOptimize(body_.data());
    return ok;
  }

 private:
  std::string url_;
  CURL* easy_;
  curl_slist* headers_;
  std::string body_;
};

void RawCurlEasyHandle(benchmark::State& state) {
  RawTransfer raw(state);
  for (auto _ : state) {
    if (!raw.perform()) state.SkipWithError("transfer failed");
  }
  state.SetLabel(identity(state) ? "identity" : "compressed");
}
BENCHMARK(RawCurlEasyHandle)->Arg(0)->Arg(1)->UseRealTime();

std::unique_ptr<httpkit::APIClient> makeClient(const benchmark::State& state) {
  return std::make_unique<httpkit::APIClient>(server().baseURL(), [&](httpkit::APIClient::Configuration& c) {
    if (identity(state)) c.sessionConfiguration.additionalHTTPHeaders.set("Accept-Encoding", "identity");
  });
}

void APIClientSend(benchmark::State& state) {
  auto client = makeClient(state);
  const httpkit::Request<nlohmann::json> request{"/v1/me"};
  for (auto _ : state) {
    auto response = client->send(request);
    benchmark::DoNotOptimize(response.value);
  }
  state.SetLabel(identity(state) ? "identity" : "compressed");
}
BENCHMARK(APIClientSend)->Arg(0)->Arg(1)->UseRealTime();

void APIClientSendUndecoded(benchmark::State& state) {
  auto client = makeClient(state);
  const httpkit::Request<void> request{"/v1/me"};
  for (auto _ : state) {
    auto response = client->send(request);
    benchmark::DoNotOptimize(response.data.data());
  }
  state.SetLabel(identity(state) ? "identity" : "compressed");
}
BENCHMARK(APIClientSendUndecoded)->Arg(0)->Arg(1)->UseRealTime();

// Heads of many fields: both should grow in proportion to the head, the client's by no more than the raw
// handle's plus its own reading of each field. Arg is the number of fields.
void RawCurlManyHeadFields(benchmark::State& state) {
  RawTransfer raw(state, "/fields/" + std::to_string(state.range(0)));
  for (auto _ : state) {
    if (!raw.perform()) state.SkipWithError("transfer failed");
  }
}
BENCHMARK(RawCurlManyHeadFields)->Arg(kHeadFields[0])->Arg(kHeadFields[1])->Arg(kHeadFields[2])->UseRealTime();

void APIClientManyHeadFields(benchmark::State& state) {
  httpkit::APIClient client(server().baseURL());
  const httpkit::Request<void> request{"/fields/" + std::to_string(state.range(0))};
  for (auto _ : state) {
    auto response = client.send(request);
    benchmark::DoNotOptimize(response.response.headers.size());
  }
}
BENCHMARK(APIClientManyHeadFields)->Arg(kHeadFields[0])->Arg(kHeadFields[1])->Arg(kHeadFields[2])->UseRealTime();

// One client per answer kind, shared by every thread of a run, as an application shares its client.
httpkit::APIClient& sharedClient(const benchmark::State& state) {
  static std::mutex mutex;
  static std::map<bool, std::unique_ptr<httpkit::APIClient>> clients;
  std::lock_guard lock(mutex);
  auto& client = clients[identity(state)];
  if (!client) client = makeClient(state);
  return *client;
}

// Both transfers in one loop, alternating, so that the load of a shared machine falls on both alike; the
// counters give each one's mean time per call and their ratio. With several threads, each thread has a raw
// handle of its own while all of them send through one client.
void InterleavedRatio(benchmark::State& state) {
  RawTransfer rawTransfer(state);
  httpkit::APIClient& client = sharedClient(state);
  const httpkit::Request<nlohmann::json> request{"/v1/me"};

  using Clock = std::chrono::steady_clock;
  Clock::duration raw{0}, api{0};
  // Whichever goes second meets the server still finishing the first one's answer, so the order alternates.
  bool rawFirst = true;
  for (auto _ : state) {
    const auto sendRaw = [&] {
      const auto start = Clock::now();
      if (!rawTransfer.perform()) state.SkipWithError("transfer failed");
      raw += Clock::now() - start;
    };
    const auto sendThroughClient = [&] {
      const auto start = Clock::now();
      auto response = client.send(request);
      benchmark::DoNotOptimize(response.value);
      api += Clock::now() - start;
    };
    if (rawFirst) {
      sendRaw();
      sendThroughClient();
    } else {
      sendThroughClient();
      sendRaw();
    }
    rawFirst = !rawFirst;
  }
  const double n = static_cast<double>(state.iterations());
  const double rawMicros = std::chrono::duration<double, std::micro>(raw).count() / n;
  const double apiMicros = std::chrono::duration<double, std::micro>(api).count() / n;
  state.counters["raw_us"] = benchmark::Counter(rawMicros, benchmark::Counter::kAvgThreads);
  state.counters["client_us"] = benchmark::Counter(apiMicros, benchmark::Counter::kAvgThreads);
  state.counters["ratio"] = benchmark::Counter(apiMicros / rawMicros, benchmark::Counter::kAvgThreads);
  state.SetLabel(identity(state) ? "identity" : "compressed");
}
BENCHMARK(InterleavedRatio)->Arg(0)->Arg(1)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
