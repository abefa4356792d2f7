// A clean machine registry with one stand-in USB device (a physical device object with a
// functional device object attached on top) and a private system-root folder, for the tests of the registry, PortCls keys, the settings
// store and the settings-file import.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/io/Io.h"
#include "platform/registry/RegistryHost.h"
#include "platform/io/IoHost.h"

namespace kvxtest {

class RegistryFixture : public ::testing::Test {
protected:
    static constexpr uint16_t kVendorId = 0xABCD;
    static constexpr uint16_t kProductId = 0x1234;
    static constexpr uint16_t kRevision = 0x0100;

    void SetUp() override
    {
        platform::RegistryReset();
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\UsbAudio");
        ASSERT_NE(m_driver, nullptr);
        ASSERT_EQ(IoCreateDevice(m_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_pdo), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(m_driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &m_fdo), STATUS_SUCCESS);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_pdo), m_pdo);
        platform::DeviceSetUpUsb(m_pdo, kVendorId, kProductId, kRevision);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string folder =
            "kvx-reg-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name();
        for (char& c : folder) {
            if (c == '/') c = '_';  // parameterised test names
        }
        m_root = std::filesystem::temp_directory_path() / folder;
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root);
        platform::SetSystemRoot(m_root);
        m_keysAtStart = platform::RegistryOpenKeyCount();
        m_filesAtStart = platform::FileOpenCount();
    }

    void TearDown() override
    {
        EXPECT_EQ(OpenKeys(), 0u) << "a registry key was left open";
        EXPECT_EQ(platform::FileOpenCount() - m_filesAtStart, 0u) << "a file was left open";
        platform::SetSystemRoot({});
        platform::DeviceForget(m_pdo);
        IoDetachDevice(m_pdo);
        IoDeleteDevice(m_fdo);
        IoDeleteDevice(m_pdo);
        platform::IoDeleteDriverObject(m_driver);
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    // A fresh machine and device within one test (for tables of cases).
    void Restart()
    {
        TearDown();
        SetUp();
    }

    // Keys opened since the test began (an earlier test's leak does not count here).
    size_t OpenKeys() const { return platform::RegistryOpenKeyCount() - m_keysAtStart; }

    PDEVICE_OBJECT Pdo() { return m_pdo; }
    PDEVICE_OBJECT Fdo() { return m_fdo; }

    std::u16string DriverKey() { return platform::DeviceDriverKeyPath(Pdo()); }
    std::u16string SettingsKey() { return DriverKey() + u"\\Settings"; }

    // Writes a file below the system root.
    void WriteFile(const std::string& name, const std::string& contents)
    {
        std::ofstream out(m_root / name, std::ios::binary | std::ios::trunc);
        out << contents;
    }

    const std::filesystem::path& Root() const { return m_root; }

public:
    static std::vector<uint8_t> Bytes(std::initializer_list<int> values)
    {
        std::vector<uint8_t> out;
        for (int v : values) out.push_back(static_cast<uint8_t>(v));
        return out;
    }
    static std::vector<uint8_t> Dword(uint32_t v)
    {
        std::vector<uint8_t> out(4);
        std::memcpy(out.data(), &v, 4);
        return out;
    }
    // The bytes of a wide text without terminator.
    static std::vector<uint8_t> Wide(const std::u16string& text)
    {
        std::vector<uint8_t> out(text.size() * 2);
        std::memcpy(out.data(), text.data(), out.size());
        return out;
    }

private:
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    size_t m_keysAtStart = 0;
    size_t m_filesAtStart = 0;
    std::filesystem::path m_root;
};

}  // namespace kvxtest
