// The authentication library against its baselines, measured in the same run:
// - one "GET /v1/client" through the whole request pipeline (preprocessors, HTTP client, response processors,
//   envelope decoding) beside a raw libcurl transfer of the same request to the same loopback server, alone and
//   followed by decoding the answer into the client a caller gets; PipelineInterleavedRatio alternates the
//   pipeline and that baseline in one loop, so a shared machine's load falls on both alike;
// - decoding a client answer with 1, 10 and 50 sessions beside one plain JSON parse of the same bytes;
// - a session-token cache hit (1 and 8 threads) beside a plain mutex-guarded map lookup of the same token.
// Run it under scripts/with-keyring: the device token and the cached client live in the Secret Service (read
// once and written off the request path).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <fake_frontend_api/fake_frontend_api.hpp>
#include <foundation/main_queue.hpp>
#include <unistd.h>

#include "vadar/models/client_response.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/core/vadar.hpp"

namespace {

// One fake frontend API and one configured Vadar for the whole run.
struct Setup {
  fake_frontend_api::FakeFrontendAPI api{[] {
    fake_frontend_api::Options options;
    options.mountPrefixes = {"/__proxy"};
    return options;
  }()};
  std::shared_ptr<vadar::Vadar> vadar;

  Setup() {
    api.start();
    const std::string service = "tolvaran.vadar.bench." + std::to_string(::getpid());
    vadar::keychainFactory().register_(
        [service] { return vadar::makeKeychainStore(vadar::KeychainConfig(service)); });
    vadar = vadar::Vadar::make();
    vadar::vadarFactory().register_([v = vadar] { return v; });
    vadar->configure(fake_frontend_api::FakeFrontendAPI::publishableKeyFor("frontend.example.test"),
                     vadar::Vadar::Settings(false, true, vadar::KeychainConfig(service), api.baseUrl() + "/__proxy"));
    vadar::Client::get();  // the device token is handed out and stored
    foundation::MainQueue::drain();
  }

