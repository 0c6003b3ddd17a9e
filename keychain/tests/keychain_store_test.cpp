#include "keychain/keychain_store.hpp"

#include <gtest/gtest.h>

#include <string>

#include "keychain_test_support.hpp"

namespace keychain {
namespace {

using Code = KeychainStoreError::Code;
using foundation::Bytes;
using testing::errorCodeOf;
using testing::uniqueService;

TEST(KeychainStore, AddsReadsUpdatesAndDeletesAnItem) {
  KeychainStore store(uniqueService());
  EXPECT_FALSE(store.hasItem("token"));

  store.setString("first value", "token");
  EXPECT_TRUE(store.hasItem("token"));
  EXPECT_EQ(store.string("token"), "first value");

  store.setString("second", "token");
  EXPECT_EQ(store.string("token"), "second");
  EXPECT_EQ(store.data("token"), foundation::toBytes("second"));

  store.deleteItem("token");
  EXPECT_FALSE(store.hasItem("token"));
  EXPECT_EQ(errorCodeOf([&] { store.string("token"); }), Code::itemNotFound);
}

TEST(KeychainStore, MissingItemIsNotFoundForEveryRead) {
  KeychainStore store(uniqueService());
  EXPECT_EQ(errorCodeOf([&] { store.string("absent"); }), Code::itemNotFound);
  EXPECT_EQ(errorCodeOf([&] { store.data("absent"); }), Code::itemNotFound);
  EXPECT_EQ(errorCodeOf([&] { store.deleteItem("absent"); }), Code::itemNotFound);
  EXPECT_FALSE(store.hasItem("absent"));

  store.setString("v", "once");
  store.deleteItem("once");
  EXPECT_EQ(errorCodeOf([&] { store.deleteItem("once"); }), Code::itemNotFound);
}

TEST(KeychainStore, BinaryDataRoundTripsByteForByte) {
  KeychainStore store(uniqueService());
  Bytes every;
  for (int i = 0; i < 256; ++i) every.push_back(static_cast<std::uint8_t>(i));
  const Bytes nulAndFF{0x00, 0xFF, 0x00, 0x00, 0xFF, 0x7F, 0x80, 0x00};

  store.setData(every, "every");
  store.setData(nulAndFF, "nul");
  store.setData(Bytes{}, "empty");
  EXPECT_EQ(store.data("every"), every);
  EXPECT_EQ(store.data("nul"), nulAndFF);
  EXPECT_EQ(store.data("empty"), Bytes{});

  // Replacing with a shorter value leaves nothing of the longer one behind.
  store.setData(Bytes{0x01}, "every");
  EXPECT_EQ(store.data("every"), Bytes{0x01});
}

TEST(KeychainStore, TextKeepsEmbeddedNulAndMultibyteCharacters) {
  KeychainStore store(uniqueService());
  const std::string text = std::string("a\0b", 3) + "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80";
  store.setString(text, "text");
  EXPECT_EQ(store.string("text"), text);
  store.setString("", "text");
  EXPECT_EQ(store.string("text"), "");
}

TEST(KeychainStore, BytesThatAreNotTextAreReadableOnlyAsData) {
  KeychainStore store(uniqueService());
  const Bytes notText{'o', 'k', 0xFF, 0xFE};
  const Bytes overlongSlash{0xC0, 0xAF};
  store.setData(notText, "binary");
  store.setData(overlongSlash, "overlong");

  EXPECT_EQ(errorCodeOf([&] { store.string("binary"); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { store.string("overlong"); }), Code::badData);
  EXPECT_EQ(store.data("binary"), notText);
  EXPECT_EQ(store.data("overlong"), overlongSlash);
}

TEST(KeychainStore, ServicesAndAccessGroupsDoNotSeeEachOthersItems) {
  const std::string service = uniqueService();
  KeychainStore plain(service);
  KeychainStore groupOne(service, "group.one");
  KeychainStore groupTwo(service, "group.two");
  KeychainStore otherService(uniqueService("other"));

  plain.setString("plain", "key");
  groupOne.setString("one", "key");
  otherService.setString("other", "key");

  EXPECT_EQ(plain.string("key"), "plain");
  EXPECT_EQ(groupOne.string("key"), "one");
  EXPECT_EQ(otherService.string("key"), "other");
  EXPECT_FALSE(groupTwo.hasItem("key"));

  groupOne.deleteItem("key");
  EXPECT_EQ(plain.string("key"), "plain");
  EXPECT_EQ(otherService.string("key"), "other");
  EXPECT_FALSE(groupOne.hasItem("key"));
}

TEST(KeychainStore, SettingsWithoutLinuxMeaningDoNotSeparateItems) {
  const std::string service = uniqueService();
  KeychainStore written(service, "group");
  KeychainStore configured(service, "group", Accessibility::afterFirstUnlockThisDeviceOnly,
                           AccessControlFlags{1}, AuthenticationContext{}, true, {{"label", "x"}});
  written.setString("shared", "key");
  EXPECT_EQ(configured.string("key"), "shared");
}

TEST(KeychainStore, KeysAndTextThatCannotCrossTheBusAreRefused) {
  KeychainStore store(uniqueService());
  const std::string keyWithNul("a\0b", 3);
  const std::string latin1Key("caf\xE9");

  EXPECT_EQ(errorCodeOf([&] { store.setString("v", keyWithNul); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { store.data(latin1Key); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { store.hasItem(latin1Key); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { KeychainStore("svc\xFF").hasItem("key"); }), Code::badData);

  // Text that string() could never give back is not stored.
  EXPECT_EQ(errorCodeOf([&] { store.setString("caf\xE9", "key"); }), Code::badData);
  EXPECT_FALSE(store.hasItem("key"));
}

}  // namespace
}  // namespace keychain
