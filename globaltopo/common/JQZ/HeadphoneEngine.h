// HeadphoneEngine: the control object of the headphone virtualisation. It owns the engine core,
// keeps a headphone parameter set (used while CTC mode is off) and a speaker set (used while it
// is on), turns room, angle and CTC-angle values into the core's codes, and renders each chunk:
// enabled, through the core (one block of latency); disabled, folded down to stereo.
//
// The owner makes it in a zeroed non-paged block ("QOLM") and runs the constructor there; the core
// is one non-paged block ("JQZP"). Construction, destruction, SetFormat and the setters at
// PASSIVE_LEVEL; the setters may run beside Process (selections are taken over at the next
// block), SetFormat only before streaming starts. Process at up to DISPATCH_LEVEL under the
// caller's lock; it allocates nothing.
//
// The core renders 2, 6 and 8 channels at device rates from 14,701 to 132,299 Hz (factor 1 or 2
// to 44,100 Hz). Other channel counts and rates, and an engine whose core or whose FIR's FFT or
// CTC states could not be made, are folded down as if disabled.
#pragma once

#include <cstdint>

#include "platform/ks/Ks.h"
#include "platform/nt/Pool.h"

class HeadphoneEngineCore;

constexpr ULONG HEADPHONE_ENGINE_TAG = MakePoolTag("QOLM");

// Folds nSrc source channels into nDst destination channels; dst and src may be the same buffers.
// One source: copied into dst[0]. Two: copied. Three to eight into two: the surround fold scaled
// by 1 / gain, from the channels present (four channels as the front and the back pair). More
// than eight into two: nothing. Otherwise channel by channel, the rest zero.
void DownMixToStereo(float* const* dst, int32_t nDst, const float* const* src, int32_t nSrc, int32_t len, float gain);
// left = (s0 + 0.707 s2 + s3 + s4 [+ s6]) / gain, right = (s1 + 0.707 s2 + s3 + s5 [+ s7]) / gain,
// with absent channels (nSrc of 3, 5 or 7) taken as 0; four channels: (s0 + s2) / gain and
// (s1 + s3) / gain. Every source value of a sample is read before its two outputs are written.
void DownMixSurroundToStereo(float* const* dst, const float* const* src, int32_t nSrc, int32_t len, float gain);

class HeadphoneEngine {
public:
    HeadphoneEngine();
    virtual ~HeadphoneEngine();

    // The angle code of an angle value (index 0 to 3, or 25, 30, 31, 35, 40) in variant 0 or 1; -1
    // for any other value.
    static int32_t GetAngleCode(int32_t variant, int32_t angle);
    // Index 0 to 4 to 5, 10, 15, 20, 30 degrees; any other value itself.
    static int32_t CtcAngleOfIndex(int32_t index);

    // Only nChannels and nSamplesPerSec are read. -1 (nothing changed) without a core; 1 when the
    // core was configured for the rate; 0 when it could not be (the engine then folds down).
    int32_t SetFormat(const WAVEFORMATEX* pFormat);
    // In place on the caller's channels (the format's count); stereo results in channels 0 and 1.
    void Process(float* const* ppChannels, int32_t frames);

    void SetEnable(int32_t value) { m_nEnable = value; }
    int32_t GetEnable() const { return m_nEnable; }
    void SetCtcMode(int32_t value);
    int32_t GetCtcMode() const { return m_nCtcMode; }
    void SetCtcAngle(int32_t index);
    int32_t GetCtcAngle() const { return m_nCtcAngle; }

    void SetHeadphoneRoom(int32_t value);
    void SetHeadphoneAngle(int32_t value);
    void SetHeadphoneAngleVariant(int32_t value);
    void SetSpeakerRoom(int32_t value);
    void SetSpeakerAngle(int32_t value);
    void SetSpeakerAngleVariant(int32_t value);
    int32_t GetHeadphoneRoom() const { return m_nHeadphoneRoom; }
    int32_t GetHeadphoneAngleVariant() const { return m_nHeadphoneAngleVariant; }
    int32_t GetSpeakerRoom() const { return m_nSpeakerRoom; }
    int32_t GetSpeakerAngle() const { return m_nSpeakerAngle; }
    int32_t GetSpeakerAngleVariant() const { return m_nSpeakerAngleVariant; }
    int32_t GetChannelCount() const { return m_nChannelCount; }

    bool HasCore() const { return m_pCore != nullptr; }
    HeadphoneEngineCore* Core() const { return m_pCore; }
    // The core takes the current format: Process renders through it when enabled.
    bool CanRender() const;

private:
    void SelectHeadphoneSet();
    void SelectSpeakerSet();

    HeadphoneEngineCore* m_pCore;
    int32_t m_nCtcMode;
    int32_t m_nEnable;
    int32_t m_nSpeakerRoom;
    int32_t m_nHeadphoneRoom;
    int32_t m_nSpeakerAngle;
    int32_t m_nHeadphoneAngle;
    int32_t m_nCtcAngle;
    int32_t m_nSpeakerAngleVariant;
    int32_t m_nHeadphoneAngleVariant;
    int32_t m_nChannelCount;
    int32_t m_bFormatTaken;  // the core was configured for the current format
};

// Makes an engine in a zeroed "QOLM" block; null when the block cannot be had. PASSIVE_LEVEL.
HeadphoneEngine* CreateHeadphoneEngine();
// Destroys it and frees its block. PASSIVE_LEVEL.
void DestroyHeadphoneEngine(HeadphoneEngine* pEngine);
