/* The public header compiled as C, calling the shared library as any outside program would. */
#include <stddef.h>

#include "primitives/Primitives.h"

/* An IIR state in the caller's memory and one created by the library: y = x/6 + ... answers a
 * unit impulse with 1/6, 1/2, 4/9. */
static int IirChecks(void)
{
    static const float taps[8] = {1.0f / 6, 0.5f, 0.5f, 1.0f / 6, 1.0f, -0.0f, 1.0f / 3, -0.0f};
    float impulse[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    float out[4];
    unsigned char buffer[160];
    int32_t size = 0;
    IirState* state = NULL;

    if (GetIirStateSize(3, &size) != StatusOk || size != 160) {
        return 1;
    }
    if (InitIirState(&state, taps, 3, NULL, buffer) != StatusOk || state == NULL) {
        return 2;
    }
    if (FilterIir(impulse, out, 4, state) != StatusOk || out[0] != 1.0f / 6 || out[1] != 0.5f) {
        return 3;
    }
    state = NULL;
    if (CreateIirState(&state, taps, 3, NULL) != StatusOk ||
        FilterIirInPlace(impulse, 4, state) != StatusOk || impulse[2] != out[2] ||
        DestroyIirState(state) != StatusOk) {
        return 4;
    }
    return 0;
}

/* A complex FFT created by the library and one in the caller's memory: the impulse gives ones. */
static int ComplexFftChecks(void)
{
    float data[8] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    unsigned char memory[512];
    int32_t specBytes = 0, initBytes = 0, workBytes = 0;
    FftSpec* spec = NULL;
    int i;

    if (CreateComplexFft(&spec, 2, 8, 0) != StatusOk || ForwardComplexFft(data, data, spec, NULL) != StatusOk ||
        DestroyComplexFft(spec) != StatusOk) {
        return 1;
    }
    for (i = 0; i < 4; ++i) {
        if (data[2 * i] != 1.0f || data[2 * i + 1] != 0.0f) {
            return 2;
        }
    }
    if (GetComplexFftSize(4, 1, 0, &specBytes, &initBytes, &workBytes) != StatusOk || specBytes > 512 ||
        InitComplexFftSpec(&spec, 4, 1, 0, memory, NULL) != StatusOk || DestroyComplexFft(spec) != StatusOk) {
        return 3;
    }
    if (GetRealFftSize(4, 8, 0, &specBytes, &initBytes, &workBytes) != StatusOk || specBytes > 512 ||
        InitRealFftSpec(&spec, 4, 8, 0, memory, NULL) != StatusOk || DestroyRealFft(spec) != StatusOk) {
        return 4;
    }
    return 0;
}

/* Size, initialisation in the caller's memory and transform in every slot this processor runs: the
 * specification functions follow the slot as the transforms do. An impulse gives ones. */
static int SlotFftChecks(void)
{
    static const CpuTypeCode codes[4] = {CpuTypeNone, CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41};
    unsigned char memory[1024];
    float data[32];
    int32_t specBytes = 0, initBytes = 0, workBytes = 0;
    FftSpec* spec = NULL;
    int32_t best, slot;
    int i;

    InitDispatchIndex();
    best = DispatchIndex;
    for (slot = 0; slot <= best && slot < 4; ++slot) {
        if (ForceDispatchIndex(codes[slot]) != StatusOk || DispatchIndex != slot) {
            return 1;
        }
        if (GetRealFftSize(5, 8, 0, &specBytes, &initBytes, &workBytes) != StatusOk || specBytes > 1024 ||
            workBytes != (slot == 0 ? 0 : 160)) {
            return 2;
        }
        if (InitRealFftSpec(&spec, 5, 8, 0, memory, NULL) != StatusOk) {
            return 3;
        }
        for (i = 0; i < 32; ++i) {
            data[i] = i == 0 ? 1.0f : 0.0f;
        }
        if (ForwardRealFftInPlace(data, spec, NULL) != StatusOk || DestroyRealFft(spec) != StatusOk) {
            return 4;
        }
        for (i = 0; i < 32; ++i) {
            if (data[i] != ((i < 2 || i % 2 == 0) ? 1.0f : 0.0f)) {
                return 5;
            }
        }
    }
    return ForceDispatchIndex(CpuTypeNone) == StatusOk ? 0 : 6;
}

/* Returns 0 when every call behaves, else the number of the first failing check. */
int PublicHeaderChecks(void)
{
    float samples[8] = {1.0f, -1.0f, 0.5f, 0.25f, 0.0f, -0.5f, 0.75f, 2.0f};
    int16_t pcm[8];
    float back[8];
    float tens[8] = {10.0f, 10.0f, 10.0f, 10.0f, 10.0f, 10.0f, 10.0f, 10.0f};
    float levels[8] = {0.0f, 1.0f, 2.0f, -1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    float gains[8];
    const float* channels[2] = {samples, tens};
    float interleaved[16];

    if (DispatchIndex != 0) {
        return 1;
    }
    if (ConvertFloatToInt16(samples, pcm, 8, RoundTowardZero, -15) != StatusOk || pcm[0] != 32767 ||
        pcm[1] != -32768 || pcm[2] != 16384) {
        return 2;
    }
    if (ConvertInt16ToFloat(pcm, back, 8, 15) != StatusOk || back[2] != 0.5f) {
        return 3;
    }
    if (RaiseToPower(tens, levels, gains, 8) != StatusOk || gains[0] != 1.0f || gains[2] != 100.0f) {
        return 4;
    }
    if (InterleaveChannels(channels, 2, 8, interleaved) < 0 || interleaved[1] != 10.0f || interleaved[2] != -1.0f) {
        return 5;
    }
    if (ZeroFloat(NULL, 0) != StatusNullPointer || CopyFloat(samples, back, 0) != StatusSizeError) {
        return 6;
    }
    if (IirChecks() != 0) {
        return 7;
    }
    if (ComplexFftChecks() != 0) {
        return 8;
    }
    /* The slot operations are exported; a rejected code leaves slot 0 in place. */
    if (ForceDispatchIndex(CpuTypeSse2) != WarningUnknownCpuType || DispatchIndex != 0 ||
        ForceDispatchIndex(CpuTypeNone) != StatusOk || DetectCpuType() == CpuTypeCode20) {
        return 9;
    }
    if (SlotFftChecks() != 0) {
        return 10;
    }
    return 0;
}
