// A format adapter as a wave stream holds it (zeroed non-paged memory, tag "CCST"), and the
// reference every converted stream is checked against: a fresh adapter's conversion of the whole
// input in one call.
#pragma once

#include <cstring>
#include <new>
#include <vector>

#include "dsp/DspInterleaveSrc.h"

namespace kvxtest {

class PoolAdapter {
public:
    PoolAdapter()
    {
        m_memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
        std::memset(m_memory, 0, sizeof(CDspInterleaveSrc));
        m_src = new (m_memory) CDspInterleaveSrc();
    }
    ~PoolAdapter()
    {
        m_src->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_memory, MakePoolTag("CCST"));
    }
    PoolAdapter(const PoolAdapter&) = delete;
    PoolAdapter& operator=(const PoolAdapter&) = delete;
    CDspInterleaveSrc* operator->() const { return m_src; }
    CDspInterleaveSrc* get() const { return m_src; }

private:
    PVOID m_memory;
    CDspInterleaveSrc* m_src;
};

// What a fresh adapter makes of `in` (InFormat frames) in one call with room for outFrames.
inline std::vector<UCHAR> OneCallConversion(const WaveFormatRecord& inFormat, const WaveFormatRecord& outFormat,
                                            const std::vector<UCHAR>& in, ULONG outFrames)
{
    PoolAdapter src;
    std::vector<UCHAR> out;
    if (!src->Init() || !src->SetFormat(&inFormat, &outFormat)) {
        return out;
    }
    out.resize(static_cast<size_t>(outFrames) * outFormat.Format.nBlockAlign);
    ULONG consumed = 0, produced = 0;
    if (!src->Process(in.data(), static_cast<ULONG>(in.size() / inFormat.Format.nBlockAlign), out.data(), outFrames,
                      &consumed, &produced)) {
        out.clear();
        return out;
    }
    out.resize(static_cast<size_t>(produced) * outFormat.Format.nBlockAlign);
    return out;
}

}  // namespace kvxtest
