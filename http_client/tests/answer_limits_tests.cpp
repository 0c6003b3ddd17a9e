// Answers that stall, announce too much or stop short, played byte for byte by a scripted server: the client
// must fail each one with the right error, on time, and never pass part of a body off as the whole.
#include <gtest/gtest.h>

#include <testing/bounded_task.hpp>
#include <testing/scripted_server.hpp>
#include "test_support.hpp"

namespace {

using httpkit::APIClient;
using httpkit::Request;
using httpkit::URLError;
using httpkit_tests::brotli;
using httpkit_tests::gzip;
using httpkit_tests::headsCutByTheClose;
using httpkit_tests::makeClient;
using testing_support::ScriptedServer;
using httpkit_tests::text;
using httpkit_tests::thrown;
using Step = ScriptedServer::Step;
using std::chrono::milliseconds;

std::string head(const std::string& fields) { return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + fields + "\r\n"; }

std::string chunked(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n0\r\n\r\n";
}

std::unique_ptr<APIClient> clientFor(const ScriptedServer& server, milliseconds idle, std::size_t cap = 1 << 20) {
  return makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
    c.sessionConfiguration.timeoutIntervalForRequest = idle;
    c.sessionConfiguration.maximumResponseSize = cap;
  });
}

// Each transfer is held to its own idle limit: a stall ends as timed out no sooner than the limit, and a
// shorter limit ends its stall first. The second is measured against a stall of three times the idle time
// that starts at the same moment, never against a bound on the clock, so a slow machine has 600 ms to spare.
TEST(Timeouts, AStallFailsAsTimedOutByItsOwnIdleLimit) {
  const std::vector<std::pair<const char*, std::vector<Step>>> stalls{
      {"before the head", {{milliseconds(0), "", true}}},
      {"mid-body", {{milliseconds(0), head("Content-Length: 20\r\n") + R"({"id":)", true}}},
  };
  constexpr milliseconds kIdle{300}, kLongerIdle{900};
  using Clock = std::chrono::steady_clock;
  struct Ended {
    std::optional<URLError> error;
    Clock::time_point at;
  };
  for (const auto& [where, script] : stalls) {
    SCOPED_TRACE(std::string("stalled ") + where);
    ScriptedServer server(script), longerServer(script);
    auto client = clientFor(server, kIdle);
    auto longerClient = clientFor(longerServer, kLongerIdle);
    const auto started = Clock::now();
    const auto stall = [](APIClient& stalled) {
      auto error = thrown<URLError>([&] { stalled.send(Request<void>{"/stall"}); });
      return Ended{std::move(error), Clock::now()};
    };
    auto shorter = testing_support::launch([&] { return stall(*client); });
    auto longer = testing_support::launch([&] { return stall(*longerClient); });
    ASSERT_EQ(shorter.wait_for(httpkit_tests::kDeadline), std::future_status::ready);
    ASSERT_EQ(longer.wait_for(httpkit_tests::kDeadline), std::future_status::ready);
    const Ended first = shorter.get(), second = longer.get();
    ASSERT_TRUE(first.error && second.error) << "a stalled answer succeeded";
    EXPECT_EQ(first.error->code(), URLError::Code::timedOut) << first.error->what();
    EXPECT_EQ(second.error->code(), URLError::Code::timedOut) << second.error->what();
    EXPECT_GE(first.at - started, kIdle);
    EXPECT_GE(second.at - started, kLongerIdle);
    EXPECT_LT(first.at, second.at) << "the shorter idle limit ended its stall last";
  }
}

