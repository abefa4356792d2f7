// What `kvx play --asio` and `kvx record --asio` share: the ASIO interface opened as a host
// would, the rate and sample type set, and the summary's lines on the rings and latencies.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "host/AsioSession.h"
#include "tools/StreamCommand.h"

namespace kvx {

struct AsioDeviceInfo {
    std::string Name;  // the driver's name for the device
    int32_t Endpoints = 0;
    int32_t Outputs = 0;  // channels
    int32_t Inputs = 0;
};

// Opens the device's ASIO interface and reads its name and channels. EXIT_OK, or EXIT_USAGE with
// a one-line *error when the device has no ASIO endpoint.
int OpenAsio(host::AsioSession& client, AsioDeviceInfo* info, std::string* error);
// Sets the rate every ASIO endpoint must take; EXIT_USAGE when some endpoint lacks it.
int SetAsioRate(host::AsioSession& client, const AsioDeviceInfo& info, uint32_t rate, std::string* error);
// The host's buffer: --buffer, else the driver's preferred size.
uint32_t AsioBufferFrames(host::AsioSession& client, const StreamOptions& options);
// The sample type of a width (16, 24 or 32 bits; 0 for another).
int32_t AsioSampleType(uint32_t bits);
// A PCM sample type's valid bits and container (16 -> 16 in 16, 27 -> 24 in 32, ...); false for
// another type.
bool AsioTypeBits(int32_t type, uint32_t* bits, uint32_t* container);
// The client's sample type as the driver reports it for channel 0 of the inputs (or outputs);
// 0 when it does not answer.
int32_t AsioChannelType(host::AsioSession& client, bool input);
// The first enabled buffer of a direction (0 output, 1 input); SIZE_MAX when none.
size_t AsioFirstBuffer(const std::vector<host::AsioBufferView*>& buffers, uint32_t direction);
// "ring: 1920 frames (40.0 ms), buffers 2 x 64 frames; late periods 0 of 5000".
std::string AsioRingText(const host::AsioBufferView& ring, uint32_t frameBytes, uint32_t rate, uint32_t frames,
                         const host::AsioSession::StreamStats& stats);
// "output latency: 224 frames (4.67 ms): 128 written ahead of the host's clock, 96 in the
// transfers queued".
std::string AsioOutputLatencyText(uint32_t leadFrames, uint32_t queuedFrames, uint32_t rate);
// "round trip: 272 frames (5.67 ms) with two buffers of 64 frames".
std::string AsioRoundTripText(const host::AsioSession::RoundTrip& trip, uint32_t rate, uint32_t frames);

}  // namespace kvx
