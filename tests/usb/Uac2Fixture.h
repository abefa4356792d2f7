// Test-only: the device object started on a simulated UAC2 device, from a shipped profile or a
// configuration the test writes descriptor by descriptor (UAC 2.0 layouts, bLength computed).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/PoolHost.h"
#include "sim/Profile.h"
#include "tests/usb/DeviceStartFixture.h"
#include "usb/Uac2Function.h"

namespace kvxtest {

namespace uac2 {

using sim::Bytes;

inline Bytes Sized(Bytes d)
{
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}
inline void Le32(Bytes& d, uint32_t v)
{
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline Bytes Clock(uint8_t id) { return Sized({0, 0x24, 0x0A, id, 0x03, 0x07, 0, 0}); }
inline Bytes InputTerminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels = 2)
{
    Bytes d = {0, 0x24, 0x02, id, static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8), 0, clock, channels};
    Le32(d, 0x3);
    for (uint8_t b : {0, 0, 0, 0}) d.push_back(b);  // iChannelNames, bmControls, iTerminal
    return Sized(d);
}
inline Bytes OutputTerminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock)
{
    return Sized({0, 0x24, 0x03, id, static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8), 0, source, clock, 0,
                  0, 0});
}
// Master mute only.
inline Bytes Feature(uint8_t id, uint8_t source)
{
    Bytes d = {0, 0x24, 0x06, id, source};
    Le32(d, 0x3);
    d.push_back(0);
    return Sized(d);
}
inline Bytes Mixer(uint8_t id, std::vector<uint8_t> sources)
{
    Bytes d = {0, 0x24, 0x04, id, static_cast<uint8_t>(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(2);
    Le32(d, 0x3);
    for (uint8_t b : {0, 0, 0, 0}) d.push_back(b);  // iChannelNames, bmMixerControls, bmControls, iMixer
    return Sized(d);
}
inline Bytes Extension(uint8_t id, std::vector<uint8_t> sources)
{
    Bytes d = {0, 0x24, 0x09, id, 0x34, 0x12, static_cast<uint8_t>(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(2);
    Le32(d, 0x3);
    for (uint8_t b : {0, 0, 0}) d.push_back(b);
    return Sized(d);
}
inline Bytes AsGeneral(uint8_t link, uint8_t formatType, uint32_t formats, uint8_t channels, uint32_t config)
{
    Bytes d = {0, 0x24, 0x01, link, 0, formatType};
    Le32(d, formats);
    d.push_back(channels);
    Le32(d, config);
    d.push_back(0);
    return Sized(d);
}
inline Bytes FormatType(uint8_t type, uint8_t subslot, uint8_t bits) { return Sized({0, 0x24, 0x02, type, subslot, bits}); }
inline Bytes Cut(Bytes d, size_t length)
{
    d.resize(length);
    return Sized(d);
}

// A UAC2 device of the AudioControl descriptors `control` (after the header, then a 6-byte
// interrupt IN pipe) and one AudioStreaming interface 1 whose setting 1 holds `streaming`, with a
// data endpoint of `dataEndpoint` and a feedback endpoint.
inline sim::DescriptorBuilder Device(const std::vector<Bytes>& control, const std::vector<Bytes>& streaming,
                                     uint8_t dataEndpoint = 0x01)
{
    sim::DescriptorBuilder b({0x1234, 0x5799, 0x0100, 0x0200, 1, 2, 0});
    b.InterfaceAssociation(0, 2).AudioControl(0, 0x20, {1}, 0x04);
    for (const Bytes& d : control) b.Raw(d);
    b.Endpoint(0x83, 0x03, 6, 4, false);
    b.AudioStreaming(1, 0, 0x20).AudioStreaming(1, 1, 0x20);
    for (const Bytes& d : streaming) b.Raw(d);
    b.Endpoint(dataEndpoint, 0x05, 200, 1, false).Uac2AsEndpoint().Endpoint(0x81, 0x11, 4, 4, false);
    return b;
}

// Clock 10; streaming terminal 1 -> feature unit 2 -> speaker 3.
inline std::vector<Bytes> RenderPath()
{
    return {Clock(10), InputTerminal(1, 0x0101, 10), Feature(2, 1), OutputTerminal(3, 0x0301, 2, 10)};
}
// 16-bit stereo PCM on terminal 1.
inline std::vector<Bytes> PcmStream(uint8_t link = 1)
{
    return {AsGeneral(link, 1, 0x1, 2, 0x3), FormatType(1, 2, 16)};
}

}  // namespace uac2

class Uac2Fixture : public DeviceStartFixture {
protected:
    // The adapter stops the function before it lets go of the device: the status thread ends.
    void TearDown() override
    {
        StopDeviceObject(true);
        DeviceStartFixture::TearDown();
    }
    void PlugBuilt(const sim::DescriptorBuilder& builder, std::vector<uint32_t> rates = {44100, 48000, 96000})
    {
        Plug(builder, true);
        m_device->SetClockRates(10, std::move(rates));
    }
    // StartDeviceObject with the n-th pool allocation from the device object's creation on failing.
    NTSTATUS StartFailingAllocation(uint64_t n)
    {
        DeviceObjectOptions options;
        options.FailNthAllocation = n;
        return StartDeviceObject(options);
    }
    Uac2Function* Function() { return static_cast<Uac2Function*>(m_usb->FunctionAudioHal()); }
    NTSTATUS StartFunction() { return static_cast<IAudioHal*>(m_usb)->Start(); }
    NTSTATUS StopFunction() { return static_cast<IAudioHal*>(m_usb)->Stop(); }
    std::vector<WaveFormatRecord> Formats(ULONG endpoint)
    {
        std::vector<WaveFormatRecord> out;
        StreamEngine* e = nullptr;
        if (!NT_SUCCESS(Function()->GetEndpoint(endpoint, &e))) {
            return out;
        }
        for (ULONG i = 0; i < e->GetFormatCount(); ++i) {
            WaveFormatRecord r{};
            EXPECT_EQ(e->GetFormat(i, &r), STATUS_SUCCESS);
            out.push_back(r);
        }
        return out;
    }
    size_t CountRequests(uint8_t type, uint8_t request, uint16_t value, uint16_t index)
    {
        size_t n = 0;
        for (const auto& entry : m_device->Log()) {
            n += entry.What == sim::RequestLogEntry::Kind::Control && entry.Setup.bmRequestType == type &&
                         entry.Setup.bRequest == request && entry.Setup.wValue == value && entry.Setup.wIndex == index
                     ? 1
                     : 0;
        }
        return n;
    }
    size_t Reads(uint8_t endpoint)
    {
        size_t n = 0;
        for (const auto& entry : m_device->Log()) {
            n += entry.What == sim::RequestLogEntry::Kind::BulkOrInterrupt && entry.Endpoint == endpoint ? 1 : 0;
        }
        return n;
    }
};

}  // namespace kvxtest
