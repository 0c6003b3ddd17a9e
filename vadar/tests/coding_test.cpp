#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

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

// Paths through map members and array elements, below a decoder given a path of its own or none.
TEST(SharedCoders, FailurePathsThroughEveryKindOfStep) {
  const auto failurePath = [](const std::string& text, const std::string& root = {}) {
    try {
      std::map<std::string, std::map<std::string, std::vector<int>>> out;
      decodeValue(Decoder(nlohmann::json::parse(text), root), out);
    } catch (const DecodingError& error) {
      return error.path();
    }
    return std::string("decoded");
  };
  EXPECT_EQ(failurePath(R"({"a": {"b": [1, 2, "x"]}})"), "a.b[2]");
  EXPECT_EQ(failurePath(R"({"a": {"b": [1, 2, "x"]}})", "top"), "top.a.b[2]");
  EXPECT_EQ(failurePath(R"({"": {"b": [true]}})"), "b[0]");
  EXPECT_EQ(failurePath(R"({"a": {"b": 3}})", "[4]"), "[4].a.b");
  EXPECT_EQ(failurePath(R"({"a": {"b": [1]}, "c": 5})"), "c");
}

// An application's own decoding may keep a decoder past the one it came from (a member of a member, a copy of
// the decoder it is handed); its path must still read right when a later failure asks for it.
TEST(SharedCoders, DecodersKeptByTheCallerKeepTheirPaths) {
  const auto document = nlohmann::json::parse(R"({"a": {"b": {"c": 1}}, "list": [{"x": 2}]})");
  const Decoder root(document, "top");
  const Decoder kept = root.member("a").member("b");
  EXPECT_EQ(kept.member("c").path(), "top.a.b.c");

  std::vector<Decoder> copies;
  const auto keep = [&](const Decoder& element) { copies.push_back(element); };
  for (std::size_t i = 0; i < document["list"].size(); ++i) keep(root.member("list").child(document["list"][i], i));
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].path(), "top.list[0]");
  Decoder assigned(document);
  assigned = root.member("a").member("b");
  EXPECT_EQ(assigned.path(), "top.a.b");
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

// The clock counts nanoseconds in 64 bits: +/- 9223372036854 whole milliseconds around 1970 (years 1677 to
// 2262). Each JSON number kind reaches the date decoder by its own path; each is tried on both sides of both
// edges, and whatever decodes must come back unchanged from an encode and a decode.
TEST(SharedCoders, DatesTheClockCannotHoldAreCorruptOnEveryPath) {
  constexpr std::int64_t edge = 9'223'372'036'854;
  const auto decodeDate = [](const nlohmann::json& value) {
    Date date;
    decodeValue(Decoder(value, "updated_at"), date);
    return date;
  };
  const std::vector<nlohmann::json> inside = {
      nlohmann::json(std::int64_t{edge}),    nlohmann::json(std::int64_t{-edge}),
      nlohmann::json(std::uint64_t{edge}),   nlohmann::json(std::uint64_t{0}),
      nlohmann::json(double(edge)),          nlohmann::json(-double(edge)),
      nlohmann::json(double(edge) + 0.25),   nlohmann::json(-double(edge) - 0.25),
      nlohmann::json(1.5),                   nlohmann::json(-0.5)};
  for (const auto& value : inside) {
    SCOPED_TRACE(value.dump());
    const Date date = decodeDate(value);
    EXPECT_EQ(decodeDate(encodeValue(date)), date);
    EXPECT_EQ(encodeValue(decodeDate(encodeValue(date))), encodeValue(date));
  }
  EXPECT_EQ(millisecondsSince1970(decodeDate(nlohmann::json(std::int64_t{edge}))), edge);
  EXPECT_EQ(millisecondsSince1970(decodeDate(nlohmann::json(-double(edge)))), -edge);

  const std::vector<nlohmann::json> outside = {
      nlohmann::json(std::int64_t{edge + 1}),       nlohmann::json(std::int64_t{-edge - 1}),
      nlohmann::json(std::int64_t{INT64_MIN}),      nlohmann::json(std::int64_t{INT64_MAX}),
      nlohmann::json(std::uint64_t{edge + 1}),      nlohmann::json(std::uint64_t{UINT64_MAX}),
      nlohmann::json(double(edge) + 0.75),          nlohmann::json(-double(edge) - 0.75),
      nlohmann::json(11'700'000'000'000.0),         nlohmann::json(-1e300),
      nlohmann::json(std::numeric_limits<double>::infinity()), nlohmann::json(std::nan(""))};
  for (const auto& value : outside) {
    SCOPED_TRACE(value.dump());
    try {
      decodeDate(value);
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
      EXPECT_EQ(error.description(), "Date out of range.");
      EXPECT_EQ(error.path(), "updated_at");
    }
  }
  // The document the client fuzz target found: once decoded, the client no longer survived a round trip.
  const auto found = decodeFailure(R"({"id":"c","sessions":[],"updated_at":11700000000000})");
  EXPECT_EQ(found.kind(), DecodingError::Kind::dataCorrupted);
  EXPECT_EQ(found.path(), "updated_at");
}

TEST(SharedCoders, MapMemberNamesStayAsSent) {
  const auto map = fromJSON<std::map<std::string, bool>>(nlohmann::json::parse(R"({"camelCase": true, "snake_case": false})"));
  EXPECT_EQ(toJSON(map).dump(), R"({"camelCase":true,"snake_case":false})");
}

}  // namespace
}  // namespace vadar
