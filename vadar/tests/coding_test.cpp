#include <gtest/gtest.h>

#include "vadar/models/client.hpp"
#include "vadar/infra/coding.hpp"

namespace vadar {
namespace {

DecodingError decodeFailure(std::string_view text) {
  try {
    decodeJSON<Client>(text);
  } catch (const DecodingError& error) {
    return error;
  }
  ADD_FAILURE() << "decoded: " << text;
  return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

TEST(SharedCoders, FailuresNameThePath) {
  const auto missing = decodeFailure(
      R"({"id": "c", "updated_at": 0, "sessions": [{"id": "sess_1", "status": "active", "expire_at": 1,
          "abandon_at": 2, "last_active_at": 3, "created_at": 4, "updated_at": 5, "user": {"email_addresses": []}}]})");
  EXPECT_EQ(missing.kind(), DecodingError::Kind::keyNotFound);
  EXPECT_EQ(missing.path(), "sessions[0].user.id");
  EXPECT_NE(std::string(missing.what()).find("sessions[0].user.id"), std::string::npos);
  const auto wrongType = decodeFailure(R"({"id": 7, "sessions": [], "updated_at": 0})");
  EXPECT_EQ(wrongType.kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(wrongType.path(), "id");
  EXPECT_EQ(decodeFailure(R"({"id": null, "sessions": [], "updated_at": 0})").kind(), DecodingError::Kind::valueNotFound);
}

TEST(SharedCoders, DatesAreMillisecondsSince1970AndMustFit) {
  const Client client = decodeJSON<Client>(R"({"id": "c", "sessions": [], "updated_at": 1700000000123})");
  EXPECT_EQ(toJSON(client)["updated_at"], 1700000000123);
  EXPECT_EQ(millisecondsSince1970(decodeJSON<Client>(R"({"id": "c", "sessions": [], "updated_at": 1.5e3})").updatedAt),
            1500);
  EXPECT_EQ(dateSinceReferenceDate(0), dateFromMilliseconds(978307200000));
  for (const char* date : {"1e300", "9223372036854775807", "18446744073709551615", "-9e15", "\"1\"", "true"})
    EXPECT_EQ(decodeFailure(std::string(R"({"id": "c", "sessions": [], "updated_at": )") + date + "}").path(),
              "updated_at")
        << date;

  std::int64_t value = 0;
  for (const char* text : {"1.5", "1e30", "18446744073709551615"})
    EXPECT_THROW(decodeValue(Decoder(nlohmann::json::parse(text)), value), DecodingError) << text;
  int small = 0;
  EXPECT_THROW(decodeValue(Decoder(nlohmann::json::parse("4294967296")), small), DecodingError);
}

TEST(SharedCoders, MapMemberNamesStayAsSent) {
  const auto map = fromJSON<std::map<std::string, bool>>(nlohmann::json::parse(R"({"camelCase": true, "snake_case": false})"));
  EXPECT_EQ(toJSON(map).dump(), R"({"camelCase":true,"snake_case":false})");
}

}  // namespace
}  // namespace vadar
