// Test-only: one start of the USB device object over a simulated device whose configuration
// descriptor is arbitrary bytes: reading the descriptors, SELECT_CONFIGURATION, the bus interface
// and the function choice (and whatever the function's start reads). Shared by the libFuzzer
// target and the GoogleTest replay.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "sim/DescriptorBuilder.h"
#include "sim/SimDevice.h"
#include "tests/support/DeviceObjectHarness.h"
#include "usb/UsbAudioDevice.h"

namespace kvxfuzz {

// Configurations beyond this are cut by the device's wTotalLength field anyway.
constexpr size_t CONFIGURE_FUZZ_MAX_BYTES = 0x10000;

// Plugs a device answering `data` (up to a reply script) as its configuration, starts the device object on it and tears
// everything down again. Returns false when a promise broke: the stored configuration is longer
// than the bytes the device sent, or a request was left pending on the bus.
// Bytes after the last REPLY_MARKER of an input are a script of control replies (see AddReplies);
// an input without the marker is a configuration alone.
constexpr uint8_t REPLY_MARKER[4] = {'R', 'P', 'L', 'Y'};

// Bytes after a CHIP_MARKER in the configuration part (before any REPLY_MARKER) are the chip
// string at index 0x50, UTF-16LE; without the marker the string names no variant, so that a UAC1
// function goes on to its parsers.
constexpr uint8_t CHIP_MARKER[4] = {'C', 'H', 'I', 'P'};

// Each record: bmRequestType, bRequest, wValue (LE), wIndex (LE), length, then `length` reply
// bytes; length 0xFF is a stall (no bytes follow). A record cut by the end of the input is dropped.
inline void AddReplies(sim::SimDevice& device, const uint8_t* script, size_t size)
{
    size_t at = 0;
    while (size - at >= 7) {
        sim::RawRequest raw;
        std::memcpy(raw.Setup, script + at, 6);
        const uint8_t length = script[at + 6];
        at += 7;
        if (length == 0xFF) {
            raw.Stall = true;
        } else if (size - at >= length) {
            raw.Reply.assign(script + at, script + at + length);
            at += length;
        } else {
            return;
        }
        device.AddRaw(raw);
    }
}

inline bool RunConfigureOnce(const uint8_t* data, size_t size)
{
    if (size > CONFIGURE_FUZZ_MAX_BYTES) {
        return true;
    }
    size_t configurationSize = size;
    for (size_t i = size; i >= sizeof REPLY_MARKER; --i) {
        if (std::memcmp(data + i - sizeof REPLY_MARKER, REPLY_MARKER, sizeof REPLY_MARKER) == 0) {
            configurationSize = i - sizeof REPLY_MARKER;
            break;
        }
    }
    const size_t scriptStart = configurationSize;
    std::u16string chip = u"fuzz";
    for (size_t i = 0; i + sizeof CHIP_MARKER <= scriptStart; ++i) {
        if (std::memcmp(data + i, CHIP_MARKER, sizeof CHIP_MARKER) == 0) {
            chip.clear();
            for (size_t c = i + sizeof CHIP_MARKER; c + 1 < scriptStart; c += 2) {
                chip.push_back(static_cast<char16_t>(data[c] | (data[c + 1] << 8)));
            }
            configurationSize = i;
            break;
        }
    }
    const sim::DescriptorBuilder identity;
    auto device = std::make_unique<sim::SimDevice>(identity.DeviceDescriptor(),
                                                   sim::Bytes(data, data + configurationSize));
    if (scriptStart != size) {
        AddReplies(*device, data + scriptStart + sizeof REPLY_MARKER, size - scriptStart - sizeof REPLY_MARKER);
    }
    device->SetString(0x50, chip);
    kvxtest::DeviceObjectHarness harness;
    if (!harness.Plug(std::move(device))) {
        return true;
    }
    bool ok = true;
    harness.Start();
    if (harness.Fdo() != nullptr) {
        if (UsbAudioDevice* usb = harness.Usb()) {
            if (PUSB_CONFIGURATION_DESCRIPTOR stored = usb->GetConfigurationDescriptor()) {
                ok = ok && stored->wTotalLength <= configurationSize;
            }
        }
        harness.ReleaseDevice();
        ok = ok && harness.Bus()->PendingCount() == 0;
    }
    harness.Stop();
    return ok;
}

}  // namespace kvxfuzz
