// Test-only: `kvx` run in-process with its two streams kept, and the sine files its tests play.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "tools/Kvx.h"

namespace kvxtest {

struct KvxRun {
    int Code;
    std::string Out;
    std::string Err;
};

inline KvxRun Kvx(std::vector<std::string> args)
{
    std::ostringstream out, err;
    const int code = kvx::RunKvx(args, out, err);
    return {code, out.str(), err.str()};
}

// A sound file written by libsndfile at `path`: a 1 kHz sine at 0.6 full scale.
inline void WriteSine(const std::string& path, int format, int rate, int channels, double seconds)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(sf, nullptr) << sf_strerror(nullptr);
    if (sf == nullptr) return;
    const auto frames = static_cast<sf_count_t>(seconds * rate);
    std::vector<double> samples(static_cast<size_t>(frames) * channels);
    for (sf_count_t n = 0; n < frames; ++n) {
        for (int c = 0; c < channels; ++c) {
            samples[n * channels + c] = 0.6 * std::sin(2 * 3.14159265358979 * 1000.0 * n / rate + c);
        }
    }
    EXPECT_EQ(sf_writef_double(sf, samples.data(), frames), frames);
    sf_close(sf);
}

// A test with a folder of its own for the files it plays and records (removed after), and the
// machine back on virtual time afterwards.
class KvxFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = std::filesystem::temp_directory_path() /
                ("kvx-files-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override
    {
        std::filesystem::remove_all(m_dir);
        platform::SetRealTime(false);
    }
    // A 1 kHz sine file in the test's folder.
    std::string Write(const std::string& name, int format, int rate, int channels, double seconds)
    {
        const std::string path = (m_dir / name).string();
        WriteSine(path, format, rate, channels, seconds);
        return path;
    }

    std::filesystem::path m_dir;
};

}  // namespace kvxtest
