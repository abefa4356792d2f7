// The audio engine's pin calls: the port's host interface for the pin, the miniport's data-range
// intersection through the port for the format.
#include "host/AudioEnginePin.h"

#include <algorithm>
#include <cstring>

#include "platform/portcls/PortClsInternal.h"

namespace host {
namespace {

// A client range as the audio stack sends it: the audio range padded to 8 bytes.
struct ClientRange {
    KSDATARANGE_AUDIO Audio;
    ULONG Alignment;
};

// The port's subdevice interface with a reference, or null.
platform::IPcSubdevice* Subdevice(PUNKNOWN port)
{
    PVOID raw = nullptr;
    if (port == nullptr || !NT_SUCCESS(port->QueryInterface(platform::IID_IPcSubdevice, &raw))) return nullptr;
    return static_cast<platform::IPcSubdevice*>(raw);
}

const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG pinId)
{
    if (filter == nullptr || pinId >= filter->PinCount) return nullptr;
    const ULONG stride = filter->PinSize != 0 ? filter->PinSize : sizeof(PCPIN_DESCRIPTOR);
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter->Pins) +
                                                     static_cast<size_t>(pinId) * stride);
}

// The index of the range after range r: a range with KSDATARANGE_ATTRIBUTES is followed in the
// list by its attribute list, which is no range.
ULONG NextRange(const PCPIN_DESCRIPTOR* pin, ULONG r)
{
    const PKSDATARANGE range = pin->KsPinDescriptor.DataRanges[r];
    return r + (range != nullptr && (range->Flags & KSDATARANGE_ATTRIBUTES) != 0 ? 2 : 1);
}

// Intersects one exact candidate with each of the pin's ranges in turn.
NTSTATUS IntersectExact(platform::IPcSubdevice* subdevice, ULONG pinId, const AudioFormat& format,
                        std::vector<uint8_t>* result)
{
    const PCPIN_DESCRIPTOR* pin = PinDescriptor(subdevice->Descriptor(), pinId);
    IMiniport* miniport = subdevice->Miniport();
    if (pin == nullptr || miniport == nullptr) return STATUS_INVALID_DEVICE_STATE;
    ClientRange client{};
    client.Audio.DataRange.FormatSize = sizeof client;
    client.Audio.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    client.Audio.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    client.Audio.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    client.Audio.MaximumChannels = format.Channels;
    client.Audio.MinimumBitsPerSample = format.Bits;
    client.Audio.MaximumBitsPerSample = format.Bits;
    client.Audio.MinimumSampleFrequency = format.Rate;
    client.Audio.MaximumSampleFrequency = format.Rate;
    for (ULONG r = 0; r < pin->KsPinDescriptor.DataRangesCount; r = NextRange(pin, r)) {
        PKSDATARANGE mine = pin->KsPinDescriptor.DataRanges[r];
        if (mine == nullptr || !IsEqualGUID(mine->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) continue;
        ULONG length = 0;
        // The size first, as the port asks, then the format itself.
        NTSTATUS status = miniport->DataRangeIntersection(pinId, &client.Audio.DataRange, mine, 0, nullptr, &length);
        if (status != STATUS_BUFFER_OVERFLOW || length < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) continue;
        std::vector<uint8_t> bytes(length);
        status = miniport->DataRangeIntersection(pinId, &client.Audio.DataRange, mine, length, bytes.data(), &length);
        if (!NT_SUCCESS(status) || length > bytes.size()) continue;
        bytes.resize(length);
        WAVEFORMATEX wave;
        std::memcpy(&wave, bytes.data() + sizeof(KSDATAFORMAT), sizeof wave);
        if (wave.nSamplesPerSec != format.Rate || wave.nChannels != format.Channels) continue;
        if (result != nullptr) *result = std::move(bytes);
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

}  // namespace

bool EnginePin::StreamingPin(PUNKNOWN port, ULONG* pinId, bool* capture)
{
    platform::IPcSubdevice* subdevice = Subdevice(port);
    if (subdevice == nullptr) return false;
    const PCFILTER_DESCRIPTOR* filter = subdevice->Descriptor();
    bool found = false;
    for (ULONG id = 0; filter != nullptr && id < filter->PinCount && !found; ++id) {
        const PCPIN_DESCRIPTOR* pin = PinDescriptor(filter, id);
        if (pin->KsPinDescriptor.DataRangesCount == 0) continue;
        *pinId = id;
        *capture = pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
        found = true;
    }
    subdevice->Release();
    return found;
}

std::vector<AudioFormat> EnginePin::ListFormats(PUNKNOWN port, ULONG pinId)
{
    std::vector<AudioFormat> formats;
    platform::IPcSubdevice* subdevice = Subdevice(port);
    if (subdevice == nullptr) return formats;
    const PCPIN_DESCRIPTOR* pin = PinDescriptor(subdevice->Descriptor(), pinId);
    static constexpr ULONG RATES[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000,
                                      88200, 96000, 176400, 192000, 352800, 384000};
    static constexpr USHORT BITS[] = {8, 16, 20, 24, 32};
    for (ULONG r = 0; pin != nullptr && r < pin->KsPinDescriptor.DataRangesCount; r = NextRange(pin, r)) {
        PKSDATARANGE range = pin->KsPinDescriptor.DataRanges[r];
        if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE_AUDIO) ||
            !IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) {
            continue;
        }
        const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
        std::vector<ULONG> rates(std::begin(RATES), std::end(RATES));
        rates.push_back(audio->MinimumSampleFrequency);
        rates.push_back(audio->MaximumSampleFrequency);
        std::vector<USHORT> bits(std::begin(BITS), std::end(BITS));
        bits.push_back(static_cast<USHORT>(audio->MinimumBitsPerSample));
        bits.push_back(static_cast<USHORT>(audio->MaximumBitsPerSample));
        std::sort(rates.begin(), rates.end());
        rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
        std::sort(bits.begin(), bits.end());
        bits.erase(std::unique(bits.begin(), bits.end()), bits.end());
        for (ULONG rate : rates) {
            if (rate < audio->MinimumSampleFrequency || rate > audio->MaximumSampleFrequency) continue;
            for (USHORT b : bits) {
                if (b < audio->MinimumBitsPerSample || b > audio->MaximumBitsPerSample) continue;
                for (USHORT channels = 1; channels <= audio->MaximumChannels && channels <= 32; ++channels) {
                    std::vector<uint8_t> bytes;
                    AudioFormat candidate{rate, channels, b, 0};
                    if (!NT_SUCCESS(IntersectExact(subdevice, pinId, candidate, &bytes))) continue;
                    WAVEFORMATEXTENSIBLE wave{};
                    std::memcpy(&wave, bytes.data() + sizeof(KSDATAFORMAT),
                                std::min(sizeof wave, bytes.size() - sizeof(KSDATAFORMAT)));
                    candidate.Container = wave.Format.wBitsPerSample;
                    if (wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) candidate.Bits = wave.Samples.wValidBitsPerSample;
                    if (std::find(formats.begin(), formats.end(), candidate) == formats.end()) formats.push_back(candidate);
                }
            }
        }
    }
    subdevice->Release();
    return formats;
}

