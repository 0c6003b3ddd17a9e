#pragma once
// Client: the frontend API's client resource for this installation: its sessions, the sign-in and sign-up
// under way, and the session that was active last.
//
// Example, given std::string_view body:
//   auto client = vadar::decodeJSON<vadar::Client>(body);
//   std::vector<std::string> ids;
//   for (const auto& s : client.activeSessions()) ids.push_back(s.id);
//
// The live `ClientService` and `Client::get()` come with the `Vadar` object (the core), which registers the
// service under `clientServiceKey`.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vadar/infra/coding.hpp"
#include "vadar/models/session.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/models/sign_up.hpp"

namespace vadar {

struct Client {
  std::string id;
  std::optional<SignIn> signIn;
  std::optional<SignUp> signUp;
  std::vector<Session> sessions;  // every status, in the server's order
  std::optional<std::string> lastActiveSessionId;
  Date updatedAt;

  // The sessions whose status is active, in order.
  std::vector<Session> activeSessions() const;

  // Id "1": sample sign-in and sign-up, the two sample sessions, last active session "1".
  static Client sample();
  // Id "2": sample sign-in and sign-up, no sessions, no last active session.
  static Client sample2();

  // Resolves the ClientService under `clientServiceKey` and runs its `get` (defined by the core).
  static std::optional<Client> get();

  friend bool operator==(const Client&, const Client&) = default;
};

void decodeValue(const Decoder& d, Client& out);
nlohmann::json encodeValue(const Client& value);

// The client service record: its `get` fetches "GET" "/v1/client" (none for a null response).
struct ClientService {
  std::function<std::optional<Client>()> get;
};

inline constexpr std::string_view clientServiceKey = "clientService";

}  // namespace vadar
