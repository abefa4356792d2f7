#include <gtest/gtest.h>

#include <vector>

#include "platform/nt/Pool.h"
#include "platform/portcls/PortCls.h"
#include "tests/platform/registry/RegistryFixture.h"
#include "platform/nt/PoolHost.h"

namespace {

KVX_DEFINE_GUID(IID_Unrelated, "{11111111-2222-3333-4444-555555555555}");

class PcRegistryKeyTest : public kvxtest::RegistryFixture {
protected:
    static UNICODE_STRING Name(const char16_t* text)
    {
        const auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * 2);
        return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(text)};
    }
};

TEST_F(PcRegistryKeyTest, DriverKeyOfTheFunctionalDeviceReachesThePhysicalDevicesSoftwareKey)
{
    PREGISTRYKEY driverKey = nullptr;
    ASSERT_EQ(PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Fdo(), nullptr, nullptr, 0,
                               nullptr),
              STATUS_SUCCESS);

    PREGISTRYKEY settings = nullptr;
    UNICODE_STRING name = Name(u"Settings");
    ULONG disposition = 0;
    ASSERT_EQ(driverKey->NewSubKey(&settings, nullptr, KEY_ALL_ACCESS, &name, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ULONG value = 0x01020304;
    UNICODE_STRING valueName = Name(u"Level");
    EXPECT_EQ(settings->SetValueKey(&valueName, REG_DWORD, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistryGetValue(SettingsKey(), u"level")->Data, Dword(0x01020304));

    uint8_t buffer[32];
    ULONG result = 0;
    ASSERT_EQ(settings->QueryValueKey(&valueName, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Type, REG_DWORD);
    ASSERT_EQ(settings->QueryKey(KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer)->Name, 8), u"Settings");

    // A second reference keeps the key open; the last release closes it.
    IRegistryKey* again = nullptr;
    ASSERT_EQ(settings->QueryInterface(IID_IRegistryKey, reinterpret_cast<PVOID*>(&again)), STATUS_SUCCESS);
    EXPECT_EQ(settings->Release(), 1u);
    EXPECT_EQ(OpenKeys(), 2u);
    PVOID other = nullptr;
    EXPECT_EQ(again->QueryInterface(IID_Unrelated, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);

    PREGISTRYKEY doomed = nullptr;
    UNICODE_STRING doomedName = Name(u"Doomed");
    ASSERT_EQ(again->NewSubKey(&doomed, nullptr, KEY_ALL_ACCESS, &doomedName, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(doomed->DeleteKey(), STATUS_SUCCESS);
    EXPECT_FALSE(platform::RegistryKeyExists(SettingsKey() + u"\\Doomed"));
    doomed->Release();
    again->Release();
    driverKey->Release();
    EXPECT_EQ(OpenKeys(), 0u);
}

TEST_F(PcRegistryKeyTest, FailuresLeaveNoKeyOpen)
{
    PREGISTRYKEY key = reinterpret_cast<PREGISTRYKEY>(1);
    platform::PoolFailNextWithTag(MakePoolTag("PcRk"));
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Fdo(), nullptr, nullptr, 0, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(OpenKeys(), 0u);

    platform::RegistryReset();  // the device has no keys now
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Fdo(), nullptr, nullptr, 0, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DeviceInterfaceRegistryKey, KEY_ALL_ACCESS, Fdo(), nullptr, nullptr, 0,
                               nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(PcRegistryKeyTest, DevicePropertyOfTheFunctionalDeviceIsThePhysicalDevicesHardwareId)
{
    WCHAR ids[128] = {};
    ULONG result = 0;
    ASSERT_EQ(PcGetDeviceProperty(Fdo(), DevicePropertyHardwareID, sizeof ids, ids, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids), u"USB\\VID_ABCD&PID_1234&REV_0100");
    EXPECT_EQ(std::u16string(ids + 31), u"USB\\VID_ABCD&PID_1234");
    EXPECT_EQ(ids[31 + 22], 0);
    EXPECT_EQ(PcGetDeviceProperty(Fdo(), DevicePropertyHardwareID, 4, ids, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 2u * (31 + 22 + 1));
}

}  // namespace
