// Coefficient tables of the sample-rate stages, made by tools/tablegen at build time. Taps are in
// the order the filter primitives expect: tap 0 weights the newest input sample.
#pragma once

constexpr int SRC_X2_TAPS = 66;
constexpr int SRC_X4_TAPS = 132;
// The 160/147 stage: one row of taps per polyphase phase, row-major (row p at p * taps).
constexpr int SRC_44K48K_UP_PHASES = 160;
constexpr int SRC_44K48K_UP_TAPS = 20;
constexpr int SRC_44K48K_DOWN_PHASES = 147;
constexpr int SRC_44K48K_DOWN_TAPS = 24;

// Symmetric low-pass filters summing to 1.001: flat to 0.2 (x2) or 0.1 (x4) of the higher rate.
extern const float SrcX2Taps[SRC_X2_TAPS];
extern const float SrcX4Taps[SRC_X4_TAPS];
// Row p interpolates 10 - p/160 input samples back; row 0 is the exact delay of 10 samples.
extern const float Src44k48kUpTaps[SRC_44K48K_UP_PHASES * SRC_44K48K_UP_TAPS];
// Row p sits 1600/147 - p/147 input samples back; taps 22 and 23 of every row are 0.
extern const float Src44k48kDownTaps[SRC_44K48K_DOWN_PHASES * SRC_44K48K_DOWN_TAPS];
