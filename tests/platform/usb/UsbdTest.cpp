#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/nt/Pool.h"
#include "platform/usb/Usb.h"
#include "platform/nt/PoolHost.h"

namespace {

using Bytes = std::vector<UCHAR>;

// A configuration in pool memory of exactly its bytes, so that reads past them show under the
// sanitizers and the helpers can bound themselves by the block.
class PoolConfig {
public:
    explicit PoolConfig(const Bytes& bytes)
        : m_size(bytes.size()),
          m_p(static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes.size(), MakePoolTag("Tcfg"))))
    {
        std::memcpy(m_p, bytes.data(), bytes.size());
    }
    ~PoolConfig() { ExFreePoolWithTag(m_p, MakePoolTag("Tcfg")); }
    PoolConfig(const PoolConfig&) = delete;
    PoolConfig& operator=(const PoolConfig&) = delete;
    PUSB_CONFIGURATION_DESCRIPTOR Config() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_p); }
    UCHAR* At(size_t offset) const { return m_p + offset; }
    ptrdiff_t OffsetOf(const void* p) const { return p ? static_cast<const UCHAR*>(p) - m_p : -1; }

private:
    size_t m_size;
    UCHAR* m_p;
};

Bytes Config(std::vector<Bytes> parts, int totalDelta = 0)
{
    Bytes out = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
    UCHAR interfaces = 0;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
        interfaces += p.size() >= 2 && p[1] == 4 && p[3] == 0 ? 1 : 0;
    }
    const int total = static_cast<int>(out.size()) + totalDelta;
    out[2] = static_cast<UCHAR>(total & 0xFF);
    out[3] = static_cast<UCHAR>(total >> 8);
    out[4] = interfaces;
    return out;
}
Bytes Interface(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR cls, UCHAR sub, UCHAR protocol = 0)
{
    return {9, 4, number, alt, endpoints, cls, sub, protocol, 0};
}
Bytes Endpoint(UCHAR address, UCHAR attributes, USHORT maxPacket)
{
    return {9, 5, address, attributes, static_cast<UCHAR>(maxPacket), static_cast<UCHAR>(maxPacket >> 8), 1, 0, 0};
}

// An audio function: AudioControl 0, AudioStreaming 1 with a zero-bandwidth and a streaming setting.
Bytes AudioFunction()
{
    return Config({Interface(0, 0, 0, 1, 1), {9, 0x24, 1, 0, 1, 9, 0, 1, 1}, Interface(1, 0, 0, 1, 2),
                   Interface(1, 1, 1, 1, 2), {7, 0x24, 1, 1, 1, 1, 0}, Endpoint(0x01, 0x09, 192)});
}

TEST(UsbdParseTest, FindsInterfacesByEachCriterion)
{
    PoolConfig c(AudioFunction());
    auto find = [&](LONG n, LONG alt, LONG cls, LONG sub, LONG prot, ptrdiff_t from = 0) {
        return c.OffsetOf(USBD_ParseConfigurationDescriptorEx(c.Config(), c.At(from), n, alt, cls, sub, prot));
    };
    EXPECT_EQ(find(-1, -1, -1, -1, -1), 9);
    EXPECT_EQ(find(1, -1, -1, -1, -1), 27);
    EXPECT_EQ(find(1, 1, 1, 2, 0), 36);
    EXPECT_EQ(find(-1, -1, 1, 2, -1), 27);
    EXPECT_EQ(find(-1, -1, 1, 2, -1, 36), 36);  // the start position itself counts
    EXPECT_EQ(find(2, -1, -1, -1, -1), -1);
    EXPECT_EQ(find(-1, -1, 1, 1, 0x20), -1);
}

TEST(UsbdParseTest, FindsDescriptorsByTypeWithinTheGivenLength)
{
    PoolConfig c(AudioFunction());
    auto* config = c.Config();
    const ULONG total = config->wTotalLength;
    EXPECT_EQ(c.OffsetOf(USBD_ParseDescriptors(config, total, config, USB_ENDPOINT_DESCRIPTOR_TYPE)), 52);
    EXPECT_EQ(c.OffsetOf(USBD_ParseDescriptors(config, total, c.At(18), USB_AUDIO_CS_INTERFACE)), 18);
    EXPECT_EQ(c.OffsetOf(USBD_ParseDescriptors(config, total, c.At(19), USB_AUDIO_CS_INTERFACE)), -1);
    // The endpoint's last byte outside the length given: it is not returned.
    EXPECT_EQ(c.OffsetOf(USBD_ParseDescriptors(config, total - 1, config, USB_ENDPOINT_DESCRIPTOR_TYPE)), -1);
    // A start outside the buffer finds nothing.
    EXPECT_EQ(c.OffsetOf(USBD_ParseDescriptors(config, total, c.At(total), USB_ENDPOINT_DESCRIPTOR_TYPE)), -1);
    EXPECT_EQ(c.OffsetOf(USBD_ParseDescriptors(config, 0, config, USB_CONFIGURATION_DESCRIPTOR_TYPE)), -1);
}