// Bytes that come well inside the idle time, one after the other, over longer than the idle time: only a
// clock that every byte restarts lets the answer through (the gaps leave a slow machine ample room).
TEST(Timeouts, EveryByteRestartsTheIdleClock) {
  constexpr milliseconds kIdle{1000}, kGap{100};
  const std::string value = "abcdefghij";  // 12 bytes as JSON text: 1.2 s of drip
  std::vector<Step> body{{milliseconds(0), head("Content-Length: 12\r\n"), false}};
  for (char c : "\"" + value + "\"") body.push_back({kGap, std::string(1, c), false});
  // The same with a header line that is still arriving: its bytes move too, though no whole line is read.
  std::vector<Step> headLine{{milliseconds(0), "HTTP/1.1 200 OK\r\nX-Slow: ", false}};
  for (int i = 0; i < 12; ++i) headLine.push_back({kGap, "s", false});
  headLine.push_back({kGap, "\r\nContent-Length: 12\r\n\r\n\"" + value + "\"", false});
  for (const auto& [what, script] : {std::pair{"body", body}, std::pair{"header line", headLine}}) {
    SCOPED_TRACE(what);
    ScriptedServer server(script);
    auto client = clientFor(server, kIdle);
    EXPECT_EQ(client->send(Request<std::string>{"/trickle"}).value, value);
  }
}

// Every time limit a caller can set, at its extremes: none left (zero, negative, the most negative) ends the
// send at once as timed out, never as a wait without end; one past the clock's range means no limit.
TEST(Timeouts, LimitsAtTheirExtremesEndAtOnceOrNever) {
  ScriptedServer server({{milliseconds(0), head("Content-Length: 2\r\n") + "{}"}});
  using Setting = milliseconds APIClient::SessionConfiguration::*;
  const std::vector<std::pair<const char*, Setting>> settings{
      {"idle", &APIClient::SessionConfiguration::timeoutIntervalForRequest},
      {"whole", &APIClient::SessionConfiguration::timeoutIntervalForResource},
      {"connect", &APIClient::SessionConfiguration::connectTimeout}};
  for (const auto& [name, setting] : settings) {
    for (const milliseconds none : {milliseconds(0), milliseconds(-1), milliseconds::min()}) {
      SCOPED_TRACE(std::string(name) + " limit of " + std::to_string(none.count()) + " ms");
      auto client = makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
        c.sessionConfiguration.*setting = none;
      });
      std::optional<URLError> error;
      ASSERT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline, [&] {
        error = thrown<URLError>([&] { client->send(Request<void>{"/none"}); });
      }));
      ASSERT_TRUE(error) << "answered with no time to do it";
      EXPECT_EQ(error->code(), URLError::Code::timedOut) << error->what();
    }
    for (const milliseconds never : {milliseconds::max(), milliseconds(std::chrono::hours(24 * 365 * 300))}) {
      SCOPED_TRACE(std::string(name) + " limit of " + std::to_string(never.count()) + " ms");
      auto client = makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
        c.sessionConfiguration.*setting = never;
      });
      EXPECT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline, [&] { client->send(Request<void>{"/never"}); }));
    }
  }
}

// `count` header fields, each of its own name.
std::string manyFields(int count) {
  std::string fields;
  for (int i = 0; i < count; ++i) fields += "X-Field-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
  return fields;
}

