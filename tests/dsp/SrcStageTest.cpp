// The sample-rate stages: each against its double-precision model, their consumption and phase
// rules, arbitrary cuts of a stream into calls, and the refusals of Process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/SplitStage.h"
#include "tests/dsp/SrcStageFixture.h"

namespace kvxtest {
namespace {

const StageKind kStages[] = {
    {"x2 up", 2, true}, {"x2 down", 2, false}, {"x4 up", 4, true},
    {"x4 down", 4, false}, {"160/147 up", 0, true}, {"160/147 down", 0, false},
};

// Runs one stage kind on a stage made, initialised, directed and reset as the adapter does it.
template <typename F>
void WithStage(const StageKind& s, F&& body)
{
    auto run = [&](auto& stage) {
        ASSERT_TRUE(stage->Init());
        stage->m_bUp = s.Up ? 1 : 0;
        stage->Reset();
        body(static_cast<SrcStage*>(stage.get()));
    };
    if (s.Kind == 2) {
        PoolStage<SrcStageX2> stage;
        run(stage);
    } else if (s.Kind == 4) {
        PoolStage<SrcStageX4> stage;
        run(stage);
    } else {
        PoolStage<SrcStage44k48k> stage;
        run(stage);
    }
}

std::vector<float> Noise(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = d(rng);
    return x;
}

// Feeds x to channel c in calls of the given sizes (what a call leaves is passed again first),
// taking the output away after each call.
std::vector<float> Feed(SrcStage* stage, LONG c, const std::vector<float>& x, const std::vector<LONG>& sizes)
{
    std::vector<float> out;
    size_t at = 0;
    for (size_t call = 0; at < x.size(); ++call) {
        LONG n = std::min<LONG>(sizes[call % sizes.size()], static_cast<LONG>(x.size() - at));
        EXPECT_TRUE(stage->Process(c, x.data() + at, &n));
        at += static_cast<size_t>(n);
        std::vector<float> chunk(static_cast<size_t>(stage->GetOutputCount(c)));
        if (!chunk.empty()) {
            EXPECT_EQ(stage->TakeOutput(c, chunk.data(), static_cast<LONG>(chunk.size())), static_cast<LONG>(chunk.size()));
        }
        out.insert(out.end(), chunk.begin(), chunk.end());
        if (call > 100000) {
            ADD_FAILURE() << "no progress";
            break;
        }
    }
    return out;
}

TEST(SrcStage, EveryStageFollowsItsModel)
{
    for (const StageKind& s : kStages) {
        SCOPED_TRACE(s.Name);
        WithStage(s, [&](SrcStage* stage) {
            const std::vector<float> x = Noise(3000, 7);
            // Channel 5, so that a mix-up of channels shows.
            const std::vector<float> y = Feed(stage, 5, x, {3000});
            ASSERT_GE(y.size(), 750u);
            EXPECT_EQ(stage->GetOutputCount(0), 0);
            const std::vector<double> model = ModelOutput(s, x, y.size());
            double worst = 0.0, square = 0.0;
            for (size_t j = 0; j < y.size(); ++j) {
                const double e = std::fabs(y[j] - model[j]);
                worst = std::max(worst, e);
                square += e * e;
            }
            EXPECT_LE(worst, 1e-5);
            EXPECT_LE(std::sqrt(square / y.size()), 1e-6);
        });
    }
}

TEST(SrcStage, AnyCutIntoCallsGivesTheSameSamples)
{
    for (const StageKind& s : kStages) {
        SCOPED_TRACE(s.Name);
        const std::vector<float> x = Noise(1500, 11);
        std::vector<float> whole;
        WithStage(s, [&](SrcStage* stage) { whole = Feed(stage, 0, x, {1500}); });
        std::mt19937 rng(3);
        std::vector<LONG> sizes(64);
        for (LONG& n : sizes) n = static_cast<LONG>(rng() % 40);
        WithStage(s, [&](SrcStage* stage) {
            const std::vector<float> cut = Feed(stage, 3, x, sizes);
            ASSERT_EQ(cut.size(), whole.size());
            EXPECT_EQ(0, std::memcmp(cut.data(), whole.data(), whole.size() * sizeof(float)));
        });
    }
}

// Consumption and phases: each step either processes n inputs (and states what it consumed, what
// it produced and, for the 160/147 stage, the phase after) or takes n outputs away.
TEST(SrcStage, ConsumptionFollowsTheFreeSpaceAndThePhase)
{
    struct Step {
        bool Take;
        LONG Given, Consumed, Produced, Phase;  // Phase -1: not checked
    };
    struct Case {
        const char* What;
        StageKind Stage;
        std::vector<Step> Steps;
    } cases[] = {
        {"x2 up with one free slot consumes nothing", {"", 2, true},
         {{false, 3840, 3840, 7680, -1}, {true, 1, 0, 0, -1}, {false, 1, 0, 0, -1}}},
        {"x2 up fills the buffer from 5,000 inputs", {"", 2, true}, {{false, 5000, 3840, 7680, -1}}},
        {"x2 down needs two", {"", 2, false}, {{false, 1, 0, 0, -1}, {false, 5, 4, 2, -1}}},
        {"x4 down needs four", {"", 4, false}, {{false, 3, 0, 0, -1}, {false, 9, 8, 2, -1}}},
        {"x4 down stops at a full buffer", {"", 4, false}, {{false, 40000, 30720, 7680, -1}}},
        {"160/147 up: 147 inputs make 160 outputs", {"", 0, true}, {{false, 147, 147, 160, 0}}},
        {"160/147 up: one input makes two", {"", 0, true}, {{false, 1, 1, 2, 134}}},
        {"160/147 up: a full buffer keeps the input", {"", 0, true},
         {{false, 7056, 7056, 7680, 0}, {false, 5, 0, 0, 0}}},
        {"160/147 down: 160 inputs make 147 outputs", {"", 0, false}, {{false, 160, 160, 147, 0}}},
        {"160/147 down: a pending skip", {"", 0, false},
         {{false, 12, 12, 12, 156}, {false, 0, 0, 0, 156}, {false, 5, 5, 4, 61}}},
        {"160/147 down: room for ten", {"", 0, false},
         {{false, 160, 160, 147, 0}, {true, 121, 0, 0, -1}, {false, 8320, 8320, 7644, 0}, {false, 160, 10, 10, 130}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        WithStage(c.Stage, [&](SrcStage* stage) {
            std::vector<float> x(40000, 0.25f), sink(8000);
            for (size_t i = 0; i < c.Steps.size(); ++i) {
                SCOPED_TRACE(i);
                const Step& step = c.Steps[i];
                if (step.Take) {
                    EXPECT_EQ(stage->TakeOutput(0, sink.data(), step.Given), step.Given);
                    continue;
                }
                const LONG before = stage->GetOutputCount(0);
                LONG n = step.Given;
                ASSERT_TRUE(stage->Process(0, x.data(), &n));
                EXPECT_EQ(n, step.Consumed);
                EXPECT_EQ(stage->GetOutputCount(0) - before, step.Produced);
                if (step.Phase >= 0) {
                    EXPECT_EQ(static_cast<SrcStage44k48k*>(stage)->GetPhase(0), step.Phase);
                }
            }
        });
    }
}

TEST(SrcStage, ProcessRefusesBadCallsAndTheBaseProcessesNothing)
{
    float x[8] = {};
    LONG n = 8;
    PoolStage<SrcStageX2> x2;
    ASSERT_TRUE(x2->Init());
    EXPECT_FALSE(x2->Init());
    EXPECT_FALSE(x2->Process(0, x, &n)) << "not reset since Init";
    x2->Reset();
    const LONG channels[] = {-1, 8};
    for (LONG c : channels) EXPECT_FALSE(x2->Process(c, x, &n)) << c;
    EXPECT_FALSE(x2->Process(0, nullptr, &n));
    EXPECT_FALSE(x2->Process(0, x, nullptr));
    n = -1;
    EXPECT_FALSE(x2->Process(0, x, &n));
    EXPECT_EQ(n, -1);

    PoolStage<SplitStage> split;
    ASSERT_TRUE(split->Init());
    split->Reset();
    n = 8;
    EXPECT_FALSE(split->Process(0, x, &n));
    EXPECT_EQ(n, 8);

    // Reset empties the output buffers without freeing or clearing them.
    n = 8;
    ASSERT_TRUE(x2->Process(2, x, &n));
    const float* buffer = x2->GetOutput(2);
    std::vector<float> held(buffer, buffer + 16);
    x2->Reset();
    EXPECT_EQ(x2->GetOutputCount(2), 0);
    EXPECT_EQ(x2->GetOutput(2), buffer);
    EXPECT_EQ(0, std::memcmp(buffer, held.data(), held.size() * sizeof(float)));
}

}  // namespace
}  // namespace kvxtest
