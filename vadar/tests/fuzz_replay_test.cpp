// Replays the fuzz corpus and a seeded stream of mutated inputs through the fuzz targets' bodies, so every
// build checks that bad input ends in a typed error and never in a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "../fuzz/fuzz_targets.hpp"

namespace vadar {
namespace {

using Target = void (*)(const std::uint8_t*, std::size_t);

std::vector<std::string> corpus(const std::string& name) {
  std::vector<std::string> inputs;
  const std::filesystem::path dir = std::filesystem::path(VADAR_FUZZ_CORPUS_DIR) / name;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream file(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  return inputs;
}

void run(Target target, const std::string& input) {
  target(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

// Byte flips, insertions of JSON punctuation, truncations and splices, from a fixed seed.
void replayWithMutations(Target target, const std::string& name) {
  const auto seeds = corpus(name);
  ASSERT_FALSE(seeds.empty());
  std::mt19937 random(20261206);
  static constexpr std::string_view tokens[] = {"{", "}", "[", "]", ",", ":", "\"", "null", "1e999", "-0", "\\u0000",
                                                "\xff", ".", "=", "%", "true", "{\"id\":1}", "18446744073709551616"};
  for (const auto& seed : seeds) {
    run(target, seed);
    for (int round = 0; round < 400; ++round) {
      std::string input = seed;
      for (int e = 0, edits = 1 + static_cast<int>(random() % 4); e < edits; ++e) {
        const std::size_t at = input.empty() ? 0 : random() % input.size();
        const auto kind = random() % 4;
        if (kind == 0 && !input.empty()) input[at] = static_cast<char>(random() % 256);
        if (kind == 1) input.insert(at, tokens[random() % std::size(tokens)]);
        if (kind == 2) input.resize(at);
        if (kind == 3) input.insert(at, seeds[random() % seeds.size()]);
      }
      run(target, input);
    }
  }
}

TEST(FuzzReplay, JSONValue) { replayWithMutations(fuzz::fuzzJSON, "json"); }
TEST(FuzzReplay, JWTDecoder) { replayWithMutations(fuzz::fuzzJWT, "jwt"); }
TEST(FuzzReplay, FormEncoder) { replayWithMutations(fuzz::fuzzForm, "form"); }
TEST(FuzzReplay, ClientDecoding) { replayWithMutations(fuzz::fuzzClient, "client"); }

TEST(FuzzReplay, HugeDeepAndOddInputsStayTyped) {
  run(fuzz::fuzzJSON, std::string(1 << 20, '['));
  run(fuzz::fuzzJSON, std::string(1 << 20, '{'));
  run(fuzz::fuzzClient, "{\"id\":\"c\",\"sessions\":" + std::string(100000, '[') + "}");
  run(fuzz::fuzzJWT, std::string(100000, '.'));
  run(fuzz::fuzzForm, "{\"a\":" + std::string(JSON::maxDepth - 1, '[') + std::string(JSON::maxDepth - 1, ']') + "}");
}

}  // namespace
}  // namespace vadar
