// The headphone FIR's partitioned convolution against a direct reference, its history, and the
// switch of responses inside a block.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tests/globaltopo/common/JQZ/HeadphoneFirFixture.h"

namespace {

constexpr int N = HEADPHONEFIR_N;

using Channels = std::vector<std::vector<float>>;

Channels Noise(int channels, int samples, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    Channels c(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(samples)));
    for (auto& ch : c) {
        for (float& x : ch) x = dist(gen);
    }
    return c;
}

// The responses of a set (1 to 3) and angle code, straight from the library.
struct Responses {
    const float* head;  // 10 x 1,024
    const float* tail;  // 2 x tailLength
    int tailLength;
    Responses(int set, int code)
    {
        const int index = HeadphoneAngleCodeIndex(code);
        const int family = HeadphoneAngleFamily(code);
        head = HeadphoneResponseLibrary + HeadphoneHeadOffset(set, index);
        tail = HeadphoneResponseLibrary + HeadphoneTailOffset(set, family);
        tailLength = HeadphoneTailLengths[set - 1][family];
    }
};

// The loudspeaker lines of the input: A and B, or A to E with the low channel in both front
// lines and the side/back fold for eight channels.
Channels Lines(const Channels& in)
{
    const size_t n = in[0].size();
    if (in.size() == 2) return in;
    Channels lines(5, std::vector<float>(n));
    for (size_t i = 0; i < n; ++i) {
        lines[0][i] = in[0][i] + in[3][i];
        lines[1][i] = in[1][i] + in[3][i];
        lines[2][i] = in[2][i];
        if (in.size() == 8) {
            lines[3][i] = 0.95f * in[4][i] + 0.312f * in[5][i] + in[6][i];
            lines[4][i] = 0.312f * in[4][i] + 0.95f * in[5][i] + in[7][i];
        } else {
            lines[3][i] = in[4][i];
            lines[4][i] = in[5][i];
        }
    }
    return lines;
}

// Ear e at sample t: 2 x (each line through its head response) + 2 x (the sum of the lines
// through the tail, 1,024 samples late), in double.
double Reference(const Channels& lines, const Responses& r, int e, int t)
{
    double y = 0.0;
    for (size_t v = 0; v < lines.size(); ++v) {
        const float* h = r.head + (2 * v + static_cast<size_t>(e)) * 1024;
        for (int m = 0; m < 1024 && m <= t; ++m) y += static_cast<double>(h[m]) * lines[v][static_cast<size_t>(t - m)];
    }
    const float* tail = r.tail + static_cast<size_t>(e) * static_cast<size_t>(r.tailLength);
    for (int m = 0; m < r.tailLength && t - 1024 - m >= 0; ++m) {
        double sum = 0.0;
        for (const auto& line : lines) sum += line[static_cast<size_t>(t - 1024 - m)];
        y += static_cast<double>(tail[m]) * sum;
    }
    return 2.0 * y;
}

class HeadphoneConvolve : public kvxtest::HeadphoneFirTestBase {
protected:
    // Feeds the blocks of in through Convolve; returns both ears.
    Channels Run(const Channels& in, int blocks)
    {
        Channels out(2, std::vector<float>(static_cast<size_t>(blocks * N)));
        Channels work(in.size(), std::vector<float>(N));
        for (int b = 0; b < blocks; ++b) {
            std::vector<float*> inPtr;
            for (size_t c = 0; c < in.size(); ++c) {
                std::copy(in[c].begin() + b * N, in[c].begin() + (b + 1) * N, work[c].begin());
                inPtr.push_back(work[c].data());
            }
            float* outPtr[2] = {out[0].data() + b * N, out[1].data() + b * N};
            m_fir->Convolve(outPtr, 2, inPtr.data(), static_cast<int32_t>(in.size()), N, false);
        }
        return out;
    }
    void Use(int roomCode, int code)
    {
        m_fir->SelectImpulseResponses(roomCode, code);
        m_fir->LoadImpulseResponses();
        m_fir->Reset();
    }
};

