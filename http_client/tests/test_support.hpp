#pragma once
// What the client's tests share: a client bound to a loopback server whose every send ends within a bound,
// so that a fault shows as a failure instead of a stalled test.
#include <brotli/encode.h>
#include <zlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <httpkit/api_client.hpp>
#include <testing/loopback_server.hpp>

namespace httpkit_tests {

inline constexpr std::chrono::seconds kDeadline{10};

inline std::unique_ptr<httpkit::APIClient> makeClient(
    std::optional<std::string> baseURL, std::shared_ptr<httpkit::APIClientDelegate> delegate = nullptr,
    const std::function<void(httpkit::APIClient::Configuration&)>& configure = nullptr) {
  return std::make_unique<httpkit::APIClient>(std::move(baseURL), [&](httpkit::APIClient::Configuration& c) {
    c.delegate = delegate;
    c.sessionConfiguration.timeoutIntervalForResource = std::chrono::seconds(20);
    if (configure) configure(c);
  });
}

inline std::string text(const httpkit::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The error of type E the call throws; nullopt when it throws none.
template <typename E, typename Call>
std::optional<E> thrown(Call&& call) {
  try {
    call();
  } catch (const E& error) {
    return error;
  }
  return std::nullopt;
}

// `data` compressed by the encoders: 15 + 16 window bits make a gzip member, 15 a zlib stream, -15 bare deflate.
inline std::string gzip(const std::string& data, int windowBits) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

inline std::string brotli(const std::string& data) {
  std::size_t size = BrotliEncoderMaxCompressedSize(data.size());
  std::string out(size, '\0');
  BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, data.size(),
                        reinterpret_cast<const uint8_t*>(data.data()), &size, reinterpret_cast<uint8_t*>(out.data()));
  out.resize(size);
  return out;
}

// Answers whose server closes the connection before the head is whole, each with where it stops.
inline std::vector<std::pair<std::string, std::string>> headsCutByTheClose() {
  return {
      {"after the status line", "HTTP/1.1 200 OK\r\n"},
      {"mid header line", "HTTP/1.1 200 OK\r\nContent-Ty"},
      {"after some headers", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"},
      {"after an interim head", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"},
  };
}

}  // namespace httpkit_tests
