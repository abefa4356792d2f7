// Scripted feedback to a UAC2 render endpoint: the seed corpus replayed, then mutations of it and
// random scripts. Each run keeps its packets within bounds and leaves nothing behind (the libFuzzer
// target runs the same body with coverage guidance when the compiler is clang).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/nt/PoolHost.h"
#include "tests/fuzz/FeedbackFuzzBody.h"

namespace {

using sim::Bytes;

void RunScript(const Bytes& b, const std::string& what)
{
    const uint64_t serial = platform::PoolCurrentSerial();
    EXPECT_TRUE(kvxfuzz::RunFeedbackOnce(b.data(), b.size())) << what;
    EXPECT_EQ(platform::PoolLiveSince(serial), 0u) << what << ": " << platform::PoolLeakReport(serial);
}

std::vector<Bytes> Seeds()
{
    std::vector<Bytes> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(KVX_FEEDBACK_SEED_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    return seeds;
}

TEST(FeedbackFuzzTest, SeedCorpusReplaysCleanly)
{
    const auto seeds = Seeds();
    ASSERT_GT(seeds.size(), 0u) << "no seed found in " << KVX_FEEDBACK_SEED_DIR;
    for (size_t i = 0; i < seeds.size(); ++i) {
        RunScript(seeds[i], "seed " + std::to_string(i));
    }
}

TEST(FeedbackFuzzTest, MutatedAndRandomScriptsKeepPacketsInBounds)
{
    std::mt19937 rng(20261211);
    const auto seeds = Seeds();
    for (int round = 0; round < 60; ++round) {
        Bytes b = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !b.empty(); ++e) {
            const size_t at = rng() % b.size();
            switch (rng() % 4) {
            case 0: b[at] = static_cast<uint8_t>(rng()); break;
            case 1: b[at] = rng() % 2 ? 0x00 : 0xFF; break;
            case 2: b.insert(b.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(rng())); break;
            default: b.resize(std::max<size_t>(at, 2)); break;
            }
        }
        RunScript(b, "mutation " + std::to_string(round));
    }
    for (int round = 0; round < 30; ++round) {
        Bytes b(2 + rng() % 120);
        for (auto& x : b) {
            x = static_cast<uint8_t>(rng());
        }
        RunScript(b, "random " + std::to_string(round));
    }
}

}  // namespace