// Hostile configurations: the search for AudioStreaming interface 1 must stop at the fault,
// find what lies before it, and never read past the bytes it was given.
TEST(UsbdParseTest, HostileConfigurationsStopTheWalk)
{
    struct Case {
        const char* name;
        Bytes bytes;
        ptrdiff_t expected;
    };
    const Case cases[] = {
        {"zero bLength before it", Config({Interface(0, 0, 0, 1, 1), {0, 0x24, 1}, Interface(1, 0, 0, 1, 2)}), -1},
        {"one-byte bLength", Config({{1, 0x24}, Interface(1, 0, 0, 1, 2)}), -1},
        {"bLength beyond the end", Config({Interface(1, 0, 0, 1, 2), {200, 0x24, 1}}), 9},
        {"oversize bLength hides it", Config({{200, 0x24, 1}, Interface(1, 0, 0, 1, 2)}), -1},
        {"wTotalLength lies upwards", Config({Interface(0, 0, 0, 1, 1), {9, 0x24}}, 4000), -1},
        {"wTotalLength lies downwards", Config({Interface(0, 0, 0, 1, 1), Interface(1, 0, 0, 1, 2)}, -1), -1},
        {"truncated interface", Config({{5, 4, 1, 0, 0}, Interface(1, 0, 0, 1, 2)}), 14},
        {"cut inside the last one", [] { Bytes b = Config({Interface(1, 0, 0, 1, 2)}); b.resize(15); return b; }(),
         -1},
        {"header only", Config({}), -1},
        {"header cut short", Bytes{9, 2, 0xFF, 0xFF}, -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        PoolConfig c(k.bytes);
        EXPECT_EQ(c.OffsetOf(USBD_ParseConfigurationDescriptorEx(c.Config(), c.Config(), 1, -1, -1, 2, -1)),
                  k.expected);
        // The same bounds hold for a walk by type.
        if (k.bytes.size() >= 4) {
            USBD_ParseDescriptors(c.Config(), std::min<ULONG>(c.Config()->wTotalLength, k.bytes.size()), c.Config(),
                                  0x7F);
        }
    }
}

TEST(UsbdConfigurationRequestTest, LaysOutEveryInterfaceWithItsPipes)
{
    PoolConfig c(AudioFunction());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c.Config(), c.Config(), 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c.Config(), c.Config(), 1, 1, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(c.Config(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40u + 24u + 48u);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c.Config());
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, 24u);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), reinterpret_cast<UCHAR*>(urb) + 64);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1u);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1u);
    EXPECT_EQ(list[1].Interface->Length, 48u);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ULONG tag = 0;
    EXPECT_TRUE(platform::PoolQueryBlock(urb, &tag, nullptr, nullptr));
    EXPECT_EQ(tag, platform::USBD_LIBRARY_TAG);
    ExFreePool(urb);
}

TEST(UsbdConfigurationRequestTest, RefusesWhatItCannotBuildSafely)
{
    PoolConfig c(AudioFunction());
    UCHAR outside[9] = {9, 4, 0, 0, 0, 1, 1, 0, 0};
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    USBD_INTERFACE_LIST_ENTRY foreign[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(outside), nullptr}, {}};
    USBD_INTERFACE_LIST_ENTRY notInterface[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(c.At(18)), nullptr}, {}};
    USBD_INTERFACE_LIST_ENTRY tail[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(c.At(55)), nullptr}, {}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), foreign), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), notInterface), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), tail), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), nullptr), nullptr);

    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c.Config(), c.Config(), 1, 1, -1, -1, -1);
    platform::PoolFailNextWithTag(platform::USBD_LIBRARY_TAG);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
}

TEST(UsbdConfigurationRequestTest, ARequestBeyondSixteenBitsIsRefused)
{
    // 12 interfaces of 255 endpoints each need 12 * 6144 bytes: more than Hdr.Length can say.
    std::vector<Bytes> parts;
    for (UCHAR i = 0; i < 12; ++i) {
        parts.push_back(Interface(i, 0, 255, 0xFF, 0));
    }
    PoolConfig c(Config(parts));
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(13);
    for (UCHAR i = 0; i < 12; ++i) {
        list[i].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(c.At(9 + 9 * i));
    }
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.Config(), list.data()), nullptr);
    list[10].InterfaceDescriptor = nullptr;  // ten fit
    PURB urb = USBD_CreateConfigurationRequestEx(c.Config(), list.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 40u + 10u * (24u + 24u * 255u));
    ExFreePool(urb);
}

}  // namespace
