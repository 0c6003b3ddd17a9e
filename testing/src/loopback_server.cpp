#include "testing/loopback_server.hpp"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <set>
#include <stdexcept>

namespace testing_support {

namespace {
bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}
}  // namespace

void Gate::open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  condition_.notify_all();
}

void Gate::wait() {
  std::unique_lock lock(mutex_);
  ++arrivals_;
  condition_.notify_all();
  condition_.wait(lock, [this] { return open_; });
}

int Gate::arrivals() const {
  std::lock_guard lock(mutex_);
  return arrivals_;
}

bool Gate::waitForArrivals(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return condition_.wait_for(lock, timeout, [&] { return arrivals_ >= count; });
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (sameName(key, name)) return value;
  }
  return std::nullopt;
}

struct LoopbackServer::State {
  std::unique_ptr<httplib::Server> owned;
  httplib::Server& server;
  explicit State(std::unique_ptr<httplib::Server> s) : owned(std::move(s)), server(*owned) {}
  mutable std::mutex mutex;
  std::map<std::pair<std::string, std::string>, Handler> routes;
  std::map<std::pair<std::string, std::string>, int> hits;
  std::vector<RecordedRequest> requests;
  std::set<int> remotePorts;
  std::vector<std::shared_ptr<Gate>> gates;
  bool stopped = false;
  std::future<void> listening;
  int listener = -1;
  int backlog = 0;

  void handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded;
    recorded.method = request.method;
    const auto question = request.target.find('?');
    recorded.path = request.target.substr(0, question);
    if (question != std::string::npos) recorded.query = request.target.substr(question + 1);
    for (const auto& [name, value] : request.headers) recorded.headers.emplace_back(name, value);
    recorded.body = request.body;

    Handler handler;
    {
      std::lock_guard lock(mutex);
      const auto key = std::make_pair(recorded.method == "HEAD" ? std::string("GET") : recorded.method, recorded.path);
      ++hits[std::make_pair(recorded.method, recorded.path)];
      requests.push_back(recorded);
      remotePorts.insert(request.remote_port);
      auto it = routes.find(key);
      if (it != routes.end()) handler = it->second;
    }
    Reply reply = handler ? handler(recorded) : Reply::text(404, "no route");
    if (reply.gate) {
      {
        std::lock_guard lock(mutex);
        gates.push_back(reply.gate);
        if (stopped) reply.gate->open();
      }
      reply.gate->wait();
    }
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    if (!reply.chunks.empty()) {
      auto chunks = std::make_shared<std::vector<std::string>>(reply.chunks);
      response.set_chunked_content_provider(reply.contentType, [chunks](size_t, httplib::DataSink& sink) {
        for (const auto& chunk : *chunks) {
          if (!sink.write(chunk.data(), chunk.size())) return false;
        }
        sink.done();
        return true;
      });
    } else {
      response.set_content(reply.body, reply.contentType);
    }
  }
};

namespace {
std::unique_ptr<httplib::Server> makeServer(const std::optional<TlsIdentity>& tls) {
  if (!tls) return std::make_unique<httplib::Server>();
  BIO* certificateText = BIO_new_mem_buf(tls->certificatePEM.data(), static_cast<int>(tls->certificatePEM.size()));
  BIO* keyText = BIO_new_mem_buf(tls->privateKeyPEM.data(), static_cast<int>(tls->privateKeyPEM.size()));
  X509* certificate = PEM_read_bio_X509(certificateText, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyText, nullptr, nullptr, nullptr);
  BIO_free(certificateText);
  BIO_free(keyText);
  if (!certificate || !key) throw std::runtime_error("loopback server: unreadable TLS identity");
  auto server = std::make_unique<httplib::SSLServer>(certificate, key);
  X509_free(certificate);
  EVP_PKEY_free(key);
  if (!server->is_valid()) throw std::runtime_error("loopback server: TLS context refused the identity");
  return server;
}
}  // namespace

TlsIdentity makeSelfSignedIdentity(const std::string& host) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  if (!key || !certificate) throw std::runtime_error("could not make a test key");
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  const bool isAddress = host.find_first_not_of("0123456789.") == std::string::npos;
  const std::string alternative = (isAddress ? "IP:" : "DNS:") + host;
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  if (X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, alternative.c_str())) {
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(certificate, key, EVP_sha256());
  auto pem = [](auto write) {
    BIO* out = BIO_new(BIO_s_mem());
    write(out);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(out);
    return text;
  };
  TlsIdentity identity;
  identity.certificatePEM = pem([&](BIO* out) { PEM_write_bio_X509(out, certificate); });
  identity.privateKeyPEM = pem([&](BIO* out) { PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr); });
  X509_free(certificate);
  EVP_PKEY_free(key);
  return identity;
}

LoopbackServer::LoopbackServer(Options options)
    : state_(std::make_shared<State>(makeServer(options.tls))), tls_(options.tls.has_value()) {
  auto* state = state_.get();
  const auto threads = static_cast<std::size_t>(std::max(1, options.maximumConnections));
  state->server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // The library listens with a backlog of 5, so a burst of connections overflows it and the kernel drops
  // the excess until the clients retry a second or more later. Keeping the socket lets `start` listen again
  // with a queue as long as the pool.
  state->server.set_socket_options([state](int socket) {
    httplib::default_socket_options(socket);
    state->listener = socket;
  });
  state->backlog = static_cast<int>(threads);
  auto handler = [state](const httplib::Request& request, httplib::Response& response) {
    state->handle(request, response);
  };
  const std::string any = ".*";
  state->server.Get(any, handler);
  state->server.Post(any, handler);
  state->server.Put(any, handler);
  state->server.Patch(any, handler);
  state->server.Delete(any, handler);
  state->server.Options(any, handler);
  // Tests and benchmarks count on a client keeping one connection for many requests.
  state->server.set_keep_alive_max_count(1'000'000);
  // httplib's stop() waits for idle keep-alive connections to time out, so this bounds how long stopping
  // takes while a client still holds a connection (one second is the shortest it allows).
  state->server.set_keep_alive_timeout(1);
  // Without it, the answer's head and body in separate writes meet delayed ACKs: 40 ms per request.
  state->server.set_tcp_nodelay(true);
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::on(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard lock(state_->mutex);
  state_->routes[std::make_pair(method, path)] = std::move(handler);
}

void LoopbackServer::on(const std::string& method, const std::string& path, Reply reply) {
  on(method, path, [reply](const RecordedRequest&) { return reply; });
}

void LoopbackServer::start() {
  if (thread_.joinable()) return;
  port_ = state_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("loopback server could not bind 127.0.0.1");
  if (state_->listener >= 0) ::listen(state_->listener, std::max(state_->backlog, SOMAXCONN));
  std::promise<void> finished;
  state_->listening = finished.get_future();
  thread_ = std::thread([state = state_, finished = std::move(finished)]() mutable {
    state->server.listen_after_bind();
    finished.set_value();
  });
}

void LoopbackServer::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
    for (auto& gate : state_->gates) gate->open();
  }
  // httplib ignores a stop that arrives before its accept loop has begun, so keep asking until the loop
  // has ended; each wait is on the loop's own end.
  do {
    state_->server.stop();
  } while (state_->listening.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready);
  thread_.join();
}

std::string LoopbackServer::baseURL() const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

int LoopbackServer::hits(const std::string& method, const std::string& path) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->hits.find(std::make_pair(method, path));
  return it == state_->hits.end() ? 0 : it->second;
}

int LoopbackServer::totalHits() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->requests.size());
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

int LoopbackServer::connections() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->remotePorts.size());
}

}  // namespace testing_support
