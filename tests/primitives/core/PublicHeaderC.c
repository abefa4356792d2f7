/* The public header compiled as C, calling the shared library as any outside program would. */
#include <stddef.h>

#include "primitives/Primitives.h"

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
    /* The slot operations are exported; a rejected code leaves slot 0 in place. */
    if (ForceDispatchIndex(CpuTypeSse2) != WarningUnknownCpuType || DispatchIndex != 0 ||
        ForceDispatchIndex(CpuTypeNone) != StatusOk || DetectCpuType() == CpuTypeCode20) {
        return 7;
    }
    return 0;
}
