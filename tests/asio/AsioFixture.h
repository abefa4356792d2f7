// Test-only: the whole driver on the simulated ASIO headset (a 2-channel render and a 1-channel
// capture endpoint, both ASIO-capable), and host ASIO clients on its private interface.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "adapter/AdapterExtension.h"
#include "host/AsioSession.h"
#include "platform/nt/Clock.h"
#include "tests/support/HostSession.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

inline std::vector<uint8_t> Longs(std::initializer_list<int32_t> values)
{
    std::vector<uint8_t> bytes(values.size() * 4);
    size_t at = 0;
    for (int32_t v : values) {
        std::memcpy(&bytes[at], &v, 4);
        at += 4;
    }
    return bytes;
}

inline int32_t LongAt(const std::vector<uint8_t>& bytes, size_t index)
{
    int32_t v = 0;
    if ((index + 1) * 4 <= bytes.size()) std::memcpy(&v, &bytes[index * 4], 4);
    return v;
}

class AsioFixture : public ::testing::Test {
protected:
    void StartDevice(const std::string& profile = "uac1-asio-headset.json", bool highSpeed = false)
    {
        std::string error;
        ASSERT_EQ(m_session.StartProfile(profile, highSpeed, &error), STATUS_SUCCESS) << error;
    }
    // The profile with its text changed first (`from` must occur).
    void StartEdited(const std::string& from, const std::string& to, const std::string& profile = "uac1-asio-headset.json")
    {
        StartEdited({{from, to}}, profile);
    }
    // Each edit in turn, the first occurrence of its `from`.
    void StartEdited(const std::vector<std::pair<std::string, std::string>>& edits, const std::string& profile)
    {
        std::ifstream file(std::string(KVX_PROFILE_DIR) + "/" + profile);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (const auto& [from, to] : edits) {
            const size_t at = text.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            text.replace(at, from.size(), to);
        }
        std::string error;
        auto device = sim::ParseProfile(text, KVX_PROFILE_DIR, &error);
        ASSERT_NE(device, nullptr) << error;
        ASSERT_EQ(m_session.Start(std::move(device)), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_clients.clear();
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
    }
    // A client with its handle open.
    host::AsioSession& Client(bool is32bit = false)
    {
        m_clients.push_back(std::make_unique<host::AsioSession>(m_session.Fdo(), is32bit));
        EXPECT_EQ(m_clients.back()->Open(), STATUS_SUCCESS);
        return *m_clients.back();
    }
    UsbAudioDevice* Device()
    {
        IAudioHal* hal = GetAdapterExtension(m_session.Fdo())->Device;
        return static_cast<UsbAudioDevice*>(hal);
    }
    // No endpoint record of the first `endpoints` holds a buffer or an endpoint client.
    void ExpectNoBuffers(ULONG endpoints)
    {
        for (ULONG i = 0; i < endpoints; ++i) {
            AsioEndpointRecord record{};
            ASSERT_TRUE(Device()->AsioRecord(i, &record));
            EXPECT_EQ(record.Buffer, nullptr) << "endpoint " << i;
            EXPECT_EQ(record.Client, nullptr) << "endpoint " << i;
        }
    }

    HostSession m_session;
    std::vector<std::unique_ptr<host::AsioSession>> m_clients;
};

}  // namespace kvxtest
