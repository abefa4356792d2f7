/* The filtering entry points compiled as C, called through the shared library as any outside
 * program would: states in the caller's memory and in their own, on both filter paths. */
#include <math.h>
#include <stddef.h>
#include <stdlib.h>

#include "primitives/Primitives.h"

/* Returns 0 when every call behaves, else the number of the first failing check. */
int FilterPublicHeaderChecks(void)
{
    float taps[64];
    float impulse[512] = {1.0f};
    float out[1024];
    int32_t size = 0;
    uint8_t* buffer;
    FirState* state = NULL;
    FirState* owned = NULL;
    MultiRateFirState* multi = NULL;
    float line[6] = {0};
    int32_t index = 0;
    float y = 0.0f;
    int i;
    int result = 0;

    for (i = 0; i < 64; ++i) {
        taps[i] = (float)(i + 1) / 64.0f;
    }
    if (GetFirStateSize(20, &size) != StatusOk || size != 16912) {
        return 1;
    }
    buffer = (uint8_t*)malloc((size_t)size);
    if (buffer == NULL) {
        return 2;
    }
    /* Direct form: an impulse gives the taps back exactly. */
    if (InitFirState(&state, taps, 20, NULL, buffer) != StatusOk || FilterFir(impulse, out, 32, state) != StatusOk) {
        result = 3;
    }
    for (i = 0; result == 0 && i < 32; ++i) {
        if (out[i] != (i < 20 ? taps[i] : 0.0f)) {
            result = 4;
        }
    }
    free(buffer);
    if (result != 0) {
        return result;
    }

    /* Own memory, 64 taps: 512 samples take the FFT path. */
    if (CreateFirState(&owned, taps, 64, NULL) != StatusOk || FilterFir(impulse, out, 512, owned) != StatusOk) {
        return 5;
    }
    for (i = 0; i < 512; ++i) {
        if (fabsf(out[i] - (i < 64 ? taps[i] : 0.0f)) > 1e-5f) {
            result = 6;
        }
    }
    if (DestroyFirState(owned) != StatusOk || result != 0) {
        return result != 0 ? result : 7;
    }

    /* Twice the rate: the impulse response comes out at the raised rate. */
    if (GetMultiRateFirStateSize(8, 2, 1, &size) != StatusOk) {
        return 8;
    }
    buffer = (uint8_t*)malloc((size_t)size);
    if (buffer == NULL) {
        return 9;
    }
    if (InitMultiRateFirState(&multi, taps, 8, 2, 0, 1, 0, NULL, buffer) != StatusOk ||
        FilterFir(impulse, out, 8, (FirState*)multi) != StatusOk || out[0] != taps[0] || out[7] != taps[7] ||
        out[8] != 0.0f || DestroyFirState((FirState*)multi) != StatusOk) {
        result = 10;
    }
    free(buffer);
    if (result != 0) {
        return result;
    }

    if (FilterFirOneSample(1.0f, &y, taps, 3, line, &index) != StatusOk || y != taps[0] || index != 1) {
        return 11;
    }
    if (FilterFirOneSample(1.0f, &y, taps, 3, line, &(int32_t){3}) != StatusSamplePhaseError) {
        return 12;
    }
    return 0;
}
