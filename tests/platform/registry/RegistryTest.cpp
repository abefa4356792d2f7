#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Verifier.h"
#include "platform/registry/DeviceRegistry.h"
#include "platform/registry/Registry.h"
#include "platform/registry/ZwFile.h"
#include "tests/platform/registry/RegistryFixture.h"

namespace {

// A counted string that owns its text.
struct UStr {
    explicit UStr(std::u16string text) : Text(std::move(text))
    {
        S.Length = S.MaximumLength = static_cast<USHORT>(Text.size() * 2);
        S.Buffer = Text.data();
    }
    std::u16string Text;
    UNICODE_STRING S;
};

NTSTATUS Open(HANDLE* h, const std::u16string& path, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr)
{
    UStr name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.S, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(h, access, &oa);
}

NTSTATUS Create(HANDLE* h, const std::u16string& path, ULONG* disposition = nullptr, HANDLE root = nullptr,
                ULONG options = REG_OPTION_NON_VOLATILE)
{
    UStr name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.S, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwCreateKey(h, KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition);
}

NTSTATUS Set(HANDLE h, const std::u16string& name, ULONG type, std::vector<uint8_t> data)
{
    UStr n(name);
    return ZwSetValueKey(h, &n.S, 0, type, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()));
}

NTSTATUS Query(HANDLE h, const std::u16string& name, std::vector<uint8_t>* out, ULONG length, ULONG* result)
{
    UStr n(name);
    out->assign(length, 0xEE);
    return ZwQueryValueKey(h, &n.S, KeyValuePartialInformation, out->empty() ? nullptr : out->data(), length, result);
}

std::u16string KeyName(HANDLE h)
{
    std::vector<uint8_t> buffer(512);
    ULONG result = 0;
    if (!NT_SUCCESS(ZwQueryKey(h, KeyBasicInformation, buffer.data(), 512, &result))) {
        return u"<error>";
    }
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    return std::u16string(info->Name, info->NameLength / 2);
}

class RegistryTest : public kvxtest::RegistryFixture {};

