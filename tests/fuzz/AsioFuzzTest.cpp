// Arbitrary ASIO requests from two clients: the seed corpus (the hostile table's rows and owner
// sessions) replayed, then mutations of it. Each run writes nothing past a reply and leaves
// nothing behind (the libFuzzer target runs the same body with coverage guidance under clang).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/fuzz/AsioFuzzBody.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> Seeds()
{
    std::vector<Bytes> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(KVX_ASIO_SEED_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    return seeds;
}

TEST(AsioFuzzTest, SeedCorpusReplaysCleanly)
{
    const auto seeds = Seeds();
    ASSERT_GT(seeds.size(), 0u) << "no seed found in " << KVX_ASIO_SEED_DIR;
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::string failure;
        EXPECT_TRUE(kvxfuzz::RunAsioOnce(seeds[i].data(), seeds[i].size(), &failure)) << "seed " << i << ": " << failure;
    }
}

TEST(AsioFuzzTest, MutatedRequestsStayWithinTheirReplies)
{
    std::mt19937 rng(20261211);
    const auto seeds = Seeds();
    ASSERT_GT(seeds.size(), 0u);
    for (int round = 0; round < 20; ++round) {
        Bytes b = seeds[rng() % seeds.size()];
        for (int e = 0; e < 4 && !b.empty(); ++e) {
            const size_t at = rng() % b.size();
            b[at] = rng() % 3 == 0 ? 0xFF : static_cast<uint8_t>(rng());
        }
        std::string failure;
        EXPECT_TRUE(kvxfuzz::RunAsioOnce(b.data(), b.size(), &failure)) << "mutation " << round << ": " << failure;
    }
}

}  // namespace
