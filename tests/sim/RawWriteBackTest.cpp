#include <gtest/gtest.h>

#include "sim/SimDevice.h"
#include "tests/platform/usb/BusFixture.h"

namespace {

using platform::usb::UsbTransferResult;
using Kind = UsbTransferResult::Kind;
using sim::Bytes;

Bytes Read(sim::SimDevice& d, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, length};
    Bytes buffer(length, 0xEE);
    const UsbTransferResult r = d.Control(s, buffer.data(), length);
    buffer.resize(r.Outcome == Kind::Done ? r.Length : 0);
    return buffer;
}

Kind Write(sim::SimDevice& d, uint8_t type, uint8_t request, uint16_t value, uint16_t index, Bytes data)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, static_cast<USHORT>(data.size())};
    return d.Control(s, data.data(), static_cast<ULONG>(data.size())).Outcome;
}

TEST(RawWriteBackTest, AVendorWriteReplacesTheMatchingReadsReply)
{
    const auto b = kvxtest::Uac1Device();
    sim::SimDevice d(b.DeviceDescriptor(), b.Configuration());
    d.AddRaw({{0xC1, 0x81, 0x00, 0x08, 0x00, 0x03, 2, 0}, {0x01, 0x03}, false});
    d.AddRaw({{0xC1, 0x86, 0x00, 0x08, 0x00, 0x03, 2, 0}, {}, true});

    EXPECT_EQ(Write(d, 0x41, 0x81, 0x0800, 0x0300, {0x02, 0x03}), Kind::Done);
    EXPECT_EQ(Read(d, 0xC1, 0x81, 0x0800, 0x0300, 2), (Bytes{0x02, 0x03}));
    // Another unit, a stalled answer or a write with no answer to replace: nothing is kept.
    EXPECT_EQ(Write(d, 0x41, 0x81, 0x0800, 0x0400, {0x05, 0x06}), Kind::Stall);
    EXPECT_EQ(Write(d, 0x41, 0x86, 0x0800, 0x0300, {0x05, 0x06}), Kind::Stall);
    EXPECT_EQ(Read(d, 0xC1, 0x86, 0x0800, 0x0300, 2), Bytes{});
    EXPECT_EQ(Read(d, 0xC1, 0x81, 0x0800, 0x0300, 2), (Bytes{0x02, 0x03}));
    // The raw answers a profile would save carry the written value.
    EXPECT_EQ(d.RawRequests()[0].Reply, (Bytes{0x02, 0x03}));
}

}  // namespace
