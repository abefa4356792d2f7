#include "tools/AsioCommand.h"

#include <cstring>
#include <iomanip>
#include <sstream>

#include "tools/Kvx.h"
#include "tools/StatusText.h"

namespace kvx {

int OpenAsio(host::AsioSession& client, AsioDeviceInfo* info, std::string* error)
{
    const NTSTATUS open = client.Open();
    if (open == STATUS_OBJECT_NAME_NOT_FOUND) {
        // The driver enables its ASIO interface only on a device with an ASIO endpoint.
        *error = "the device has no ASIO endpoint";
        return EXIT_USAGE;
    }
    if (!NT_SUCCESS(open)) {
        *error = "the device has no ASIO interface (" + StatusText(open) + ")";
        return EXIT_USAGE;
    }
    std::vector<int32_t> channels;
    const NTSTATUS status = client.GetLongs(host::asio::GET_CHANNELS, 4, &channels);
    if (!NT_SUCCESS(status) || channels[0] <= 0) {
        *error = "the device has no ASIO endpoint";
        return EXIT_USAGE;
    }
    info->Endpoints = channels[0];
    info->Outputs = channels[1];
    info->Inputs = channels[2];
    const host::AsioReply name = client.Control(host::asio::GET_DRIVER_NAME, nullptr, 0, 64);
    info->Name = NT_SUCCESS(name.Status) ? std::string(reinterpret_cast<const char*>(name.Output.data()),
                                                       strnlen(reinterpret_cast<const char*>(name.Output.data()), 64))
                                         : std::string("ASIO device");
    return EXIT_OK;
}

int SetAsioRate(host::AsioSession& client, const AsioDeviceInfo& info, uint32_t rate, std::string* error)
{
    if (!NT_SUCCESS(client.SetLong(host::asio::CAN_SAMPLE_RATE, static_cast<int32_t>(rate))) ||
        !NT_SUCCESS(client.SetLong(host::asio::SET_SAMPLE_RATE, static_cast<int32_t>(rate)))) {
        *error = std::to_string(rate) + " Hz is not a rate every ASIO endpoint of " + info.Name + " takes";
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

uint32_t AsioBufferFrames(host::AsioSession& client, const StreamOptions& options)
{
    if (options.BufferFrames != 0) return options.BufferFrames;
    std::vector<int32_t> sizes;  // minimum, maximum, preferred, granularity
    if (NT_SUCCESS(client.GetLongs(host::asio::GET_BUFFER_SIZE, 4, &sizes)) && sizes[2] > 0) {
        return static_cast<uint32_t>(sizes[2]);
    }
    return 256;
}

int32_t AsioSampleType(uint32_t bits)
{
    switch (bits) {
    case 16: return 16;
    case 24: return 17;
    case 32: return 18;
    default: return 0;
    }
}

bool AsioTypeBits(int32_t type, uint32_t* bits, uint32_t* container)
{
    switch (type) {
    case 16: *bits = 16; *container = 16; return true;
    case 17: *bits = 24; *container = 24; return true;
    case 18: *bits = 32; *container = 32; return true;
    case 24: *bits = 16; *container = 32; return true;
    case 25: *bits = 18; *container = 32; return true;
    case 26: *bits = 20; *container = 32; return true;
    case 27: *bits = 24; *container = 32; return true;
    default: return false;
    }
}

int32_t AsioChannelType(host::AsioSession& client, bool input)
{
    std::vector<uint8_t> info(52, 0);
    info[4] = input ? 1 : 0;  // channel 0, input or output
    const host::AsioReply reply = client.Control(host::asio::GET_CHANNEL_INFO, info, 52);
    int32_t type = 0;
    if (NT_SUCCESS(reply.Status) && reply.Output.size() >= 20) std::memcpy(&type, &reply.Output[16], 4);
    return type;
}

size_t AsioFirstBuffer(const std::vector<host::AsioBufferView*>& buffers, uint32_t direction)
{
    for (size_t i = 0; i < buffers.size(); ++i) {
        if (buffers[i] != nullptr && buffers[i]->Enable != 0 && buffers[i]->Direction == direction) return i;
    }
    return SIZE_MAX;
}

std::string AsioRingText(const host::AsioBufferView& ring, uint32_t frameBytes, uint32_t rate, uint32_t frames,
                         const host::AsioSession::StreamStats& stats)
{
    const uint32_t ringFrames = frameBytes != 0 ? ring.Size / frameBytes : 0;
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << "ring: " << ringFrames << " frames (" << ringFrames * 1000.0 / rate
         << " ms), buffers 2 x " << frames << " frames; late periods " << stats.LatePeriods << " of " << stats.Periods
         << "\n";
    return text.str();
}

std::string AsioOutputLatencyText(uint32_t leadFrames, uint32_t queuedFrames, uint32_t rate)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << "output latency: " << leadFrames + queuedFrames << " frames ("
         << (leadFrames + queuedFrames) * 1000.0 / rate << " ms): " << leadFrames
         << " written ahead of the host's clock, " << queuedFrames << " in the transfers queued\n";
    return text.str();
}

std::string AsioRoundTripText(const host::AsioSession::RoundTrip& trip, uint32_t rate, uint32_t frames)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << "round trip: " << trip.Frames << " frames ("
         << trip.Frames * 1000.0 / rate << " ms) with two buffers of " << frames << " frames (impulse out at frame "
         << trip.OutputFrame << ", in at frame " << trip.InputFrame << ")\n";
    return text.str();
}

}  // namespace kvx
