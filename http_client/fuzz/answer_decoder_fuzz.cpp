// libFuzzer harness: a server's answer body through the client's default decoder. It either refuses the body
// with an exception or gives a value that copies, prints and reads back as itself: nesting that would
// overflow the stack is refused before a value is built.
#include <cstddef>
#include <cstdint>
#include <exception>

#include <httpkit/api_client.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto* client = new httpkit::APIClient(std::nullopt);
  const httpkit::Bytes body(data, data + size);
  nlohmann::json value;
  try {
    value = client->configuration().decoder(body);
  } catch (const std::exception&) {
    return 0;
  }
  const nlohmann::json copy = value;
  const std::string text = copy.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const nlohmann::json again = nlohmann::json::parse(text, nullptr, false);
  if (again.is_discarded()) __builtin_trap();
  return 0;
}
