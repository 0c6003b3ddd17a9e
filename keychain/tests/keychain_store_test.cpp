#include "keychain/keychain_store.hpp"

#include <gtest/gtest.h>

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
  const std::string text = std::string("a\0b", 3) + "\xC3\xBC\xF0\x9F\x98\x80";
  store.setString(text, "token");
  EXPECT_TRUE(store.hasItem("token"));
  EXPECT_EQ(store.string("token"), text);
  store.setString("second", "token");
  EXPECT_EQ(store.string("token"), "second");
  EXPECT_EQ(store.data("token"), foundation::toBytes("second"));
  store.deleteItem("token");
  EXPECT_FALSE(store.hasItem("token"));
}

TEST(KeychainStore, MissingItemIsNotFoundForEveryReadAndDelete) {
  KeychainStore store(uniqueService());
  store.setString("v", "once");
  store.deleteItem("once");
  for (const char* key : {"absent", "once"}) {
    EXPECT_EQ(errorCodeOf([&] { store.string(key); }), Code::itemNotFound) << key;
    EXPECT_EQ(errorCodeOf([&] { store.data(key); }), Code::itemNotFound) << key;
    EXPECT_EQ(errorCodeOf([&] { store.deleteItem(key); }), Code::itemNotFound) << key;
    EXPECT_FALSE(store.hasItem(key));
  }
}

TEST(KeychainStore, BinaryDataRoundTripsAndNonUtf8IsReadableOnlyAsData) {
  KeychainStore store(uniqueService());
  Bytes every;
  for (int i = 0; i < 256; ++i) every.push_back(static_cast<std::uint8_t>(i));
  const Bytes overlongSlash{0xC0, 0xAF};
  store.setData(every, "every");
  store.setData(overlongSlash, "overlong");
  store.setData(Bytes{}, "empty");
  EXPECT_EQ(store.data("every"), every);
  EXPECT_EQ(store.data("overlong"), overlongSlash);
  EXPECT_EQ(store.data("empty"), Bytes{});
  EXPECT_EQ(errorCodeOf([&] { store.string("every"); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { store.string("overlong"); }), Code::badData);
  store.setData(Bytes{0x01}, "every");  // a shorter value leaves nothing of the longer one behind
  EXPECT_EQ(store.data("every"), Bytes{0x01});
}

TEST(KeychainStore, ServicesAndAccessGroupsDoNotSeeEachOthersItems) {
  const std::string service = uniqueService();
  KeychainStore plain(service), groupOne(service, "group.one"), groupTwo(service, "group.two");
  KeychainStore otherService(uniqueService("other"));
  plain.setString("plain", "key");
  groupOne.setString("one", "key");
  otherService.setString("other", "key");
  EXPECT_FALSE(groupTwo.hasItem("key"));
  groupOne.deleteItem("key");
  EXPECT_EQ(plain.string("key"), "plain");
  EXPECT_EQ(otherService.string("key"), "other");
  // Settings without a Linux meaning do not separate items.
  KeychainStore configured(service, {}, Accessibility::afterFirstUnlockThisDeviceOnly, AccessControlFlags{1},
                           AuthenticationContext{}, true, {{"label", "x"}});
  EXPECT_EQ(configured.string("key"), "plain");
}

TEST(KeychainStore, KeysAndTextThatCannotCrossTheBusAreRefused) {
  KeychainStore store(uniqueService());
  EXPECT_EQ(errorCodeOf([&] { store.setString("v", std::string("a\0b", 3)); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { store.data("caf\xE9"); }), Code::badData);
  EXPECT_EQ(errorCodeOf([&] { KeychainStore("svc\xFF").hasItem("key"); }), Code::badData);
  // Text that string() could never give back is not stored: stray, overlong, surrogate, too high, truncated.
  for (const char* text : {"caf\xE9", "\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    EXPECT_EQ(errorCodeOf([&] { store.setString(text, "key"); }), Code::badData) << ::testing::PrintToString(text);
  }
  EXPECT_FALSE(store.hasItem("key"));
}

// What one message to the Secret Service cannot carry is refused before it is sent: sent, it would make the
// bus drop the process's connection, and every later call of every store would fail. Up to the bounds, all
// is stored; past them, nothing, and the store goes on.
TEST(KeychainStore, KeysAndValuesTooLargeForTheBusAreRefusedAndTheStoreGoesOn) {
  KeychainStore store(uniqueService());
  const std::string longestKey(KeychainStore::kMaximumAttributeSize, 'k');
  const Bytes largest(KeychainStore::kMaximumDataSize, 7);
  store.setData(largest, longestKey);
  EXPECT_EQ(store.data(longestKey), largest);
  store.deleteItem(longestKey);

  const std::string tooLong(KeychainStore::kMaximumAttributeSize + 1, 'k');
  const auto refused = [](auto&& call) {
    const auto error = testing::errorOf(call);
    return error && error->code() == Code::other && error->detail().find("larger than") != std::string::npos;
  };
  EXPECT_TRUE(refused([&] { store.setData(Bytes(KeychainStore::kMaximumDataSize + 1, 7), "key"); }));
  EXPECT_TRUE(refused([&] { store.setData(Bytes(65 << 20, 7), "key"); }));  // past the bus's own bound
  EXPECT_TRUE(refused([&] { store.setString(std::string(KeychainStore::kMaximumDataSize + 1, 't'), "key"); }));
  EXPECT_TRUE(refused([&] { store.hasItem(tooLong); }));
  EXPECT_TRUE(refused([&] { KeychainStore(std::string(200 << 20, 's')).hasItem("key"); }));
  EXPECT_TRUE(refused([&] { KeychainStore("service", tooLong).hasItem("key"); }));
  EXPECT_FALSE(store.hasItem("key"));
  store.setString("after", "key");
  EXPECT_EQ(store.string("key"), "after");
}

}  // namespace
}  // namespace keychain