// Random 2-, 6- and 8-channel input over 200 blocks, short and long tails: sampled blocks match
// the direct convolution within 1e-5 of the output's RMS.
TEST_F(HeadphoneConvolve, MatchesDirectReference)
{
    struct Case { int channels, roomCode, set; } cases[] = {{2, 2, 1}, {6, 2, 1}, {8, 2, 1}, {8, 0, 3}, {6, 1, 2}};
    constexpr int blocks = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, set " << c.set);
        Use(c.roomCode, 29);
        const Responses r(c.set, 29);
        const Channels in = Noise(c.channels, blocks * N, static_cast<unsigned>(c.channels + c.set));
        const Channels out = Run(in, blocks);
        const Channels lines = Lines(in);
        for (int b : {0, 1, 2, 3, 16, 199}) {
            for (int e = 0; e < 2; ++e) {
                double energy = 0.0, worst = 0.0;
                for (int i = 0; i < N; i += 3) {
                    const int t = b * N + i;
                    const double ref = Reference(lines, r, e, t);
                    energy += ref * ref;
                    worst = std::max(worst, std::fabs(ref - out[static_cast<size_t>(e)][static_cast<size_t>(t)]));
                }
                const double rms = std::sqrt(energy / (N / 3));
                EXPECT_LE(worst, 1e-5 * rms) << "block " << b << " ear " << e;
            }
        }
    }
}

// An impulse on the first sample: the left ear is 2 x head response 0 for 1,024 samples and then
// 2 x tail 0; the right ear likewise with 1 and tail 1. The low channel reaches both front lines.
TEST_F(HeadphoneConvolve, ImpulseResponses)
{
    const Responses r(1, 29);
    for (int channels : {2, 6}) {
        SCOPED_TRACE(channels);
        m_fir->Reset();
        Channels in(static_cast<size_t>(channels), std::vector<float>(10 * N, 0.0f));
        in[channels == 2 ? 0 : 3][0] = 1.0f;
        const Channels out = Run(in, 10);
        for (int e = 0; e < 2; ++e) {
            for (int t = 0; t < 1024 + r.tailLength; t += 5) {
                double expected;
                if (t < 1024) {
                    expected = 2.0 * r.head[e * 1024 + t];
                    if (channels == 6) expected += 2.0 * r.head[(2 + e) * 1024 + t];  // line B too
                } else {
                    expected = (channels == 6 ? 4.0 : 2.0) * r.tail[e * r.tailLength + t - 1024];
                }
                ASSERT_NEAR(out[static_cast<size_t>(e)][static_cast<size_t>(t)], expected, 1e-5) << t;
            }
        }
    }
}

// After Reset the next block depends on that block alone; the input history otherwise counts.
TEST_F(HeadphoneConvolve, ResetForgetsHistory)
{
    const Channels noise = Noise(6, 6 * N, 9);
    Run(noise, 5);
    m_fir->Reset();
    const Channels last(noise.size());
    Channels block(6);
    for (int c = 0; c < 6; ++c) block[static_cast<size_t>(c)].assign(noise[static_cast<size_t>(c)].begin() + 5 * N, noise[static_cast<size_t>(c)].end());
    const Channels afterReset = Run(block, 1);

    HeadphoneFir* fresh = kvxtest::NewHeadphoneFir();
    ASSERT_EQ(fresh->Init(), STATUS_SUCCESS);
    std::swap(fresh, m_fir);
    const Channels alone = Run(block, 1);
    std::swap(fresh, m_fir);
    kvxtest::DeleteHeadphoneFir(fresh);
    EXPECT_EQ(afterReset, alone);
}

// Counts outside 2, 6 and 8 write silence and keep the history.
TEST_F(HeadphoneConvolve, OtherCountsWriteSilence)
{
    const Channels noise = Noise(8, N, 3);
    std::vector<float> l(N, 1.0f), r(N, 1.0f);
    float* out[2] = {l.data(), r.data()};
    std::vector<float*> in;
    for (auto& ch : const_cast<Channels&>(noise)) in.push_back(ch.data());
    for (int n : {1, 3, 4, 5, 7, 9}) {
        m_fir->Process(out, 2, in.data(), n, N);
        for (int i = 0; i < N; ++i) ASSERT_EQ(l[static_cast<size_t>(i)], 0.0f) << n;
    }
    // A short block: silence over its own length only, no CTC block.
    std::fill(l.begin(), l.end(), 1.0f);
    m_fir->Process(out, 2, in.data(), 6, 256);
    EXPECT_EQ(l[255], 0.0f);
    EXPECT_EQ(l[256], 1.0f);
}

