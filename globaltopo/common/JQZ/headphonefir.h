// HeadphoneFir (source file headphonefir): the headphone engine's convolution of up to eight
// loudspeaker channels into two ear signals at 44,100 Hz on blocks of 512 samples, by uniformly
// partitioned FFT convolution with a pair of head responses per loudspeaker and a shared pair of
// room tails, followed by the mid/side crosstalk-cancellation (CTC) stage. This is its data end:
// the response library and the selection of a set and angle code, the partition spectra, and the
// CTC stage; the convolution itself belongs to the engine.
//
// The owner allocates the object from non-paged pool (tag "JQZP"), zeroes it and runs Init at
// PASSIVE_LEVEL; Release frees what Init and SetCtcAngle obtained. Everything Process touches is
// inside the object, and ApplyCtc and LoadImpulseResponses allocate nothing, so both run at
// DISPATCH_LEVEL under the engine's serialisation.
//
// The engine's setters run outside that serialisation, on any processor, at the same time as a
// block. They only hand over:
// - SelectImpulseResponses publishes the set and angle code as one interlocked word and then
//   raises the switch-pending flag; LoadImpulseResponses (inside a block) clears the flag and then
//   reads the word, so a selection made meanwhile is loaded by the next block.
// - SetCtcAngle (PASSIVE_LEVEL) builds both filter states and hands them over by an interlocked
//   exchange; the next ApplyCtc installs them at the start of its block and marks the states it
//   used before as retired, and the next SetCtcAngle or Release destroys retired states. A block
//   therefore uses the old or the new states whole, never destroyed ones.
#pragma once

#include <cstdint>

#include "globaltopo/common/JQZ/headphonefir_tables.h"
#include "platform/nt/NtTypes.h"
#include "platform/nt/Pool.h"
#include "platform/nt/SyncMutex.h"
#include "primitives/Primitives.h"

constexpr int32_t ROOMSIZE_UNDEFINED = -1;
constexpr int32_t SPEAKERANGLE_UNDEFINED = -1;
constexpr int32_t CTCANGLE_UNDEFINED = -1;

constexpr int32_t HEADPHONEFIR_FFT_ORDER = 10;
constexpr int32_t HEADPHONEFIR_SPECTRUM = 2 * HEADPHONEFIR_N;  // floats of one packed spectrum
constexpr int32_t HEADPHONEFIR_HEAD_PARTITIONS = HEADPHONE_HEAD_LENGTH / HEADPHONEFIR_N;
constexpr int32_t HEADPHONEFIR_TAIL_PARTITIONS = HEADPHONE_MAX_TAIL_LENGTH / HEADPHONEFIR_N;
constexpr int32_t HEADPHONEFIR_MAX_INPUTS = 8;
constexpr int32_t HEADPHONEFIR_CTC_LINE = 768;
constexpr int32_t HEADPHONEFIR_CTC_FILTER = HEADPHONE_CTC_TAPS;  // filter length in filter mode
constexpr int32_t HEADPHONEFIR_CTC_BYPASS = 1;                   // filter length in bypass
constexpr ULONG HEADPHONEFIR_POOL_TAG = MakePoolTag("JQZP");
// The two channels a response switch crossfades through, made by Init.
constexpr ULONG HEADPHONEFIR_SWITCH_TAG = MakePoolTag("HFIR");

// Cuts ten head responses of headlen samples and two tail responses of tailen samples into
// 512-sample partitions and stores each as the packed spectrum of a 1,024-point forward real FFT of
// the partition followed by 512 zeros: head response r, partition p at headSpectra + (2r + p) *
// 1,024; tail response e, partition p at tailSpectra + (14e + p) * 1,024. Writes headlen / 512 and
// tailen / 512 to the counts that are not null. Only the ten-response layout is supported:
// STATUS_INVALID_PARAMETER, with nothing written, for another layout, for lengths that are not
// multiples of 512 or exceed two head or fourteen tail partitions, for a null table or spectra,
// and for a null FFT specification (whose transforms would leave raw samples in the spectra).
NTSTATUS PrepareImpulseResponses(const float* headTable, int32_t nhead, int32_t headlen, const float* tailTable,
                                 int32_t ntail, int32_t tailen, float* headSpectra, float* tailSpectra,
                                 int32_t* pHeadCount, int32_t* pTailCount, const FftSpec* spec, uint8_t* workBuffer);

class HeadphoneFir {
public:
    // Trivial: the owner's zeroing is the initial state (a constructor of its own would let the
    // compiler drop that zeroing as a store before the object's lifetime).
    HeadphoneFir() = default;

    // PASSIVE_LEVEL. Creates the FFT specification, clears the history, loads set 1 with angle
    // code 29 and puts the CTC stage in bypass with its two filter states installed at once.
    // STATUS_INSUFFICIENT_RESOURCES when the specification or a CTC state could not be obtained:
    // the object is then still consistent (HasFftSpec and HasCtcStates say what is missing; without
    // the specification no responses are loaded, and bypass needs no states) and Release frees
    // what was obtained.
    NTSTATUS Init();
    // Clears the input history, the accumulators, both indices and the CTC mid and side buffers.
    // Responses, CTC taps, states and lines are kept.
    void Reset();
    // PASSIVE_LEVEL, when no block runs: destroys the FFT specification and every CTC state.
    void Release();

    // Any IRQL. Maps the room code (0, 1, 2 to sets 3, 2, 1; anything else to set 2) and the
    // angle code (one of the nine, else 24), publishes both and raises the switch-pending flag.
    // Returns 1.
    int32_t SelectImpulseResponses(int32_t roomCode, int32_t angleCode);
    // DISPATCH_LEVEL inside a block, or from Init. Clears the switch-pending flag and rebuilds the
    // spectra for the published set and code. Returns 1.
    int32_t LoadImpulseResponses();
    bool IsSwitchPending() const;