TEST_F(RegistryTest, CreateOpensOrCreatesOnlyTheLastComponentAndNamesIgnoreCase)
{
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\SOFTWARE\\Maker", &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ZwClose(key);
    ASSERT_EQ(Create(&key, u"\\REGISTRY\\machine\\software\\MAKER", &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(KeyName(key), u"Maker");
    uint8_t shortBuffer[18];
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, shortBuffer, sizeof shortBuffer, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u + 10u);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, shortBuffer, 15, &result), STATUS_BUFFER_TOO_SMALL);

    HANDLE child;
    ASSERT_EQ(Create(&child, u"Sub", &disposition, key), STATUS_SUCCESS);  // relative to an open key
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ZwClose(child);
    EXPECT_TRUE(platform::RegistryKeyExists(u"\\registry\\MACHINE\\Software\\maker\\sub"));
    ZwClose(key);

    EXPECT_EQ(Create(&key, u"\\Registry\\Machine\\SOFTWARE\\Missing\\Leaf"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(&key, u"\\Registry\\Machine\\SOFTWARE\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(NT_SUCCESS(Open(&key, u"Registry\\Machine")));          // not absolute
    EXPECT_FALSE(NT_SUCCESS(Open(&key, u"\\Registry\\\\Machine")));      // empty component
}

TEST_F(RegistryTest, PartialValueQueryReportsEachBufferShortfall)
{
    HANDLE key;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\SOFTWARE\\Q"), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"Gain", REG_BINARY, {1, 2, 3, 4, 5}), STATUS_SUCCESS);
    const ULONG needed = 12 + 5;
    struct Case {
        ULONG Length;
        NTSTATUS Status;
    } cases[] = {{0, STATUS_BUFFER_TOO_SMALL},  {11, STATUS_BUFFER_TOO_SMALL}, {12, STATUS_BUFFER_OVERFLOW},
                 {16, STATUS_BUFFER_OVERFLOW}, {needed, STATUS_SUCCESS},       {needed + 8, STATUS_SUCCESS}};
    for (const auto& c : cases) {
        std::vector<uint8_t> buffer;
        ULONG result = 0;
        EXPECT_EQ(Query(key, u"GAIN", &buffer, c.Length, &result), c.Status) << c.Length;
        EXPECT_EQ(result, needed) << c.Length;
        if (c.Length >= 12) {
            auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
            EXPECT_EQ(info->Type, REG_BINARY);
            EXPECT_EQ(info->DataLength, 5u);
        }
        if (c.Status == STATUS_SUCCESS) {
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 12, buffer.begin() + 17), Bytes({1, 2, 3, 4, 5}));
        }
    }
    std::vector<uint8_t> buffer;
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"Other", &buffer, 64, &result), STATUS_OBJECT_NAME_NOT_FOUND);

    UStr gain(u"gain");
    EXPECT_EQ(ZwDeleteValueKey(key, &gain.S), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, u"Gain", &buffer, 64, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteValueKey(key, &gain.S), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(RegistryTest, HandlesAreCheckedForKindAccessAndDeletion)
{
    HANDLE readOnly;
    ASSERT_EQ(Open(&readOnly, u"\\Registry\\Machine\\SOFTWARE", KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(Set(readOnly, u"V", REG_DWORD, Dword(1)), STATUS_ACCESS_DENIED);
    ZwClose(readOnly);
    EXPECT_EQ(Set(readOnly, u"V", REG_DWORD, Dword(1)), STATUS_INVALID_HANDLE);  // closed

    WriteFile("f.txt", "x");
    UStr path(u"\\SystemRoot\\f.txt");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path.S, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE file;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwOpenFile(&file, GENERIC_READ, &oa, &iosb, FILE_SHARE_READ, 0), STATUS_SUCCESS);
    EXPECT_EQ(Set(file, u"V", REG_DWORD, Dword(1)), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(file);

    HANDLE parent, leaf, second;
    ASSERT_EQ(Create(&parent, u"\\Registry\\Machine\\SOFTWARE\\P"), STATUS_SUCCESS);
    ASSERT_EQ(Create(&leaf, u"L", nullptr, parent), STATUS_SUCCESS);
    ASSERT_EQ(Open(&second, u"\\Registry\\Machine\\SOFTWARE\\P\\L"), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), static_cast<NTSTATUS>(0xC0000121u));  // has a subkey
    EXPECT_EQ(ZwDeleteKey(leaf), STATUS_SUCCESS);
    EXPECT_FALSE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\P\\L"));
    EXPECT_EQ(Set(second, u"V", REG_DWORD, Dword(1)), static_cast<NTSTATUS>(0xC000017Cu));  // key deleted
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    ZwClose(second);
    ZwClose(leaf);
    ZwClose(parent);

    // A key left open across a reset of the machine's registry is gone with its tree.
    ASSERT_EQ(Create(&parent, u"\\Registry\\Machine\\SOFTWARE\\Old"), STATUS_SUCCESS);
    ASSERT_EQ(Create(&leaf, u"Leaf", nullptr, parent), STATUS_SUCCESS);
    ZwClose(parent);
    platform::RegistryReset();
    EXPECT_EQ(ZwDeleteKey(leaf), static_cast<NTSTATUS>(0xC000017Cu));
    EXPECT_EQ(Create(&second, u"Child", nullptr, leaf), static_cast<NTSTATUS>(0xC000017Cu));
    ZwClose(leaf);
}

TEST_F(RegistryTest, CallsAbovePassiveLevelAreVerifierFaults)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE key = nullptr;
    Open(&key, u"\\Registry\\Machine\\SOFTWARE");
    KeLowerIrql(old);
    if (key != nullptr) {
        ZwClose(key);
    }
    auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].Detail.find("ZwOpenKey"), std::string::npos);
}

