#include "tools/DriverConversion.h"

#include <cstring>
#include <new>

#include "dsp/DspInterleaveSrc.h"
#include "stream/DeviceFormatChoice.h"

namespace kvx {
namespace {

WaveFormatRecord Record(const host::AudioFormat& f)
{
    WaveFormatRecord r{};
    r.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    r.Format.nChannels = f.Channels;
    r.Format.nSamplesPerSec = f.Rate;
    r.Format.wBitsPerSample = f.Container;
    r.Format.nBlockAlign = f.BlockAlign();
    r.Format.nAvgBytesPerSec = f.Rate * f.BlockAlign();
    r.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    r.Samples.wValidBitsPerSample = f.Bits;
    r.dwChannelMask = DefaultChannelMask(f.Channels);
    r.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return r;
}

NTSTATUS ListAt(PVOID context, ULONG index, WaveFormatRecord* format)
{
    const auto* list = static_cast<const std::vector<host::AudioFormat>*>(context);
    if (index >= list->size()) return STATUS_INVALID_PARAMETER;
    *format = Record((*list)[index]);
    return STATUS_SUCCESS;
}

}  // namespace

bool DriverConverts(const host::AudioFormat& stream) { return AdapterTakesPcmFormat(Record(stream)); }

std::optional<host::AudioFormat> ConvertedDeviceFormat(const host::AudioFormat& stream,
                                                       const std::vector<host::AudioFormat>& deviceFormats)
{
    const WaveFormatRecord s = Record(stream);
    WaveFormatRecord d{};
    if (!NT_SUCCESS(ChooseConvertedFormat(&s, static_cast<ULONG>(deviceFormats.size()), ListAt,
                                          const_cast<std::vector<host::AudioFormat>*>(&deviceFormats), &d))) {
        return std::nullopt;
    }
    for (const host::AudioFormat& f : deviceFormats) {
        if (f.Rate == d.Format.nSamplesPerSec && f.Channels == d.Format.nChannels && f.Container == d.Format.wBitsPerSample &&
            f.Bits == d.Samples.wValidBitsPerSample) {
            return f;
        }
    }
    return std::nullopt;
}

std::vector<uint8_t> ConvertOnce(const host::AudioFormat& in, const host::AudioFormat& out,
                                 const std::vector<uint8_t>& data, uint64_t outFrames)
{
    // As the wave stream holds it: zeroed non-paged memory.
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
    std::vector<uint8_t> result;
    if (memory == nullptr) return result;
    std::memset(memory, 0, sizeof(CDspInterleaveSrc));
    auto* src = new (memory) CDspInterleaveSrc();
    const WaveFormatRecord inFormat = Record(in), outFormat = Record(out);
    if (src->Init() && src->SetFormat(&inFormat, &outFormat)) {
        result.resize(static_cast<size_t>(outFrames) * out.BlockAlign());
        ULONG consumed = 0, produced = 0;
        if (src->Process(data.data(), static_cast<ULONG>(data.size() / in.BlockAlign()), result.data(),
                         static_cast<ULONG>(outFrames), &consumed, &produced)) {
            result.resize(static_cast<size_t>(produced) * out.BlockAlign());
        } else {
            result.clear();
        }
    }
    src->~CDspInterleaveSrc();
    ExFreePoolWithTag(memory, MakePoolTag("CCST"));
    return result;
}

StreamConverter::~StreamConverter()
{
    if (m_src == nullptr) return;
    m_src->~CDspInterleaveSrc();
    ExFreePoolWithTag(m_src, MakePoolTag("CCST"));
}

bool StreamConverter::Start(const host::AudioFormat& in, const host::AudioFormat& out)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
    if (memory == nullptr) return false;
    std::memset(memory, 0, sizeof(CDspInterleaveSrc));
    m_src = new (memory) CDspInterleaveSrc();
    m_in = in;
    m_out = out;
    const WaveFormatRecord inFormat = Record(in), outFormat = Record(out);
    return m_src->Init() && m_src->SetFormat(&inFormat, &outFormat);
}

std::vector<uint8_t> StreamConverter::Push(const uint8_t* data, size_t bytes)
{
    std::vector<uint8_t> result;
    auto frames = static_cast<ULONG>(bytes / m_in.BlockAlign());
    while (frames != 0) {
        const ULONG room = static_cast<ULONG>(uint64_t{frames} * m_out.Rate / m_in.Rate + 64);
        const size_t at = result.size();
        result.resize(at + size_t{room} * m_out.BlockAlign());
        ULONG consumed = 0, produced = 0;
        if (!m_src->Process(data, frames, result.data() + at, room, &consumed, &produced)) {
            result.resize(at);
            break;
        }
        result.resize(at + size_t{produced} * m_out.BlockAlign());
        if (consumed == 0 && produced == 0) break;
        data += size_t{consumed} * m_in.BlockAlign();
        frames -= consumed;
    }
    return result;
}

}  // namespace kvx