  static Setup& shared() {
    static Setup* setup = new Setup();  // lives for the process; the server stops with it
    return *setup;
  }
};

void BM_PipelineGetClient(benchmark::State& state) {
  Setup& setup = Setup::shared();
  for (auto _ : state) {
    auto client = vadar::Client::get();
    benchmark::DoNotOptimize(client);
    // Each answer queues the client's installation on the main queue; let it land outside the measured time.
    // Its keychain copy is the writer thread's business and overlaps the next request, as in an application.
    state.PauseTiming();
    foundation::MainQueue::drain();
    state.ResumeTiming();
  }
  (void)setup;
}
BENCHMARK(BM_PipelineGetClient)->UseRealTime();

// The HTTP client alone (no library delegate) on the same request: where the pipeline's cost begins.
void BM_HttpClientAloneGetClient(benchmark::State& state) {
  Setup& setup = Setup::shared();
  httpkit::APIClient client(setup.api.baseUrl());
  httpkit::AnyRequest request("/__proxy/v1/client?_is_native=true");
  for (auto _ : state) benchmark::DoNotOptimize(client.data(request));
}
BENCHMARK(BM_HttpClientAloneGetClient)->UseRealTime();

std::size_t collect(char* data, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// Raw libcurl with the bytes the pipeline sends: the proxied path, the query item and the same header fields
// (Accept-Encoding included, as the HTTP client sends it).
class RawCurlGet {
 public:
  explicit RawCurlGet(const std::string& path)
      : url_(Setup::shared().api.baseUrl() + "/__proxy" + path + "?_is_native=true"), curl_(curl_easy_init()) {
    for (const char* header : {"Content-Type: application/x-www-form-urlencoded", "vadar-api-version: 2025-11-10",
                               "x-ios-sdk-version: 0.71.4", "x-mobile: 1", "x-native-device-id: uidevice-unsupported",
                               "Authorization: fake_device_token_1"})
      headers_ = curl_slist_append(headers_, header);
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
  }
  ~RawCurlGet() {
    curl_slist_free_all(headers_);
    curl_easy_cleanup(curl_);
  }
  RawCurlGet(const RawCurlGet&) = delete;
  RawCurlGet& operator=(const RawCurlGet&) = delete;

  // The answer's body, or none when the transfer failed.
  const std::string* perform() {
    body_.clear();
    return curl_easy_perform(curl_) == CURLE_OK ? &body_ : nullptr;
  }

 private:
  std::string url_;
  CURL* curl_;
  curl_slist* headers_ = nullptr;
  std::string body_;
};

void rawCurlGet(benchmark::State& state, const std::string& path, const std::function<void()>& beforeEach = {},
                const std::function<void(const std::string&)>& afterEach = {}) {
  RawCurlGet raw(path);
  for (auto _ : state) {
    if (beforeEach) beforeEach();
    const std::string* body = raw.perform();
    if (!body) state.SkipWithError("transfer failed");
    else if (afterEach) afterEach(*body);
    benchmark::DoNotOptimize(body);
  }
}

// What any client fetch must at least do once the bytes are in: decode them, with the library's JSON parser and
// model decoders, into the client a caller gets.
void decodeClient(const std::string& body) {
  auto decoded = vadar::decodeJSON<vadar::ClientResponse<std::optional<vadar::Client>>>(body);
  benchmark::DoNotOptimize(decoded);
}

void BM_RawCurlGetClient(benchmark::State& state) { rawCurlGet(state, "/v1/client"); }
BENCHMARK(BM_RawCurlGetClient)->UseRealTime();

// The pipeline's floor while every request read the device token from the keychain: the raw transfer plus that
// read. Kept for comparison with earlier runs; the token now stays in memory once read.
void BM_RawCurlAndKeychainReadGetClient(benchmark::State& state) {
  Setup::shared();
  const keychain::KeychainStore store = vadar::keychainFactory().resolve();
  rawCurlGet(state, "/v1/client", [&store] { benchmark::DoNotOptimize(store.string("vadarDeviceToken")); });
}
BENCHMARK(BM_RawCurlAndKeychainReadGetClient)->UseRealTime();

// The pipeline's floor: the raw transfer, then the answer decoded into the client.
void BM_RawCurlAndJsonDecodeGetClient(benchmark::State& state) { rawCurlGet(state, "/v1/client", {}, decodeClient); }
BENCHMARK(BM_RawCurlAndJsonDecodeGetClient)->UseRealTime();

// The pipeline and its floor alternating in one loop; the counters give each one's mean time per call and their
// ratio. The main queue is drained after each pipeline call outside both clocks, as above.
void BM_PipelineInterleavedRatio(benchmark::State& state) {
  Setup::shared();
  RawCurlGet raw("/v1/client");
  using Clock = std::chrono::steady_clock;
  Clock::duration rawTime{0}, pipelineTime{0};
  // Whichever goes second meets the server still finishing the first one's answer, so the order alternates.
  bool rawFirst = true;
  for (auto _ : state) {
    const auto sendRaw = [&] {
      const auto start = Clock::now();
      const std::string* body = raw.perform();
      if (body) decodeClient(*body);
      rawTime += Clock::now() - start;
      if (!body) state.SkipWithError("transfer failed");
    };
    const auto sendThroughPipeline = [&] {
      const auto start = Clock::now();
      auto client = vadar::Client::get();
      benchmark::DoNotOptimize(client);
      pipelineTime += Clock::now() - start;
      foundation::MainQueue::drain();
    };
    if (rawFirst) {
      sendRaw();
      sendThroughPipeline();
    } else {
      sendThroughPipeline();
      sendRaw();
    }
    rawFirst = !rawFirst;
  }
  const double n = static_cast<double>(state.iterations());
  const double rawMicros = std::chrono::duration<double, std::micro>(rawTime).count() / n;
  const double pipelineMicros = std::chrono::duration<double, std::micro>(pipelineTime).count() / n;
  state.counters["raw_decode_us"] = rawMicros;
  state.counters["pipeline_us"] = pipelineMicros;
  state.counters["ratio"] = pipelineMicros / rawMicros;
}
BENCHMARK(BM_PipelineInterleavedRatio)->UseRealTime();

// An answer without a client: the pipeline's own cost, without the keychain write that installing a client
// queues on the main queue.
void BM_PipelineGetEnvironment(benchmark::State& state) {
  Setup::shared();
  const httpkit::AnyRequest request("/v1/environment");
  for (auto _ : state) benchmark::DoNotOptimize(vadar::apiClientFactory().resolve()->data(request));
}
BENCHMARK(BM_PipelineGetEnvironment)->UseRealTime();

void BM_RawCurlGetEnvironment(benchmark::State& state) { rawCurlGet(state, "/v1/environment"); }
BENCHMARK(BM_RawCurlGetEnvironment)->UseRealTime();

// A client answer with `sessions` sessions, as the fake frontend API writes it.
std::string clientAnswer(int sessions) {
  fake_frontend_api::State state;
  auto& user = state.addUser("Ada", "Lovelace", "ada@example.test");
  for (int i = 0; i < sessions; ++i) state.addSession(user["id"].get<std::string>());
  return nlohmann::json{{"response", state.client}, {"client", nullptr}}.dump();
}

void BM_DecodeClientAnswer(benchmark::State& state) {
  const std::string body = clientAnswer(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto decoded = vadar::decodeJSON<vadar::ClientResponse<std::optional<vadar::Client>>>(body);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_DecodeClientAnswer)->Arg(1)->Arg(10)->Arg(50);

void BM_PlainJsonParse(benchmark::State& state) {
  const std::string body = clientAnswer(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto parsed = nlohmann::json::parse(body);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_PlainJsonParse)->Arg(1)->Arg(10)->Arg(50);

}  // namespace

BENCHMARK_MAIN();

// ---- session tokens: a cache hit beside a plain mutex-guarded map lookup, same key, same token ----

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <foundation/base64.hpp>

#include "vadar/sessions/get_token_options.hpp"
#include "vadar/models/session.hpp"
#include "vadar/sessions/session_tokens_cache.hpp"
#include "vadar/models/token_resource.hpp"
namespace token_bench {

std::string jwtPart(const std::string& text) { return foundation::base64UrlEncode(foundation::toBytes(text)); }

// A realistic token (about 400 bytes) that expires a day from now, cached for a session of its own.
const vadar::Session& cachedSession() {
  static const vadar::Session session = [] {
    vadar::Session s;
    s.id = "sess_2bG7bench0000000000000000";
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::string claims = "{\"azp\":\"https://app.example.test\",\"exp\":" + std::to_string(now + 86400) +
                               ",\"iat\":" + std::to_string(now) +
                               ",\"iss\":\"https://frontend.example.test\",\"jti\":\"0123456789abcdef0123\",\"nbf\":" +
                               std::to_string(now) + ",\"sid\":\"" + s.id +
                               "\",\"sub\":\"user_2bG7bench000000000000000\"}";
    const vadar::TokenResource token{jwtPart("{\"alg\":\"RS256\",\"kid\":\"ins_2bG7bench\",\"typ\":\"JWT\"}") + "." +
                                     jwtPart(claims) + "." + jwtPart(std::string(256, 's'))};
    vadar::SessionTokensCache::shared().insert(token, vadar::SessionTokenKey{s.id, std::nullopt});
    return s;
  }();
  return session;
}

void BM_SessionTokenCacheHit(benchmark::State& state) {
  const vadar::Session& session = cachedSession();
  const vadar::Session::GetTokenOptions options(std::nullopt, 10.0, false);
  for (auto _ : state) {
    auto token = session.getToken(options);
    benchmark::DoNotOptimize(token);
  }
}
BENCHMARK(BM_SessionTokenCacheHit)->Threads(1)->Threads(8)->UseRealTime();

// The baseline: the same key and token behind one mutex, copied out.
void BM_PlainMutexMapLookup(benchmark::State& state) {
  static std::mutex mutex;
  static const auto* map = [] {
    const vadar::Session& session = cachedSession();
    auto* m = new std::unordered_map<std::string, vadar::TokenResource>();
    (*m)[session.id] = *vadar::SessionTokensCache::shared().token({session.id, std::nullopt});
    for (int i = 0; i < 100; ++i) (*m)["sess_other_" + std::to_string(i)] = vadar::TokenResource{"x"};
    return m;
  }();
  const vadar::Session& session = cachedSession();
  for (auto _ : state) {
    std::optional<vadar::TokenResource> token;
    {
      const std::string key = vadar::sessionTokenCacheKey(session.id, std::nullopt);
      std::lock_guard lock(mutex);
      auto it = map->find(key);
      if (it != map->end()) token = it->second;
    }
    benchmark::DoNotOptimize(token);
  }
}
BENCHMARK(BM_PlainMutexMapLookup)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace token_bench
