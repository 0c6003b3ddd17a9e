// libFuzzer harness: a server's head split into lines as libcurl delivers them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "header_lines.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  httpkit::HeaderAccumulator head;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
    head.feed(rest.substr(0, length));
    rest.remove_prefix(length);
  }
  for (const auto& [name, value] : head.headers()) {
    if (!httpkit::isHeaderToken(name)) __builtin_trap();
  }
  return 0;
}
