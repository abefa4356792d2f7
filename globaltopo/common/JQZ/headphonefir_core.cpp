// HeadphoneEngineCore: the headphone FIR driven block by block.
#include <cstring>

#include "globaltopo/common/JQZ/headphoneenginecore.h"

HeadphoneEngineCore::HeadphoneEngineCore() : AudioApp(AUDIOAPP_PROCESSING_RATE, AUDIOAPP_BLOCK, 6, 2, 1.0f)
{
    // The FIR's state starts from zero; its Init counts on that (the owner's zeroing of the block
    // ends with the object's lifetime, so it is made again here).
    std::memset(static_cast<void*>(&m_Fir), 0, sizeof(m_Fir));
    m_Fir.Init();
    Configure(AUDIOAPP_PROCESSING_RATE, 6, 2);
}

HeadphoneEngineCore::~HeadphoneEngineCore()
{
    ReleaseBuffers();
    m_Fir.Release();
}

void HeadphoneEngineCore::ProcessBlock(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len)
{
    m_Fir.Process(out, nOut, in, nIn, len);
}

void HeadphoneEngineCore::Reset() { m_Fir.Reset(); }
