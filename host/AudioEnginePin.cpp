// The audio engine's pin calls as KS requests: the filter opened by name on the adapter's stack,
// the pin's ranges and the miniport's intersection through the filter's file object, the pin
// created relative to it, and a ring of client buffers sent as stream requests.
#include "host/AudioEnginePin.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/portcls/PortClsHost.h"

namespace host {
namespace {

// Capture: buffers of 10 ms, enough of them sent that a late turn of the engine's thread (up
// to 100 ms) finds room for what the device captured meanwhile.
constexpr ULONG CAPTURE_BUFFERS = 12;
// The size of a client range as the audio stack sends it: the audio range padded to 8 bytes.
// The miniport refuses shorter ranges.
constexpr ULONG CLIENT_RANGE_SIZE = 88;

std::vector<uint8_t> ClientRange(const AudioFormat& format)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = CLIENT_RANGE_SIZE;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = format.Channels;
    range.MinimumBitsPerSample = format.Bits;
    range.MaximumBitsPerSample = format.Bits;
    range.MinimumSampleFrequency = format.Rate;
    range.MaximumSampleFrequency = format.Rate;
    std::vector<uint8_t> bytes(CLIENT_RANGE_SIZE);
    std::memcpy(bytes.data(), &range, sizeof range);
    return bytes;
}

// The wave format behind a data format's KSDATAFORMAT (the part of a WAVEFORMATEXTENSIBLE the
// bytes hold, the rest zero); nothing when the bytes hold no WAVEFORMATEX.
std::optional<WAVEFORMATEXTENSIBLE> WaveOf(const std::vector<uint8_t>& dataFormat)
{
    if (dataFormat.size() < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return std::nullopt;
    WAVEFORMATEXTENSIBLE wave{};
    std::memcpy(&wave, dataFormat.data() + sizeof(KSDATAFORMAT),
                std::min(sizeof wave, dataFormat.size() - sizeof(KSDATAFORMAT)));
    return wave;
}

// One exact candidate intersected with the pin's ranges on the open filter: the data format
// when the miniport makes one of the candidate's rate and channels.
NTSTATUS IntersectOn(FilterBrowser& browser, PFILE_OBJECT filter, ULONG pinId, const AudioFormat& format,
                     std::vector<uint8_t>* dataFormat)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> bytes = KsPin::Intersect(browser, filter, pinId, {ClientRange(format)}, &status);
    if (!NT_SUCCESS(status)) return status;
    std::optional<WAVEFORMATEXTENSIBLE> wave = WaveOf(bytes);
    if (wave && wave->Format.nSamplesPerSec == format.Rate && wave->Format.nChannels != format.Channels &&
        wave->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && bytes.size() >= sizeof(KSDATAFORMAT) + sizeof *wave) {
        // The first range that meets the request answered with its own channel count (a
        // device's range at a rate it has). Another PCM range of the pin may cover the count:
        // the format is then proposed as the engine builds it from that range, and the pin's
        // creation is what accepts or refuses it.
        for (const std::vector<uint8_t>& range : KsPin::DataRanges(browser, filter, pinId)) {
            if (range.size() < sizeof(KSDATARANGE_AUDIO)) continue;
            KSDATARANGE_AUDIO audio;
            std::memcpy(&audio, range.data(), sizeof audio);
            if (!IsEqualGUID(audio.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) || audio.MaximumChannels < format.Channels ||
                format.Rate < audio.MinimumSampleFrequency || format.Rate > audio.MaximumSampleFrequency ||
                format.Bits < audio.MinimumBitsPerSample || format.Bits > audio.MaximumBitsPerSample) {
                continue;
            }
            wave->Format.nChannels = format.Channels;
            wave->Format.nBlockAlign = static_cast<WORD>(format.Channels * wave->Format.wBitsPerSample / 8);
            wave->Format.nAvgBytesPerSec = wave->Format.nBlockAlign * format.Rate;
            wave->dwChannelMask = 0;
            KSDATAFORMAT header;
            std::memcpy(&header, bytes.data(), sizeof header);
            header.SampleSize = wave->Format.nBlockAlign;
            std::memcpy(bytes.data(), &header, sizeof header);
            std::memcpy(bytes.data() + sizeof header, &*wave, sizeof *wave);
            break;
        }
    }
    if (!wave || wave->Format.nSamplesPerSec != format.Rate || wave->Format.nChannels != format.Channels) {
        return STATUS_NO_MATCH;
    }
    if (dataFormat != nullptr) *dataFormat = std::move(bytes);
    return STATUS_SUCCESS;
}

}  // namespace

