#pragma once
// ClientResponse<T>: the envelope of most frontend-API answers: the answer proper under "response" (required;
// null only when T is an optional) and the client after the request under "client" (optional).
//
// Example, given std::string_view body:
//   auto envelope = vadar::decodeJSON<vadar::ClientResponse<vadar::SignIn>>(body);
//   auto fetched = vadar::decodeJSON<vadar::ClientResponse<std::optional<vadar::Client>>>(body).response;
#include <optional>

#include "vadar/models/client.hpp"
#include "vadar/infra/coding.hpp"

namespace vadar {

template <class T>
struct ClientResponse {
  T response{};
  std::optional<Client> client;
};

template <class T>
void decodeValue(const Decoder& d, ClientResponse<T>& out) {
  d.expectObject();
  d.required("response", out.response);
  d.optional("client", out.client);
}

template <class T>
nlohmann::json encodeValue(const ClientResponse<T>& value) {
  Encoder e;
  e.required("response", value.response);
  e.optional("client", value.client);
  return std::move(e).json();
}

}  // namespace vadar
