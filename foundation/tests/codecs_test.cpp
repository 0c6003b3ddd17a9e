#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "foundation/base64.hpp"
#include "foundation/crypto.hpp"
#include "foundation/percent_encoding.hpp"
#include "fresh_process.hpp"

using namespace foundation;

TEST(Base64, EncodesTheRfcVectors) {
  EXPECT_EQ(base64Encode(toBytes("")), "");
  EXPECT_EQ(base64Encode(toBytes("f")), "Zg==");
  EXPECT_EQ(base64Encode(toBytes("fo")), "Zm8=");
  EXPECT_EQ(base64Encode(toBytes("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff}), "-_8");
  EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff}, true), "-_8=");
}

TEST(Base64, DecodesCanonicalTextAndRejectsEverythingElse) {
  EXPECT_EQ(base64Decode("Zm9vYg=="), toBytes("foob"));
  EXPECT_EQ(base64Decode("Zm9vYmE="), toBytes("fooba"));
  for (const char* bad : {"Zm9vYg=", "Zm9vYg", "Zm9v Yg==", "Zm9v\nYg==", "Zm=vYg==", "Zm9vYh==", "Zm9vYmF=",
                          "Z===", "Zm9vYg===", "-_8=", "Zm9v*g=="}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
}

TEST(Base64, UrlVariantAcceptsMissingPaddingOnly) {
  EXPECT_EQ(base64UrlDecode("-_8"), (Bytes{0xfb, 0xff}));
  EXPECT_EQ(base64UrlDecode("-_8="), (Bytes{0xfb, 0xff}));
  EXPECT_EQ(base64UrlDecode("eyJhIjoxfQ"), toBytes("{\"a\":1}"));
  for (const char* bad : {"+/8=", "-_9", "A", "AAAAA", "-_8==", "-_ 8"}) EXPECT_FALSE(base64UrlDecode(bad)) << bad;
}

TEST(Base64, RoundTripsEveryLength) {
  for (std::size_t n = 0; n < 64; ++n) {
    const Bytes bytes = secureRandomBytes(n);
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
    EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
    EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes, true)), bytes);
  }
}

TEST(Crypto, Sha256AndRandom) {
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(secureRandomBytes(32).size(), 32u);
  EXPECT_NE(secureRandomBytes(32), secureRandomBytes(32));
}

// A system whose OpenSSL configuration offers no SHA-256 (only the null provider loaded) cannot hash: every
// input would share one all-zero digest (one cache file for every image key), so hashing fails instead.
TEST(Crypto, Sha256WithoutAnAlgorithmFailsInsteadOfAnsweringZeros) {
  const auto config = std::filesystem::temp_directory_path() / ("foundation-no-sha-" + std::to_string(::getpid()) + ".cnf");
  std::ofstream(config) << "openssl_conf = init\n[init]\nproviders = providers\n[providers]\nnull = null\n"
                           "[null]\nactivate = 1\n";
  const char* previous = std::getenv("OPENSSL_CONF");
  const std::string kept = previous ? previous : "";
  ::setenv("OPENSSL_CONF", config.c_str(), 1);
  // The child is a new run of this program: OpenSSL reads the configuration there, before main.
  foundation::tests::inFreshProcess([] {
    try {
      const std::string digest = sha256Hex("abc");
      std::fprintf(stderr, "hashed to %s\n", digest.c_str());
      return false;
    } catch (const std::runtime_error&) {
      return true;
    }
  });
  previous ? ::setenv("OPENSSL_CONF", kept.c_str(), 1) : ::unsetenv("OPENSSL_CONF");
  std::filesystem::remove(config);
}

TEST(PercentEncoding, OneSegmentCannotBecomeTwo) {
  EXPECT_EQ(percentEncodePathSegment("sess_123-a.b~c"), "sess_123-a.b~c");
  EXPECT_EQ(percentEncodePathSegment("../x"), "..%2Fx");
  EXPECT_EQ(percentEncodePathSegment("a b?c#d%"), "a%20b%3Fc%23d%25");
  EXPECT_EQ(percentEncodePathSegment("é"), "%C3%A9");
}