// Heads that are not HTTP as it is meant to be spoken: the server's fault, said as such.
TEST(AnswerHeads, MalformedHeadsAreBadServerResponses) {
  const std::vector<std::pair<const char*, std::string>> heads{
      {"a status line that is not one", "SPDY/9 banana\r\nContent-Length: 2\r\n\r\n{}"},
      {"a header line of 200 KB", "HTTP/1.1 200 OK\r\nX-Huge: " + std::string(200 * 1024, 'h') + "\r\n\r\n"},
      {"two lengths that disagree", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 12\r\n\r\n{}"},
      {"two lengths in one field", "HTTP/1.1 200 OK\r\nContent-Length: 2, 12\r\n\r\n{}"},
      // curl frames the body by the digits before the space (here "{"): read as 12, the answer would pass as whole.
      {"a length with a space between its digits", "HTTP/1.1 200 OK\r\nContent-Length: 1 2\r\n\r\n{}"},
      {"a head of 1 MB in short fields", "HTTP/1.1 200 OK\r\n" + manyFields(100'000) + "\r\n{}"},
      // No transfer coding but chunked was asked for; read as if chunked alone, the body would be the
      // coded bytes, taken for the answer.
      {"a body gzipped as its transfer coding",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + chunked(gzip("{}", 15 + 16))},
      {"a body in a transfer coding ended by the close",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nConnection: close\r\n\r\n" + gzip("{}", 15 + 16)},
      {"a body chunked twice",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(chunked("{}"))},
      // Nobody asked to switch protocols: what follows is no body, and its answer (held open, or not) no answer.
      {"a 101 nobody asked for, then an answer",
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: other\r\nConnection: Upgrade\r\n\r\n"
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"},
  };
  for (const auto& [what, answer] : heads) {
    SCOPED_TRACE(what);
    ScriptedServer server({{milliseconds(0), answer, true}});
    auto client = clientFor(server, milliseconds(5000));
    const auto error = thrown<URLError>([&] { client->send(Request<void>{"/odd"}); });
    ASSERT_TRUE(error) << "taken as an answer";
    EXPECT_EQ(error->code(), URLError::Code::badServerResponse) << error->what();
  }
  // A length repeated with the same value is the same length.
  ScriptedServer repeated({{milliseconds(0), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n{}"}});
  EXPECT_EQ(text(clientFor(repeated, milliseconds(5000))->send(Request<void>{"/twice"}).data), "{}");
}

// A head of many fields, up to the limit, arrives whole: every field, and every repeat folded in order.
TEST(AnswerHeads, AHeadOfManyFieldsIsReadWhole) {
  constexpr int kFields = 6000;  // some 150 KB of fields
  std::string fields, repeated;
  for (int i = 0; i < kFields; ++i) {
    fields += "f" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
    fields += (i % 2 ? "X-Rep: " : "x-rep: ") + std::to_string(i) + "\r\n";
    repeated += (i ? ", " : "") + std::to_string(i);
  }
  ScriptedServer server({{milliseconds(0), "HTTP/1.1 200 OK\r\n" + fields + "Content-Length: 2\r\n\r\n{}"}});
  const auto response = clientFor(server, milliseconds(5000))->send(Request<void>{"/many"}).response;
  EXPECT_EQ(response.headers.size(), static_cast<std::size_t>(kFields + 2));
  EXPECT_EQ(response.headers.fields()[1].first, "x-rep");
  EXPECT_EQ(response.value("X-REP"), repeated);
  EXPECT_EQ(response.value("f0"), "0");
  EXPECT_EQ(response.value("F5999"), "5999");
  EXPECT_EQ(response.headers.fields().back(), (httpkit::HTTPHeaders::Field{"Content-Length", "2"}));
}

// A server that closes before its head is whole has not answered: the send fails as a lost connection,
// never as a response with no status.
TEST(AnswerHeads, AHeadCutByTheCloseIsALostConnection) {
  for (const auto& [where, answer] : headsCutByTheClose()) {
    SCOPED_TRACE(where);
    ScriptedServer server({{milliseconds(0), answer, false}});
    auto client = clientFor(server, milliseconds(5000));
    const auto error = thrown<URLError>([&] { client->send(Request<void>{"/cut"}); });
    ASSERT_TRUE(error) << "a cut head was taken as an answer";
    EXPECT_EQ(error->code(), URLError::Code::networkConnectionLost) << error->what();
  }
}

TEST(AnswerBodies, AnAnnouncedLengthAboveTheCapFailsBeforeTheBody) {
  ScriptedServer server({{milliseconds(0), head("Content-Length: 5000000000\r\n") + "{", true}});
  // The body never comes: only refusing on the head ends this before the idle timeout.
  auto client = clientFor(server, milliseconds(5000), 1000);
  const auto error = thrown<URLError>([&] { client->send(Request<void>{"/huge"}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::dataLengthExceedsMaximum) << error->what();

  // A chunked body is read by its chunks, whatever length a server announces beside them: that length is not
  // the body's, and judging by it would refuse a body of two bytes.
  ScriptedServer chunkedToo(
      {{milliseconds(0), head("Content-Length: 5000000000\r\nTransfer-Encoding: chunked\r\n") + chunked("{}")}});
  EXPECT_EQ(text(clientFor(chunkedToo, milliseconds(5000), 1000)->send(Request<void>{"/chunked"}).data), "{}");
}

// Chunk framing the server got wrong is its fault; a body whose last chunk never comes because the
// connection closed first is a lost connection, as a length cut short is.
TEST(AnswerBodies, BrokenChunkFramingIsTheServersFaultAndAMissingLastChunkALostConnection) {
  const std::string chunkedHead = head("Transfer-Encoding: chunked\r\n");
  struct Case {
    const char* what;
    std::string answer;
    bool held;  // the connection stays open after the answer, or the server closes it
    URLError::Code error;
  };
  const std::vector<Case> cases{
      {"a chunk size that is not hex", chunkedHead + "zz\r\n{}\r\n0\r\n\r\n", true, URLError::Code::badServerResponse},
      {"a chunk size after a good chunk", chunkedHead + "1\r\n{\r\n-1\r\n}\r\n0\r\n\r\n", true,
       URLError::Code::badServerResponse},
      {"a chunk size of 17 hex digits", chunkedHead + "10000000000000000\r\n{}", true, URLError::Code::badServerResponse},
      {"a chunk size past 64 bits' signed range", chunkedHead + "FFFFFFFFFFFFFFFF\r\n{}", true,
       URLError::Code::badServerResponse},
      {"a chunk size past the answer's limit", chunkedHead + "7FFFFFFFFFFFFFFF\r\n" + std::string(2 << 20, 'x'), true,
       URLError::Code::dataLengthExceedsMaximum},
      {"no last chunk before the close", chunkedHead + "2\r\n{}\r\n", false, URLError::Code::networkConnectionLost},
      {"a chunk cut by the close", chunkedHead + "14\r\n{\"id\":", false, URLError::Code::networkConnectionLost},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer server({{milliseconds(0), c.answer, c.held}});
    auto client = clientFor(server, milliseconds(5000));
    std::optional<URLError> error;
    ASSERT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      error = thrown<URLError>([&] { client->send(Request<void>{"/chunks"}); });
    }));
    ASSERT_TRUE(error) << "a broken body was taken as whole";
    EXPECT_EQ(error->code(), c.error) << error->what();
  }
}

TEST(AnswerBodies, ACompressedBodyIsWholeOrAnError) {
  std::string body = "[";
  for (int i = 0; i < 6000; ++i) body += std::to_string(i * 7919 % 10007) + (i < 5999 ? "," : "]");
  const std::vector<std::pair<std::string, std::string>> codings{
      {"gzip", gzip(body, 15 + 16)}, {"deflate", gzip(body, 15)}, {"br", brotli(body)}};

  for (const auto& [coding, coded] : codings) {
    const std::string cut = coded.substr(0, coded.size() / 2);
    const std::string closeDelimited = head("Content-Encoding: " + coding + "\r\nConnection: close\r\n");
    const std::string chunkedHead = head("Content-Encoding: " + coding + "\r\nTransfer-Encoding: chunked\r\n");
    struct Case {
      const char* what;
      std::string answer;
      std::string later;  // sent 50 ms after the rest
      std::optional<URLError::Code> error;
    };
    const std::vector<Case> cases{
        {"whole, ended by the close", closeDelimited + coded, "", std::nullopt},
        {"whole, its first byte alone", closeDelimited + coded.substr(0, 1), coded.substr(1), std::nullopt},
        {"cut by the close", closeDelimited + cut, "", URLError::Code::networkConnectionLost},
        {"cut, in whole chunks", chunkedHead + chunked(cut), "", URLError::Code::networkConnectionLost},
        {"not coded as announced", closeDelimited + std::string(300, 'x'), "", URLError::Code::badServerResponse},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(coding + ": " + c.what);
      ScriptedServer server({{milliseconds(0), c.answer, false}, {milliseconds(50), c.later, false}});
      auto client = clientFor(server, milliseconds(5000));
      if (!c.error) {
        EXPECT_EQ(text(client->send(Request<void>{"/coded"}).data), body);
        continue;
      }
      const auto error = thrown<URLError>([&] { client->send(Request<void>{"/coded"}); });
      ASSERT_TRUE(error) << "a broken body was taken as whole";
      EXPECT_EQ(error->code(), *c.error) << error->what();
    }
  }
}

}  // namespace

// A gzip body may be several members one after the other (as concatenating compressed files makes). Every
// member counts, however the reads split them; bytes after a member that do not start another one mean the
// body is not what was announced.
TEST(AnswerBodies, GzipMembersAreAllReadAndAnythingElseAfterThemIsCorrupt) {
  const std::string first = gzip("hello ", 15 + 16);
  const std::string second = gzip("world", 15 + 16);
  const std::string garbage(16, '\x5a');
  const auto answer = [](const std::string& body) {
    return head("Content-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) + "\r\n");
  };
  struct Case {
    const char* what;
    std::vector<std::string> reads;  // 200 ms apart
    std::optional<URLError::Code> error;
  };
  const std::vector<Case> cases{
      {"second member in a later read", {first, second}, std::nullopt},
      {"garbage after the members, in one read", {first + second + garbage}, URLError::Code::badServerResponse},
      {"garbage after the members, later", {first + second, garbage}, URLError::Code::badServerResponse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string body;
    for (const auto& read : c.reads) body += read;
    std::vector<Step> script{{milliseconds(0), answer(body), false}};
    for (const auto& read : c.reads) script.push_back({milliseconds(200), read, false});
    ScriptedServer server(script);
    auto client = clientFor(server, milliseconds(5000));
    if (!c.error) {
      EXPECT_EQ(text(client->send(Request<void>{"/members"}).data), "hello world");
      continue;
    }
    const auto error = thrown<URLError>([&] { client->send(Request<void>{"/members"}); });
    ASSERT_TRUE(error) << "a body with trailing bytes was taken as whole";
    EXPECT_EQ(error->code(), *c.error) << error->what();
  }
}

// The limit holds for the bytes a coded body takes on the wire too, not only for what they decode to: a
// server may send a stream that decodes to nothing at all (empty gzip members, empty deflate blocks) for as
// long as it likes, which would otherwise hold the send until its whole-transfer limit, a week by default.
TEST(AnswerBodies, ACodedBodyThatDecodesToNothingStillMeetsTheLimit) {
  // A deflate block that is stored, not the last one, and empty: five bytes that decode to nothing.
  const std::string emptyBlock("\x00\x00\x00\xff\xff", 5);
  const std::vector<std::pair<std::string, std::vector<Step>>> cases{
      {"gzip members of nothing",
       {{milliseconds(0), head("Content-Encoding: gzip\r\nConnection: close\r\n")},
        {milliseconds(0), gzip("", 15 + 16), false, true}}},
      {"deflate blocks of nothing",
       {{milliseconds(0), head("Content-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n")},
        {milliseconds(0), "5\r\n" + emptyBlock + "\r\n", false, true}}},
  };
  for (const auto& [what, script] : cases) {
    SCOPED_TRACE(what);
    ScriptedServer server(script);
    auto client = clientFor(server, milliseconds(5000), 64 * 1024);
    std::optional<URLError> error;
    ASSERT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      error = thrown<URLError>([&] { client->send(Request<void>{"/nothing"}); });
    })) << "the send went on reading a body that decodes to nothing";
    ASSERT_TRUE(error) << "an endless body was taken as whole";
    EXPECT_EQ(error->code(), URLError::Code::dataLengthExceedsMaximum) << error->what();
  }
}