bool EnginePin::StreamingPin(PDEVICE_OBJECT adapterDevice, std::u16string_view filter, ULONG* pinId, bool* capture)
{
    FilterBrowser browser(adapterDevice);
    const std::optional<FilterDescription> description = browser.Describe(filter);
    if (!description) return false;
    for (ULONG id = 0; id < description->Pins.size(); ++id) {
        const PinInfo& pin = description->Pins[id];
        if ((pin.Communication & KSPIN_COMMUNICATION_SINK) == 0 || pin.DataRangeCount == 0) continue;
        *pinId = id;
        *capture = pin.DataFlow == KSPIN_DATAFLOW_OUT;
        return true;
    }
    return false;
}

std::vector<AudioFormat> EnginePin::ListFormats(PDEVICE_OBJECT adapterDevice, std::u16string_view filterName,
                                                ULONG pinId)
{
    std::vector<AudioFormat> formats;
    FilterBrowser browser(adapterDevice);
    PFILE_OBJECT filter = browser.Open(filterName);
    if (filter == nullptr) return formats;
    static constexpr ULONG RATES[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000,
                                      88200, 96000, 176400, 192000, 352800, 384000};
    static constexpr USHORT BITS[] = {8, 16, 20, 24, 32};
    for (const std::vector<uint8_t>& range : KsPin::DataRanges(browser, filter, pinId)) {
        if (range.size() < sizeof(KSDATARANGE_AUDIO)) continue;
        KSDATARANGE_AUDIO audio;
        std::memcpy(&audio, range.data(), sizeof audio);
        if (!IsEqualGUID(audio.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) continue;
        // The usual rates and widths within the range, and the range's own bounds.
        std::vector<ULONG> rates(std::begin(RATES), std::end(RATES));
        rates.push_back(audio.MinimumSampleFrequency);
        rates.push_back(audio.MaximumSampleFrequency);
        std::vector<USHORT> bits(std::begin(BITS), std::end(BITS));
        bits.push_back(static_cast<USHORT>(audio.MinimumBitsPerSample));
        bits.push_back(static_cast<USHORT>(audio.MaximumBitsPerSample));
        std::sort(rates.begin(), rates.end());
        rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
        std::sort(bits.begin(), bits.end());
        bits.erase(std::unique(bits.begin(), bits.end()), bits.end());
        for (ULONG rate : rates) {
            if (rate < audio.MinimumSampleFrequency || rate > audio.MaximumSampleFrequency) continue;
            for (USHORT b : bits) {
                if (b < audio.MinimumBitsPerSample || b > audio.MaximumBitsPerSample) continue;
                for (USHORT channels = 1; channels <= audio.MaximumChannels && channels <= 32; ++channels) {
                    AudioFormat candidate{rate, channels, b, 0};
                    std::vector<uint8_t> bytes;
                    if (!NT_SUCCESS(IntersectOn(browser, filter, pinId, candidate, &bytes))) continue;
                    const WAVEFORMATEXTENSIBLE wave = *WaveOf(bytes);
                    candidate.Container = wave.Format.wBitsPerSample;
                    if (wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) candidate.Bits = wave.Samples.wValidBitsPerSample;
                    if (std::find(formats.begin(), formats.end(), candidate) == formats.end()) formats.push_back(candidate);
                }
            }
        }
    }
    browser.Close(filter);
    return formats;
}

NTSTATUS EnginePin::Intersect(PDEVICE_OBJECT adapterDevice, std::u16string_view filterName, ULONG pinId,
                              const AudioFormat& format, std::vector<uint8_t>* dataFormat)
{
    FilterBrowser browser(adapterDevice);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT filter = browser.Open(filterName, &status);
    if (filter == nullptr) return status;
    status = IntersectOn(browser, filter, pinId, format, dataFormat);
    browser.Close(filter);
    return status;
}

NTSTATUS EnginePin::Create(PDEVICE_OBJECT adapterDevice, std::u16string_view filterName, ULONG pinId,
                           const std::vector<uint8_t>& dataFormat)
{
    if (m_browser != nullptr) return STATUS_INVALID_DEVICE_STATE;
    const std::optional<WAVEFORMATEXTENSIBLE> wave = WaveOf(dataFormat);
    if (!wave || wave->Format.nBlockAlign == 0) return STATUS_INVALID_PARAMETER;
    auto browser = std::make_unique<FilterBrowser>(adapterDevice);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT filter = browser->Open(filterName, &status);
    if (filter == nullptr) return status;
    auto pin = std::make_unique<KsPin>(*browser);
    status = pin->Open(filter, pinId, dataFormat);
    if (!NT_SUCCESS(status)) {
        pin.reset();
        browser->Close(filter);
        return status;
    }
    // The pin's direction, as the filter reports it.
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN;
    status = browser->Get(filter, KsTarget::Pin(pinId), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow).Status;
    if (!NT_SUCCESS(status)) {
        pin.reset();
        browser->Close(filter);
        return status;
    }
    m_capture = flow == KSPIN_DATAFLOW_OUT;
    m_browser = std::move(browser);
    m_filter = filter;
    m_pin = std::move(pin);
    m_state = KSSTATE_STOP;
    m_failure = STATUS_SUCCESS;
    m_period = std::max<ULONG>(wave->Format.nBlockAlign, wave->Format.nSamplesPerSec / 100 * wave->Format.nBlockAlign);
    return STATUS_SUCCESS;
}

NTSTATUS EnginePin::SetState(KSSTATE state)
{
    if (!IsOpen()) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = m_pin->SetState(state);
    if (NT_SUCCESS(status)) {
        m_state = state;
    } else {
        // A failing step leaves the pin at the last level it reached.
        State();
    }
    return status;
}

KSSTATE EnginePin::State() const
{
    if (!IsOpen()) return KSSTATE_STOP;
    KSSTATE state = KSSTATE_STOP;
    if (NT_SUCCESS(m_pin->GetState(&state))) m_state = state;
    return m_state;
}

void EnginePin::Collect()
{
    // The pin completes its buffers in the order they were sent: the oldest one's event tells
    // whether there is anything to take back.
    if (m_sent.empty() || KeReadStateEvent(&m_sent.front()->Done) == 0) return;
    for (const KsPin::Completion& done : m_pin->Reap()) {
        if (m_sent.empty()) break;
        Buffer* buffer = m_sent.front();
        m_sent.pop_front();
        if (!NT_SUCCESS(done.Status) && done.Status != STATUS_CANCELLED && NT_SUCCESS(m_failure)) {
            m_failure = done.Status;
        }
        if (m_capture && done.Bytes != 0) {
            const ULONG n = std::min(done.Bytes, buffer->Length);
            m_captured.insert(m_captured.end(), buffer->Bytes.begin(), buffer->Bytes.begin() + n);
        }
        m_free.push_back(buffer);
    }
}

EnginePin::Buffer* EnginePin::FreeBuffer(ULONG bytes)
{
    Buffer* buffer = nullptr;
    if (!m_free.empty()) {
        buffer = m_free.back();
        m_free.pop_back();
    } else {
        m_buffers.push_back(std::make_unique<Buffer>());
        buffer = m_buffers.back().get();
        KeInitializeEvent(&buffer->Done, NotificationEvent, FALSE);
    }
    if (buffer->Bytes.size() < bytes) buffer->Bytes.resize(bytes);
    buffer->Length = bytes;
    return buffer;
}

NTSTATUS EnginePin::Send(Buffer* buffer)
{
    KeClearEvent(&buffer->Done);
    // The buffer stays in the ring, untouched, until the pin gives it back.
    m_sent.push_back(buffer);
    const NTSTATUS status = m_capture ? m_pin->Read(buffer->Bytes.data(), buffer->Length, &buffer->Done)
                                      : m_pin->Write(buffer->Bytes.data(), buffer->Length, &buffer->Done);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS EnginePin::Write(const void* data, ULONG bytes)
{
    if (!IsOpen()) return STATUS_INVALID_DEVICE_STATE;
    if (m_capture || (data == nullptr && bytes != 0)) return STATUS_INVALID_PARAMETER;
    Collect();
    if (!NT_SUCCESS(m_failure)) return m_failure;
    if (bytes == 0) return STATUS_SUCCESS;
    Buffer* buffer = FreeBuffer(bytes);
    std::memcpy(buffer->Bytes.data(), data, bytes);
    return Send(buffer);
}

NTSTATUS EnginePin::Read(void* data, ULONG bytes, ULONG* read)
{
    if (read != nullptr) *read = 0;
    if (!IsOpen()) return STATUS_INVALID_DEVICE_STATE;
    if (!m_capture || read == nullptr || (data == nullptr && bytes != 0)) return STATUS_INVALID_PARAMETER;
    Collect();
    if (!NT_SUCCESS(m_failure)) return m_failure;
    // Keep the ring's buffers with the pin.
    while (m_sent.size() < CAPTURE_BUFFERS) {
        const NTSTATUS status = Send(FreeBuffer(m_period));
        if (!NT_SUCCESS(status)) return status;
    }
    const size_t n = std::min<size_t>(bytes, m_captured.size() - m_readAt);
    if (n != 0) std::memcpy(data, m_captured.data() + m_readAt, n);
    m_readAt += n;
    if (m_readAt == m_captured.size()) {
        m_captured.clear();
        m_readAt = 0;
    }
    *read = static_cast<ULONG>(n);
    return STATUS_SUCCESS;
}

ULONG EnginePin::Queued()
{
    if (!IsOpen()) return 0;
    Collect();
    if (m_capture) return static_cast<ULONG>(m_captured.size() - m_readAt);
    uint64_t bytes = 0;
    for (const Buffer* buffer : m_sent) bytes += buffer->Length;
    return static_cast<ULONG>(std::min<uint64_t>(bytes, ULONG_MAX));
}

NTSTATUS EnginePin::Position(ULONGLONG* playOffset, ULONGLONG* writeOffset)
{
    if (!IsOpen()) return STATUS_INVALID_DEVICE_STATE;
    KSAUDIO_POSITION position{};
    const NTSTATUS status = m_pin->GetPosition(&position);
    if (!NT_SUCCESS(status)) return status;
    *playOffset = position.PlayOffset;
    *writeOffset = position.WriteOffset;
    return STATUS_SUCCESS;
}

ULONG EnginePin::BufferSize() const
{
    platform::PcWavePin* instance = IsOpen() ? platform::PcWavePinOfFile(m_pin->File()) : nullptr;
    PDMACHANNEL dma = instance != nullptr ? platform::PcWavePinDmaChannel(instance) : nullptr;
    return dma != nullptr ? dma->AllocatedBufferSize() : 0;
}

void EnginePin::Close()
{
    if (m_browser == nullptr) return;
    // The port stops the pin and completes every buffer it holds; only then do they go.
    if (m_pin != nullptr) m_pin->Close();
    m_pin.reset();
    m_browser->Close(m_filter);
    m_filter = nullptr;
    m_browser.reset();
    m_sent.clear();
    m_free.clear();
    m_buffers.clear();
    m_captured.clear();
    m_readAt = 0;
    m_state = KSSTATE_STOP;
}

}  // namespace host
