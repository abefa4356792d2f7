// Host side (tests and the command-line tool; never included by driver code): every call the
// audio engine makes on a wave filter's pin, in one place. The pin is reached through the port's
// host interface today; moving to the filter's KS requests changes this file only.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/portcls/PortClsHost.h"

namespace host {

// One listed PCM format of a streaming pin.
struct AudioFormat {
    ULONG Rate = 0;
    USHORT Channels = 0;
    USHORT Bits = 0;       // valid bits per sample
    USHORT Container = 0;  // bits of the sample's container (8, 16, 24, 32)
    USHORT BlockAlign() const { return static_cast<USHORT>(Channels * (Container / 8)); }
    bool operator==(const AudioFormat&) const = default;
};

class EnginePin {
public:
    EnginePin() = default;
    ~EnginePin() { Close(); }
    EnginePin(const EnginePin&) = delete;
    EnginePin& operator=(const EnginePin&) = delete;

    // The wave filter's streaming pin: the first pin with data ranges; false when it has none.
    static bool StreamingPin(PUNKNOWN port, ULONG* pinId, bool* capture);
    // The PCM formats the pin takes, in the order its data ranges and the intersection give them:
    // every candidate is intersected on its own, so only formats the endpoint lists come back.
    static std::vector<AudioFormat> ListFormats(PUNKNOWN port, ULONG pinId);
    // Intersects the format with the pin's data ranges: the data format to create the pin with
    // (a KSDATAFORMAT and its WAVEFORMATEXTENSIBLE), or STATUS_NO_MATCH.
    static NTSTATUS Intersect(PUNKNOWN port, ULONG pinId, const AudioFormat& format, std::vector<uint8_t>* dataFormat);

    NTSTATUS Create(PUNKNOWN port, ULONG pinId, const std::vector<uint8_t>& dataFormat);
    bool IsOpen() const { return m_pin != nullptr; }
    // One state at a time, as the pin walks them.
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State() const;
    NTSTATUS Write(const void* data, ULONG bytes);
    NTSTATUS Read(void* data, ULONG bytes, ULONG* read);
    ULONG Queued();
    NTSTATUS Position(ULONGLONG* playOffset, ULONGLONG* writeOffset);
    // Bytes of the cyclic buffer (0 before the pin exists).
    ULONG BufferSize() const;
    // Walks the pin down to STOP and closes it; nothing when it is not open.
    void Close();

private:
    platform::PcWavePin* m_pin = nullptr;
};

}  // namespace host
