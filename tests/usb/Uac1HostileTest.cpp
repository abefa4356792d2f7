// A hostile UAC1 device through the device object's whole start: configurations that lie about
// their lengths or rates. Each start ends with a status, never a hang; the harness checks the
// pool for leaks at the end of each test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/registry/RegistryHost.h"
#include "sim/Profile.h"
#include "tests/usb/DeviceStartFixture.h"
#include "tools/Kvx.h"
#include "usb/Uac1Function.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {
namespace {

using sim::Bytes;
using sim::DescriptorBuilder;

class Uac1HostileTest : public DeviceStartFixture {
protected:
    NTSTATUS StartPlugged()
    {
        m_device->SetString(0x50, u"chip");
        return StartDeviceObject();
    }
};

// A render device: streaming input terminal 1 to a speaker 3, streaming interface 1 with one
// FORMAT_TYPE descriptor `format`.
DescriptorBuilder RenderWith(const Bytes& format)
{
    DescriptorBuilder b;
    b.AudioControl(0, 0, {1}).Uac1InputTerminal(1, 0x0101, 2).Uac1OutputTerminal(3, 0x0301, 1);
    b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(1).Raw(format);
    return b;
}

Bytes Discrete(std::vector<uint32_t> rates)
{
    Bytes d = {0, 0x24, 2, 1, 2, 2, 16, static_cast<uint8_t>(rates.size())};
    for (uint32_t r : rates) {
        sim::PutLe24(d, r);
    }
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

TEST_F(Uac1HostileTest, LyingConfigurationsStartOrAreRefusedWithTheirStatus)
{
    struct Row {
        const char* Name;
        Bytes Configuration;
        NTSTATUS Expected;
        ULONG Formats;  // of endpoint 0, when the start succeeds
    };
    const Bytes good = RenderWith(Discrete({48000})).Configuration();
    auto withTotal = [&](int delta) {
        Bytes c = good;
        const int total = static_cast<int>(c[2] | (c[3] << 8)) + delta;
        c[2] = static_cast<uint8_t>(total);
        c[3] = static_cast<uint8_t>(total >> 8);
        return c;
    };
    const std::vector<Row> rows = {
        {"as built", good, STATUS_SUCCESS, 1},
        {"a discrete rate of 0 Hz", RenderWith(Discrete({48000, 0})).Configuration(), STATUS_INVALID_PARAMETER, 0},
        {"only a rate of 0 Hz", RenderWith(Discrete({0})).Configuration(), STATUS_INVALID_PARAMETER, 0},
        // The device sends its bytes; the walk stops at wTotalLength, cutting the format descriptor.
        {"wTotalLength below the bytes sent", withTotal(-3), STATUS_UNSUCCESSFUL, 0},
        // The device sends fewer bytes than it promised: only what arrived is walked.
        {"wTotalLength above the bytes sent", withTotal(+40), STATUS_SUCCESS, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        DescriptorBuilder identity;
        Plug(identity.DeviceDescriptor(), row.Configuration);
        ASSERT_EQ(StartPlugged(), row.Expected);
        if (NT_SUCCESS(row.Expected)) {
            auto* function = static_cast<Uac1Function*>(m_usb->FunctionAudioHal());
            StreamEngine* endpoint = nullptr;
            ASSERT_EQ(function->GetEndpoint(0, &endpoint), STATUS_SUCCESS);
            EXPECT_EQ(endpoint->GetFormatCount(), row.Formats);
        }
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
}

// The microphone's configuration with one change, through the adapter's whole start (the describe
// command): what the parse accepts may still leave a filter that cannot be made.
TEST(Uac1HostileAdapterTest, MicrophoneVariantsStartOrFailWithTheirStatus)
{
    std::string error;
    auto profile = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/uac1-microphone.json", &error);
    ASSERT_NE(profile, nullptr) << error;
    const Bytes device = profile->DeviceBytes();
    const Bytes configuration = profile->ConfigurationBytes();
    size_t format = 0;  // the FORMAT_TYPE descriptor
    for (size_t at = 0; at + 2 < configuration.size(); at += std::max<uint8_t>(configuration[at], 1)) {
        if (configuration[at + 1] == 0x24 && configuration[at + 2] == 2 && configuration[at] == 11) {
            format = at;
        }
    }
    ASSERT_NE(format, 0u);
    struct Row {
        const char* Name;
        Bytes Configuration;
        const char* Expected;
    };
    Bytes noFormat = configuration;
    noFormat.erase(noFormat.begin() + static_cast<ptrdiff_t>(format),
                   noFormat.begin() + static_cast<ptrdiff_t>(format + 11));
    noFormat[2] = static_cast<uint8_t>(noFormat.size());
    noFormat[3] = static_cast<uint8_t>(noFormat.size() >> 8);
    Bytes zeroRate = configuration;
    zeroRate[format + 8] = zeroRate[format + 9] = zeroRate[format + 10] = 0;
    const Row rows[] = {
        {"as shipped", configuration, "started (status 0x00000000)"},
        {"a streaming interface without formats: its wave filter cannot be made", noFormat,
         "not started: STATUS_INSUFFICIENT_RESOURCES (0xC000009A)"},
        {"its one rate 0 Hz", zeroRate, "not started: STATUS_INVALID_PARAMETER (0xC000000D)"},
    };
    const auto path =
        std::filesystem::temp_directory_path() / ("kvx-uac1-hostile-" + std::to_string(::getpid()) + ".json");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        std::ostringstream hex;
        Bytes all = device;
        all.insert(all.end(), row.Configuration.begin(), row.Configuration.end());
        for (uint8_t b : all) {
            char text[4];
            std::snprintf(text, sizeof text, "%02x ", b);
            hex << text;
        }
        std::ofstream(path) << "{\"descriptorsHex\": \"" << hex.str()
                            << "\", \"speed\": \"full\", \"strings\": {\"0x50\": \"FIXTURE-MC-01\"}}";
        std::ostringstream out, err;
        EXPECT_EQ(kvx::RunKvx({"describe", path.string(), "--text"}, out, err), kvx::EXIT_OK) << err.str();
        EXPECT_NE(out.str().find(row.Expected), std::string::npos) << out.str();
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace kvxtest