    // PASSIVE_LEVEL. Angles 5, 10, 15, 20 and 30 filter with the table's 256-tap direct and cross
    // filters; any other angle (0 in particular) delays both ears by 255 samples. The same angle
    // again changes nothing (the histories go on); a new one hands over new states whose
    // histories start at zero. When a state cannot be created the current states, filter length
    // and angle stay and a later call tries again. Returns 1.
    int32_t SetCtcAngle(int32_t nCTCAngle);
    // One block of 512 samples, two channels in and out; out and in may be the same buffers.
    // Filter mode: out0 = d*L + x*R, out1 = x*L + d*R through the mid and side filters. Bypass:
    // each channel delayed by 255 samples. Calls with other channel counts or lengths, or null
    // buffers, do nothing.
    void ApplyCtc(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len);

    // One block at 44,100 Hz: the convolution of in (nIn of 2, 6 or 8 channels, len 512) into the
    // two ear signals out[0] and out[1]; a pending response switch is loaded and crossfaded from
    // the old responses to the new over this block; then the CTC stage. With eight inputs, in[4]
    // and in[5] receive the side/back fold. A call outside those counts or that length writes
    // silence to out (len samples, at most 512) and leaves the history alone. DISPATCH_LEVEL under the engine's serialisation; allocates nothing.
    void Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len);
    // The partitioned convolution of one block (Process without the switch and the CTC stage).
    // reuse: convolve the input history of the previous call again (through responses loaded
    // since), without taking new input.
    void Convolve(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len, bool reuse);

    bool HasFftSpec() const { return m_pFftSpec != nullptr; }
    bool HasCtcStates() const { return m_bHaveCtcStates != 0; }

private:
    // One pair of CTC filter states with its filter length, on its way from SetCtcAngle to
    // ApplyCtc. Three are enough: the installed one, one handed over and one being built (a retired
    // one is reclaimed before a new one is built).
    struct CtcStates {
        FirState* pMidFilter;
        FirState* pSideFilter;
        int32_t filterLength;
        LONG retired;  // set by ApplyCtc once it no longer uses these states
    };
    static constexpr int32_t CTC_SLOTS = 3;

    static LONG PackSelection(int32_t set, int32_t code) { return (set << 16) | code; }
    int32_t CtcTaps(int32_t angle);
    bool BuildCtcStates(int32_t angle, CtcStates* slot);
    static void DestroyCtcStates(CtcStates* slot);
    void ReclaimRetiredCtcStates();
    void InstallHandedOverCtcStates();

    // The response selection and the partitioned responses.
    int32_t m_nRoom;
    int32_t m_nAngle;
    CHAR m_bSwitchPending;
    int32_t m_nHeadCount;
    int32_t m_nTailCount;
    float m_HeadSpectra[HEADPHONE_HEAD_RESPONSES][HEADPHONEFIR_HEAD_PARTITIONS][HEADPHONEFIR_SPECTRUM];
    float m_TailSpectra[HEADPHONE_TAIL_RESPONSES][HEADPHONEFIR_TAIL_PARTITIONS][HEADPHONEFIR_SPECTRUM];

    // The CTC stage: angle (of the last hand-over), installed filter length, taps, this block's
    // mid and side signals.
    int32_t m_nCtcAngle;
    int32_t m_nCtcFilterLength;
    float m_CtcMidTaps[HEADPHONE_CTC_TAPS];
    float m_CtcSideTaps[HEADPHONE_CTC_TAPS];
    float m_CtcMidBuffer[HEADPHONEFIR_CTC_LINE];
    float m_CtcSideBuffer[HEADPHONEFIR_CTC_LINE];

    FftSpec* m_pFftSpec;
    uint8_t* m_pFftWork;  // always null: order 10 needs none

    // CTC output lines: the filtered mid and side signals, or the bypass delay lines.
    float m_CtcLeftLine[HEADPHONEFIR_CTC_LINE];
    float m_CtcRightLine[HEADPHONEFIR_CTC_LINE];
    float m_ProductScratch[2][HEADPHONEFIR_SPECTRUM];
    // The installed CTC states.
    FirState* m_pCtcMidFilter;
    FirState* m_pCtcSideFilter;

    // The convolution's history.
    float m_PreviousHalves[HEADPHONEFIR_MAX_INPUTS][HEADPHONEFIR_N];
    float m_HeadDelayLines[HEADPHONEFIR_MAX_INPUTS][HEADPHONEFIR_HEAD_PARTITIONS][HEADPHONEFIR_SPECTRUM];
    float m_TailDelayLine[HEADPHONEFIR_TAIL_PARTITIONS][HEADPHONEFIR_SPECTRUM];
    float m_Accumulators[2][HEADPHONEFIR_SPECTRUM];
    int32_t m_nHeadIndex;
    int32_t m_nTailIndex;

    // Hand-over between the setters and the block.
    LONG m_Selection;  // set << 16 | angle code, as published
    CtcStates m_CtcSlots[CTC_SLOTS];
    PVOID m_pCtcHandedOver;  // CtcStates*, exchanged
    CtcStates* m_pCtcInstalled;
    UCHAR m_CtcSlotInUse[CTC_SLOTS];  // the setters' own record: built and not yet destroyed
    UCHAR m_bHaveCtcStates;
    FAST_MUTEX m_CtcSetterLock;  // serialises SetCtcAngle and Release

    // The crossfade's two channels of 512 ("HFIR"); null when Init could not get them, and a
    // switch then plays the new responses at once.
    float* m_pSwitchScratch;

    friend struct HeadphoneFirInspector;
};
