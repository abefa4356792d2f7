#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/SettingsStore.h"
#include "platform/nt/Pool.h"
#include "platform/registry/Registry.h"
#include "tests/platform/registry/RegistryFixture.h"
#include "platform/nt/PoolHost.h"

namespace {

class SettingsStoreTest : public kvxtest::RegistryFixture {};

TEST_F(SettingsStoreTest, ReadCopiesOnlyTheStoredBytesAndRefusesLongerData)
{
    // 4-byte buffer preset to AA AA AA AA; the stored size decides what the read does.
    struct Case {
        size_t Stored;
        NTSTATUS Status;
        std::vector<uint8_t> After;
    } cases[] = {
        {4, STATUS_SUCCESS, Bytes({1, 2, 3, 4})},
        {2, STATUS_SUCCESS, Bytes({1, 2, 0xAA, 0xAA})},
        {0, STATUS_SUCCESS, Bytes({0xAA, 0xAA, 0xAA, 0xAA})},
        {8, STATUS_UNSUCCESSFUL, Bytes({0xAA, 0xAA, 0xAA, 0xAA})},       // fits the query buffer
        {9, STATUS_BUFFER_OVERFLOW, Bytes({0xAA, 0xAA, 0xAA, 0xAA})},    // does not
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> stored = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        stored.resize(c.Stored);
        platform::RegistrySetValue(SettingsKey(), u"Level", REG_DWORD, stored);  // the stored type is not compared
        uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        EXPECT_EQ(AccessSettingsBinary(Fdo(), SETTINGS_READ, buffer, 4, u"Level"), c.Status) << c.Stored;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), c.After) << c.Stored;
    }
}

TEST_F(SettingsStoreTest, ReadOfAMissingValueCreatesTheKeysAndLeavesTheBuffer)
{
    ASSERT_FALSE(platform::RegistryKeyExists(SettingsKey()));
    uint32_t value = 77;
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_READ, u"Mixer", u"Gain", REG_BINARY, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(platform::RegistryKeyExists(SettingsKey() + u"\\Mixer"));

    // Any other operation only opens the keys.
    EXPECT_EQ(AccessSettingsValue(Fdo(), 3, u"Other", u"Gain", REG_BINARY, &value, 4), STATUS_SUCCESS);
    EXPECT_TRUE(platform::RegistryKeyExists(SettingsKey() + u"\\Other"));
    EXPECT_TRUE(platform::RegistryValueNames(SettingsKey() + u"\\Other").empty());
}

TEST_F(SettingsStoreTest, WritesKeepTheirTypeAndOnlyTextBinaryAndDwordAreAccepted)
{
    const char16_t text[] = u"Front";
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_WRITE, u"Names", u"Out", REG_SZ, const_cast<char16_t*>(text), 12),
              STATUS_SUCCESS);
    uint32_t word = 5;
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_WRITE, nullptr, u"Word", REG_DWORD, &word, 4), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistryGetValue(SettingsKey() + u"\\Names", u"Out")->Type, REG_SZ);
    EXPECT_EQ(platform::RegistryGetValue(SettingsKey() + u"\\Names", u"Out")->Data,
              Wide(std::u16string(u"Front\0", 6)));
    EXPECT_EQ(platform::RegistryGetValue(SettingsKey(), u"Word")->Type, REG_DWORD);

    for (ULONG type : {REG_NONE, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD}) {
        platform::RegistryReset();
        platform::DeviceSetUpUsb(Pdo(), kVendorId, kProductId, kRevision);
        EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_WRITE, nullptr, u"X", type, &word, 4), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_READ, nullptr, u"X", type, &word, 4), STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(platform::RegistryKeyExists(SettingsKey())) << type;
    }
}

TEST_F(SettingsStoreTest, IndexedNamesAppendTheDecimalIndexAndAreCutTo49Characters)
{
    uint8_t value = 9;
    EXPECT_EQ(AccessIndexedSettingsBinary(Fdo(), SETTINGS_WRITE, &value, 1, u"Name", 12), STATUS_SUCCESS);
    EXPECT_EQ(AccessIndexedSettingsBinary(Fdo(), SETTINGS_WRITE, &value, 1, u"Neg", -3), STATUS_SUCCESS);
    const std::u16string longPrefix(47, u'P');
    EXPECT_EQ(AccessIndexedSettingsBinary(Fdo(), SETTINGS_WRITE, &value, 1, longPrefix.c_str(), 123), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistryValueNames(SettingsKey()),
              (std::vector<std::u16string>{u"Name12", u"Neg-3", longPrefix + u"12"}));
    uint8_t read = 0;
    EXPECT_EQ(AccessIndexedSettingsBinary(Fdo(), SETTINGS_READ, &read, 1, u"Name", 12), STATUS_SUCCESS);
    EXPECT_EQ(read, 9);
}

TEST_F(SettingsStoreTest, EveryAllocationFailureIsReportedAndReleasesTheKeys)
{
    platform::RegistrySetValue(SettingsKey() + u"\\Sub", u"Gain", REG_BINARY, Bytes({1, 2}));
    // The temporary buffer by its tag, then every allocation of the access in turn.
    uint8_t buffer[2] = {0xAA, 0xAA};
    platform::PoolFailNextWithTag(SETTINGS_STORE_TAG);
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_READ, u"Sub", u"Gain", REG_BINARY, buffer, 2),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(buffer[0], 0xAA);
    for (uint64_t n = 1;; ++n) {
        const uint64_t injectedBefore = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        NTSTATUS status = AccessSettingsValue(Fdo(), SETTINGS_READ, u"Sub", u"Gain", REG_BINARY, buffer, 2);
        const bool injected = platform::PoolInjectedFailures() != injectedBefore;
        platform::PoolClearFailures();
        EXPECT_EQ(OpenKeys(), 0u) << n;
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(buffer[1], 2);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << n;
        EXPECT_EQ(buffer[0], 0xAA) << n;
    }
}

TEST_F(SettingsStoreTest, ADeviceWithoutADriverKeyGetsTheKeyStatus)
{
    platform::RegistryReset();
    uint8_t value = 0;
    EXPECT_EQ(AccessSettingsBinary(Fdo(), SETTINGS_WRITE, &value, 1, u"X"), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
