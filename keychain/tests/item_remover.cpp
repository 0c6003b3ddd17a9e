// A second client of the Secret Service, in a process of its own: deletes every item of one service, over and
// over, until its standard input closes (the test closes it, or ends) or a minute has passed.
//   keychain_item_remover <service>
// Prints "ready" once it has reached the Secret Service.
#include <libsecret/secret.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  SecretSchema schema{};
  schema.name = "com.tolvaran.KeychainStore";  // the store's schema: only its items are touched
  schema.flags = SECRET_SCHEMA_NONE;
  schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  if (!service) {
    std::fprintf(stderr, "item remover: %s\n", error->message);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < end) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 0) > 0) break;  // end of input (or anything written): stop
    secret_password_clear_sync(&schema, nullptr, &error, "service", argv[1], nullptr);
    g_clear_error(&error);
  }
  g_object_unref(service);
  return 0;
}
