// Test-only model of the spatial room processor: the per-sample recurrences of the room tank,
// feeds, diffusers, output filters and quantiser written out directly, every signal kept in a
// separate history indexed by time. The processor must give the same samples within one
// quantiser step.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/SpatialTables.h"

namespace kvxtest {

inline float ReferenceQuantise(float y)
{
    if (std::isnan(y)) {
        return 0.0f;
    }
    if (y >= 0.99998474f) {
        y = 0.9999695f;
    } else if (y < -0.99998474f) {
        y = -1.0f;
    }
    // floor(32768 y + 0.5), exactly.
    return static_cast<float>(std::floor(32768.0 * static_cast<double>(y) + 0.5)) / 32768.0f;
}

class SpatialReference {
public:
    // rateIndex selects the set; channelCode 7 reads 8 inputs, 5 reads 6, others none.
    SpatialReference(int32_t rateIndex, int32_t channelCode) : m_Code(channelCode)
    {
        const float* p = SpatialSetTable[rateIndex];
        m_T = rateIndex == 2 ? 3 : rateIndex >= 16 ? 4 : 2;
        auto next = [&p] { return *p++; };
        for (int i = 0; i < 4; ++i) {
            m_Gap[i] = static_cast<int>(next());
            for (int j = 0; j < m_T; ++j) {
                m_A[i][j] = next();
            }
        }
        for (float& f : m_Feed) f = next();
        for (float& f : m_Filter) f = next();
        m_KC = next();
        for (float& f : m_K) f = next();
        for (float& f : m_Mix) f = next();
        for (int k = 0; k < 7; ++k) {
            m_H[k].resize(static_cast<size_t>(next()));
            for (float& h : m_H[k]) h = next();
        }
        for (float& f : m_WL) f = next();
        for (float& f : m_WR) f = next();
        for (float& f : m_OL) f = next();
        for (float& f : m_OR) f = next();
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) m_M[j][i] = next();
            next();  // offset to the next line
        }
    }

    // One sample of the eight inputs; returns the quantised left and right outputs.
    void Step(const float in[8], float* left, float* right)
    {
        float x[8] = {};
        const int readable = m_Code == 7 ? 8 : m_Code == 5 ? 6 : 0;
        for (int c = 0; c < readable; ++c) x[c] = in[c];
        float g[4];
        for (int i = 0; i < 4; ++i) {
            g[i] = 0.0f;
            for (int j = 1; j <= m_T; ++j) g[i] += m_A[i][j - 1] * Age(m_V[i], m_Gap[i] + j);
        }
        const float s[4] = {m_Feed[0] * (x[1] + x[3]) + m_Feed[1] * x[5], m_Feed[2] * (x[0] + x[3]) + m_Feed[3] * x[4],
                            m_Feed[4] * x[6] + m_Feed[5] * x[2], m_Feed[6] * x[7] + m_Feed[7] * x[2]};
        float f[4];
        for (int i = 0; i < 4; ++i) {
            f[i] = 2.0f * (m_Filter[0] * s[i] + m_Filter[1] * Age(m_S[i], 1) + m_Filter[2] * Age(m_S[i], 2) +
                           m_Filter[3] * Age(m_F[i], 1) + m_Filter[4] * Age(m_F[i], 2));
            m_S[i].push_back(s[i]);
            m_F[i].push_back(f[i]);
        }
        const float c = m_KC * x[2];
        const float p = m_K[0] * (x[0] + x[3]) + m_K[1] * g[3];
        const float q = m_K[2] * (x[1] + x[3]) + m_K[3] * g[0];
        const float r = m_K[4] * x[6];
        const float sr = m_K[5] * x[7];
        const float u = m_K[6] * x[4] + m_K[7] * g[1];
        const float y = m_K[8] * x[5] + m_K[9] * g[2];
        const float z[7] = {c, m_Mix[0] * p + m_Mix[1] * q, m_Mix[2] * p + m_Mix[3] * q, m_Mix[4] * r + m_Mix[5] * sr,
                            m_Mix[6] * r + m_Mix[7] * sr, m_Mix[8] * u + m_Mix[9] * y, m_Mix[10] * u + m_Mix[11] * y};
        float dl = 0.0f, dr = 0.0f;
        for (int k = 0; k < 7; ++k) {
            float d = 0.0f;
            for (size_t j = 1; j <= m_H[k].size(); ++j) d += m_H[k][j - 1] * Age(m_Z[k], static_cast<int>(2 * j));
            m_Z[k].push_back(z[k]);
            dl += m_WL[k] * d;
            dr += m_WR[k] * d;
        }
        const float left_[5] = {dl, c, p, r, u};
        const float right_[5] = {dr, c, q, sr, y};
        float yl = 0.0f, yr = 0.0f;
        for (int t = 0; t < 5; ++t) {
            yl += m_OL[3 * t] * left_[t] + m_OL[3 * t + 1] * Age(m_Left[t], 1) + m_OL[3 * t + 2] * Age(m_Left[t], 2);
            yr += m_OR[3 * t] * right_[t] + m_OR[3 * t + 1] * Age(m_Right[t], 1) + m_OR[3 * t + 2] * Age(m_Right[t], 2);
            m_Left[t].push_back(left_[t]);
            m_Right[t].push_back(right_[t]);
        }
        for (int j = 0; j < 4; ++j) {
            float v = 0.0f;
            for (int i = 0; i < 4; ++i) v += m_M[j][i] * (f[i] + g[i]);
            m_V[j].push_back(v);
        }
        *left = ReferenceQuantise(yl);
        *right = ReferenceQuantise(yr);
    }

private:
    // The value k samples before the current one (histories hold the samples before it; zero
    // before the start).
    static float Age(const std::vector<float>& h, int k)
    {
        const auto n = static_cast<long>(h.size());
        return n - k >= 0 ? h[static_cast<size_t>(n - k)] : 0.0f;
    }

    int m_Code;
    int m_T;
    int m_Gap[4];
    float m_A[4][4];
    float m_Feed[8], m_Filter[5], m_KC, m_K[10], m_Mix[12];
    std::vector<float> m_H[7];
    float m_WL[7], m_WR[7], m_OL[15], m_OR[15], m_M[4][4];
    std::vector<float> m_V[4], m_S[4], m_F[4], m_Z[7], m_Left[5], m_Right[5];
};

}  // namespace kvxtest
