#include <gtest/gtest.h>

#include "vadar/client.hpp"
#include "vadar/coding.hpp"

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

constexpr std::string_view sessionWithUser = R"({
  "id": "sess_1", "status": "active", "expire_at": 1, "abandon_at": 2, "last_active_at": 3,
  "created_at": 4, "updated_at": 5, "user": {"email_addresses": []}})";

TEST(SharedCoders, FailuresNameThePath) {
  const auto missing = decodeFailure(std::string(R"({"id": "c", "updated_at": 0, "sessions": [)") +
                                     std::string(sessionWithUser) + "]}");
  EXPECT_EQ(missing.kind(), DecodingError::Kind::keyNotFound);
  EXPECT_EQ(missing.path(), "sessions[0].user.id");
  EXPECT_NE(std::string(missing.what()).find("sessions[0].user.id"), std::string::npos);

  const auto wrongType = decodeFailure(R"({"id": 7, "sessions": [], "updated_at": 0})");
  EXPECT_EQ(wrongType.kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(wrongType.path(), "id");

  const auto null = decodeFailure(R"({"id": null, "sessions": [], "updated_at": 0})");
  EXPECT_EQ(null.kind(), DecodingError::Kind::valueNotFound);

  const auto notObject = decodeFailure("[]");
  EXPECT_EQ(notObject.kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(notObject.path(), "");
}

TEST(SharedCoders, DatesAreMillisecondsSince1970) {
  const Client client = decodeJSON<Client>(R"({"id": "c", "sessions": [], "updated_at": 1700000000123})");
  EXPECT_EQ(millisecondsSince1970(client.updatedAt), 1700000000123);
  EXPECT_EQ(toJSON(client)["updated_at"], 1700000000123);
  // A float number of milliseconds is read too; the encoder writes whole milliseconds.
  EXPECT_EQ(millisecondsSince1970(decodeJSON<Client>(R"({"id": "c", "sessions": [], "updated_at": 1.5e3})").updatedAt),
            1500);
  EXPECT_EQ(dateSinceReferenceDate(0), dateFromMilliseconds(978307200000));
}

TEST(SharedCoders, DatesOutsideTheRepresentableRangeFail) {
  for (const char* date : {"1e300", "9223372036854775807", "18446744073709551615", "-9e15", "\"1\"", "true"}) {
    SCOPED_TRACE(date);
    const auto error = decodeFailure(std::string(R"({"id": "c", "sessions": [], "updated_at": )") + date + "}");
    EXPECT_EQ(error.path(), "updated_at");
  }
}

TEST(SharedCoders, IntegersMustFit) {
  std::int64_t value = 0;
  EXPECT_THROW(decodeValue(Decoder(nlohmann::json::parse("1.5")), value), DecodingError);
  EXPECT_THROW(decodeValue(Decoder(nlohmann::json::parse("1e30")), value), DecodingError);
  EXPECT_THROW(decodeValue(Decoder(nlohmann::json::parse("18446744073709551615")), value), DecodingError);
  decodeValue(Decoder(nlohmann::json::parse("2.0")), value);
  EXPECT_EQ(value, 2);
  int small = 0;
  EXPECT_THROW(decodeValue(Decoder(nlohmann::json::parse("4294967296")), small), DecodingError);
}

TEST(SharedCoders, MapMemberNamesStayAsSent) {
  const auto map = fromJSON<std::map<std::string, bool>>(nlohmann::json::parse(R"({"camelCase": true, "snake_case": false})"));
  EXPECT_EQ(map.count("camelCase"), 1u);
  EXPECT_EQ(toJSON(map).dump(), R"({"camelCase":true,"snake_case":false})");
}

}  // namespace
}  // namespace vadar
