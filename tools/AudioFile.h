// Audio files of `kvx play` and `kvx record`, through libsndfile: any file it reads (WAV, AIFF,
// FLAC, Ogg Vorbis, ...), and WAV files written.
//
// Width conversion, without dither:
//   integer files are read as 32-bit integers (exact: the sample in the top bits); narrowing to
//   the endpoint's width rounds to nearest, halves up, and clips at positive full scale;
//   widening is exact;
//   float files (float, double, lossy codecs) are read as doubles: x * 2^(bits-1), rounded to
//   nearest (halves away from zero) and clipped to [-2^(bits-1), 2^(bits-1) - 1].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

struct AudioFile {
    int Rate = 0;
    int Channels = 0;
    uint64_t Frames = 0;
    int Width = 0;  // bits of an integer file; 0 for a float file
    std::vector<int32_t> Samples;  // integer files: left-justified 32-bit, interleaved
    std::vector<double> Floats;    // float files: interleaved, full scale 1.0
};

// False with a one-line *error (libsndfile's own text where it refuses the file).
bool ReadAudioFile(const std::string& path, AudioFile* file, std::string* error);

// The file's samples as little-endian PCM of `bits` valid bits in `container` bits, as above.
std::vector<uint8_t> ConvertToPcm(const AudioFile& file, int bits, int container);

// Writes interleaved little-endian PCM (`container` bits per sample, `bits` valid) as a WAV
// file: PCM 16/24/32, WAVE_FORMAT_EXTENSIBLE beyond 2 channels or 16 bits.
bool WriteWavFile(const std::string& path, const std::vector<uint8_t>& pcm, int rate, int channels, int bits,
                  int container, std::string* error);

// Sample `index` of little-endian PCM, sign-extended from `container` bits.
int32_t PcmSample(const uint8_t* pcm, size_t index, int container);

}  // namespace kvx