// The pre-CTC signal of a bypassed stage (a delay of 255 samples) over the blocks processed.
Channels ProcessBlocks(HeadphoneFir* fir, const Channels& in, int blocks, int switchAt, int roomCode, int code)
{
    Channels post(2, std::vector<float>(static_cast<size_t>(blocks * N)));
    Channels work(in.size(), std::vector<float>(N));
    for (int b = 0; b < blocks; ++b) {
        if (b == switchAt) fir->SelectImpulseResponses(roomCode, code);
        std::vector<float*> inPtr;
        for (size_t c = 0; c < in.size(); ++c) {
            std::copy(in[c].begin() + b * N, in[c].begin() + (b + 1) * N, work[c].begin());
            inPtr.push_back(work[c].data());
        }
        float* outPtr[2] = {post[0].data() + b * N, post[1].data() + b * N};
        fir->Process(outPtr, 2, inPtr.data(), static_cast<int32_t>(in.size()), N);
    }
    for (auto& ch : post) ch.erase(ch.begin(), ch.begin() + 255);
    return post;
}

// A switch while audio runs: the switching block fades from the old responses to the new over
// its length, the next block is the new responses alone, and the input history carries over.
TEST_F(HeadphoneConvolve, SwitchCrossfadesInOneBlock)
{
    const Channels in = Noise(2, 8 * N, 4);
    const int m = 5;
    const Channels x = ProcessBlocks(m_fir, in, 8, m, 1, 39);

    HeadphoneFir* oldOnly = kvxtest::NewHeadphoneFir();
    ASSERT_EQ(oldOnly->Init(), STATUS_SUCCESS);
    const Channels a = ProcessBlocks(oldOnly, in, 8, -1, 0, 0);
    HeadphoneFir* newOnly = kvxtest::NewHeadphoneFir();
    ASSERT_EQ(newOnly->Init(), STATUS_SUCCESS);
    newOnly->SelectImpulseResponses(1, 39);
    newOnly->LoadImpulseResponses();
    const Channels b = ProcessBlocks(newOnly, in, 8, -1, 0, 0);
    kvxtest::DeleteHeadphoneFir(oldOnly);
    kvxtest::DeleteHeadphoneFir(newOnly);

    for (int e = 0; e < 2; ++e) {
        const auto& xe = x[static_cast<size_t>(e)];
        for (int i = 0; i < N; ++i) {
            const size_t t = static_cast<size_t>(m * N + i);
            const float w = static_cast<float>(i) / N;
            ASSERT_NEAR(xe[t], (1.0f - w) * a[static_cast<size_t>(e)][t] + w * b[static_cast<size_t>(e)][t], 1e-5) << i;
        }
        for (size_t t = static_cast<size_t>((m + 1) * N); t < xe.size(); ++t) {
            ASSERT_NEAR(xe[t], b[static_cast<size_t>(e)][t], 1e-5) << t;
        }
        for (size_t t = 0; t < static_cast<size_t>(m * N); ++t) {
            ASSERT_EQ(xe[t], a[static_cast<size_t>(e)][t]) << t;
        }
    }
}

// 14 tail partitions, then 6, then 14 again: the slots that the short tail did not use hold audio
// of before the first switch, which must not come back.
TEST_F(HeadphoneConvolve, LongerTailAfterShortOneReplaysNothing)
{
    Use(0, 29);  // set 3: 14 partitions
    const Channels noise = Noise(6, 20 * N, 11);
    ProcessBlocks(m_fir, noise, 20, -1, 0, 0);
    const Channels silence(6, std::vector<float>(40 * N, 0.0f));
    // Room code 2 (6 partitions) for 20 silent blocks: the short tail runs out.
    ProcessBlocks(m_fir, silence, 20, 0, 2, 29);
    const Channels out = ProcessBlocks(m_fir, silence, 40, 0, 0, 29);
    for (const auto& ear : out) {
        for (size_t t = 0; t < ear.size(); ++t) ASSERT_NEAR(ear[t], 0.0f, 1e-6) << t;
    }
}

}  // namespace