TEST_F(RegistryTest, SavedTreeLoadsBackWithTypesAndOddNamesButWithoutVolatileKeys)
{
    const std::u16string key = u"\\Registry\\Machine\\SOFTWARE\\Saved Key %x";
    std::vector<uint8_t> multi = Wide(std::u16string(u"a\0bc\0\0", 6));
    platform::RegistrySetValue(key, u"Text", REG_SZ, Wide(std::u16string(u"Hi\0", 3)));
    platform::RegistrySetValue(key, u"Expand", REG_EXPAND_SZ, Wide(u"%x%"));
    platform::RegistrySetValue(key, u"Bin", REG_BINARY, Bytes({0, 0xFF, 0x10}));
    platform::RegistrySetDword(key, u"Word", 0x12345678);
    platform::RegistrySetValue(key, u"Multi", REG_MULTI_SZ, multi);
    platform::RegistrySetValue(key, u"", REG_BINARY, {});            // the default value, empty
    platform::RegistrySetValue(key, u"sp ace\u00e9:", REG_DWORD, Dword(7));
    HANDLE parent, vol, child;
    ASSERT_EQ(Open(&parent, key), STATUS_SUCCESS);
    ASSERT_EQ(Create(&vol, u"Volatile", nullptr, parent, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    EXPECT_EQ(Create(&child, u"Child", nullptr, vol), static_cast<NTSTATUS>(0xC0000181u));  // must be volatile
    ZwClose(vol);
    ZwClose(parent);

    const auto file = Root() / "machine.reg";
    ASSERT_TRUE(platform::RegistrySave(file));
    platform::RegistryReset();
    EXPECT_FALSE(platform::RegistryKeyExists(key));
    ASSERT_TRUE(platform::RegistryLoad(file));

    EXPECT_EQ(platform::RegistryValueNames(key),
              (std::vector<std::u16string>{u"Text", u"Expand", u"Bin", u"Word", u"Multi", u"", u"sp ace\u00e9:"}));
    EXPECT_EQ(platform::RegistryGetValue(key, u"multi")->Data, multi);
    EXPECT_EQ(platform::RegistryGetValue(key, u"Multi")->Type, REG_MULTI_SZ);
    EXPECT_EQ(platform::RegistryGetValue(key, u"Word")->Data, Dword(0x12345678));
    EXPECT_EQ(platform::RegistryGetValue(key, u"Expand")->Type, REG_EXPAND_SZ);
    EXPECT_TRUE(platform::RegistryGetValue(key, u"")->Data.empty());
    EXPECT_EQ(platform::RegistryGetValue(key, u"SP ACE\u00c9:")->Data, Dword(7));
    EXPECT_FALSE(platform::RegistryKeyExists(key + u"\\Volatile"));
    EXPECT_TRUE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum"));

    WriteFile("bad.reg", "KVX-REGISTRY 2\nV 3 12 :NoKey\n");
    platform::RegistryLoadError error;
    EXPECT_FALSE(platform::RegistryLoad(Root() / "bad.reg", &error));
    EXPECT_EQ(error.Line, 2u) << error.Reason;  // a value before any key
    EXPECT_TRUE(platform::RegistryKeyExists(key));  // unchanged
}

TEST_F(RegistryTest, DeviceKeysFollowTheDeviceTable)
{
    const std::u16string instance =
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_ABCD&PID_1234\\5&1a2b3c4d&0&1";
    EXPECT_EQ(platform::DeviceInstanceKeyPath(Pdo()), instance);

    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(key), u"Device Parameters");
    ASSERT_EQ(Set(key, u"SelectiveSuspendEnabled", REG_DWORD, Dword(1)), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(platform::RegistryGetValue(instance + u"\\Device Parameters", u"SelectiveSuspendEnabled"));

    // The hardware-profile key names the instance, so the instance key path can be rebuilt from
    // the device id and that name.
    ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    const std::u16string instanceName = KeyName(key);
    ZwClose(key);
    EXPECT_EQ(instanceName, u"5&1a2b3c4d&0&1");
    ASSERT_EQ(Open(&key, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_ABCD&PID_1234&REV_0100\\" +
                             instanceName),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Open(&key, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_ABCD&PID_1234\\" +
                             instanceName),
              STATUS_SUCCESS);
    ZwClose(key);

    ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(key), u"0000");
    ZwClose(key);

    // Only the physical device object carries the keys; a bad key type is refused.
    EXPECT_EQ(IoOpenDeviceRegistryKey(Fdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
