// SimpleSampleDelay: the block delay line of the split-band option.
#include "globaltopo/common/JQZ/SimpleSampleDelay.h"

#include <cstring>

#include "globaltopo/common/JQZ/JqzPool.h"

SimpleSampleDelay::SimpleSampleDelay(int32_t delay, int32_t bufSize)
    : m_bValid(0), m_nBufSize(bufSize), m_pLine(nullptr), m_nDelay(delay)
{
    if (delay < 0 || bufSize < 0) {
        return;
    }
    m_pLine = static_cast<float*>(AllocateJqzBlock((static_cast<SIZE_T>(delay) + bufSize) * sizeof(float) + 1));
    m_bValid = m_pLine != nullptr ? 1 : 0;
}

int32_t SimpleSampleDelay::Push(const float* data, int32_t size)
{
    if (m_bValid == 0 || data == nullptr || size < 0 || size > m_nBufSize) {
        return 0;
    }
    std::memmove(m_pLine, m_pLine + size, static_cast<size_t>(m_nDelay) * sizeof(float));
    std::memcpy(m_pLine + m_nDelay, data, static_cast<size_t>(size) * sizeof(float));
    return size;
}

void SimpleSampleDelay::Release()
{
    FreeJqzBlock(m_pLine);
    m_pLine = nullptr;
    m_bValid = 0;
}