NTSTATUS EnginePin::Intersect(PUNKNOWN port, ULONG pinId, const AudioFormat& format, std::vector<uint8_t>* dataFormat)
{
    platform::IPcSubdevice* subdevice = Subdevice(port);
    if (subdevice == nullptr) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = IntersectExact(subdevice, pinId, format, dataFormat);
    subdevice->Release();
    return status;
}

NTSTATUS EnginePin::Create(PUNKNOWN port, ULONG pinId, const std::vector<uint8_t>& dataFormat)
{
    if (m_pin != nullptr) return STATUS_INVALID_DEVICE_STATE;
    return platform::PcCreateWavePin(port, pinId, dataFormat.data(), static_cast<ULONG>(dataFormat.size()), &m_pin);
}

NTSTATUS EnginePin::SetState(KSSTATE state)
{
    return m_pin != nullptr ? platform::PcWavePinSetState(m_pin, state) : STATUS_INVALID_DEVICE_STATE;
}

KSSTATE EnginePin::State() const { return m_pin != nullptr ? platform::PcWavePinGetState(m_pin) : KSSTATE_STOP; }

NTSTATUS EnginePin::Write(const void* data, ULONG bytes)
{
    return m_pin != nullptr ? platform::PcWavePinWrite(m_pin, data, bytes) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS EnginePin::Read(void* data, ULONG bytes, ULONG* read)
{
    return m_pin != nullptr ? platform::PcWavePinRead(m_pin, data, bytes, read) : STATUS_INVALID_DEVICE_STATE;
}

ULONG EnginePin::Queued() { return m_pin != nullptr ? platform::PcWavePinQueued(m_pin) : 0; }

NTSTATUS EnginePin::Position(ULONGLONG* playOffset, ULONGLONG* writeOffset)
{
    return m_pin != nullptr ? platform::PcWavePinGetPosition(m_pin, playOffset, writeOffset)
                            : STATUS_INVALID_DEVICE_STATE;
}

ULONG EnginePin::BufferSize() const
{
    PDMACHANNEL dma = m_pin != nullptr ? platform::PcWavePinDmaChannel(m_pin) : nullptr;
    return dma != nullptr ? dma->AllocatedBufferSize() : 0;
}

void EnginePin::Close()
{
    if (m_pin == nullptr) return;
    platform::PcWavePinClose(m_pin);
    m_pin = nullptr;
}

}  // namespace host
