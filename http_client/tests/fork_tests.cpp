// A process forked from one that uses a client: the child inherits the client's kept connections (the same
// sockets as its parent's), a worker thread that does not exist in it, and sends counted in flight on
// threads it does not have. It must get connections and a worker of its own, and never wait for its
// parent's work.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <foundation/log.hpp>
#include <future>
#include <string>

#include <httpkit/transfer_engine.hpp>
#include <testing/bounded_task.hpp>
#include <testing/loopback_server.hpp>

#include "test_support.hpp"

namespace {

using httpkit::Request;
using httpkit::URLError;
using httpkit_tests::kDeadline;
using httpkit_tests::text;
using testing_support::LoopbackServer;
using testing_support::Reply;

// The child's report: empty when all held, else the first thing that did not.
std::string runInChild(const std::function<std::string()>& scenario) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string report = "R" + scenario();
    const bool sent = ::write(fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
    ::_exit(sent ? 0 : 1);  // nothing of the parent's is run down in the child
  }
  ::close(fds[1]);
  std::string report;
  const auto end = std::chrono::steady_clock::now() + 3 * kDeadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd ready{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) {
      report = "Rthe child did not end within the deadline";
      ::kill(pid, SIGKILL);
      break;
    }
    char buffer[1024];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    report.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return report.empty() ? "the child died without a report" : report.substr(1);
}

struct Stream : httpkit::TransferObserver {
  std::promise<std::optional<URLError>> done;
  std::string body;
  void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
  void didReceiveData(std::span<const std::uint8_t> bytes) override { body.append(bytes.begin(), bytes.end()); }
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override {
    done.set_value(error);
  }
};

// The body a streaming transfer on `engine` ends with, or what went wrong.
std::string stream(httpkit::TransferEngine& engine, const std::string& url) {
  auto observer = std::make_shared<Stream>();
  auto ended = observer->done.get_future();
  engine.start(httpkit::URLRequest{url, httpkit::HTTPMethod::get, {}, std::nullopt}, {}, observer);
  if (ended.wait_for(kDeadline) != std::future_status::ready) return "no end";
  const auto error = ended.get();
  return error ? error->what() : observer->body;
}

TEST(Fork, AChildGetsConnectionsAndAWorkerOfItsOwn) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // The child's streaming transfer needs a thread of its own, which the sanitizers cannot give a child of a
  // process with threads: the thread sanitizer ends it, and this address sanitizer's allocator, not locked
  // across the fork, can hang its first allocation there.
  constexpr bool kChildStreams = false;
#else
  constexpr bool kChildStreams = true;
#endif
  LoopbackServer server;
  auto gate = std::make_shared<testing_support::Gate>();
  server.on("GET", "/held", Reply{200, "held", "text/plain", {}, {}, gate});
  server.on("GET", "/parent", Reply::text(200, "parent"));
  server.on("GET", "/child", Reply::text(200, "child"));
  server.start();
  auto client = httpkit_tests::makeClient(server.baseURL());
  EXPECT_EQ(text(client->send(Request<void>{"/parent"}).data), "parent");
  EXPECT_EQ(stream(*client->engine(), server.baseURL() + "/parent"), "parent");
  auto held = testing_support::launch([&] { return text(client->send(Request<void>{"/held"}).data); });
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  const int connections = server.connections();

  const std::string report = runInChild([&] {
    std::string logged;
    foundation::setLogSink([&](foundation::LogLevel, std::string_view line) { logged += line; });
    std::string body;
    try {
      body = text(client->send(Request<void>{"/child"}).data);
    } catch (const std::exception& e) {
      body = e.what();
    }
    if (body != "child") return "the child's send gave: " + body;
    if (kChildStreams) {
      body = stream(*client->engine(), server.baseURL() + "/child");
      if (body != "child") return "the child's streaming transfer gave: " + body;
    }
    // The parent's send held at the gate is not one of the child's to wait for.
    client.reset();
    return logged.empty() ? std::string() : "destroying the client logged: " + logged;
  });
  EXPECT_EQ(report, "");
  EXPECT_EQ(server.connections(), connections + (kChildStreams ? 2 : 1))
      << "the child's transfers did not go out on connections of their own";

  gate->open();
  ASSERT_EQ(held.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(held.get(), "held");
  EXPECT_EQ(text(client->send(Request<void>{"/parent"}).data), "parent");
  EXPECT_EQ(stream(*client->engine(), server.baseURL() + "/parent"), "parent");
}

}  // namespace
