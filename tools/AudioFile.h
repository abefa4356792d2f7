// Audio files of `kvx play` and `kvx record`, through libsndfile: any file it reads (WAV, AIFF,
// FLAC, Ogg Vorbis, ...), read a block at a time, and WAV, FLAC and AIFF files written as the
// audio arrives.
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

struct sf_private_tag;  // libsndfile's SNDFILE

namespace kvx {

struct AudioFile {
    int Rate = 0;
    int Channels = 0;
    uint64_t Frames = 0;
    int Width = 0;  // bits of an integer file; 0 for a float file
    std::vector<int32_t> Samples;  // integer files: left-justified 32-bit, interleaved
    std::vector<double> Floats;    // float files: interleaved, full scale 1.0
};

// Reads a file a block at a time, never holding more than the block asked for, whatever its
// header claims. A file that ends before its header says plays what it holds: Shortfall() then
// says so.
class AudioReader {
public:
    AudioReader() = default;
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    // False with a one-line *error; *info gets rate, channels, width and the frames the header
    // claims (no samples).
    bool Open(const std::string& path, AudioFile* info, std::string* error);
    // Up to `frames` frames into block's Samples or Floats (resized to what was read); 0 at the end.
    size_t Read(size_t frames, AudioFile* block);
    uint64_t FramesRead() const { return m_read; }
    // Empty, or a line saying the file ended before its header said.
    std::string Shortfall() const;

private:
    struct ::sf_private_tag* m_file = nullptr;
    int m_channels = 0;
    int m_width = 0;
    uint64_t m_claimed = 0;
    uint64_t m_read = 0;
    std::string m_truncated;  // libsndfile's note of a data chunk shorter than its header
    static constexpr size_t FIRST_BLOCK_FRAMES = 4096;
    AudioFile m_first;  // the block Open read, handed out first
    uint64_t m_firstAt = ~uint64_t{0};
};

// The container formats `kvx record` writes, by the file's extension: ".wav", ".flac", ".aiff"
// or ".aif" (any case); 0 for another (libsndfile's SF_FORMAT_* major format otherwise).
int FormatForExtension(const std::string& path);

// Writes interleaved little-endian PCM as it arrives into a file of a major format from
// FormatForExtension: WAV (PCM, WAVE_FORMAT_EXTENSIBLE beyond 2 channels or 16 bits), FLAC (up
// to 24 bits) or AIFF.
class AudioWriter {
public:
    AudioWriter() = default;
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    // False with a one-line *error, e.g. a width the format does not hold. With fd >= 0 the
    // file is that descriptor (a FIFO's), which the writer then owns.
    bool Open(const std::string& path, int fd, int majorFormat, int rate, int channels, int bits, int container,
              std::string* error);
    bool Write(const uint8_t* pcm, size_t bytes, std::string* error);
    // Finishes the file (its header then gives the frames written).
    bool Close(std::string* error);
    uint64_t FramesWritten() const { return m_frames; }

private:
    struct ::sf_private_tag* m_file = nullptr;
    int m_channels = 0;
    int m_container = 0;
    uint64_t m_frames = 0;
    std::vector<int32_t> m_samples;
};

// The file's samples as little-endian PCM of `bits` valid bits in `container` bits, as above.
std::vector<uint8_t> ConvertToPcm(const AudioFile& file, int bits, int container);


// Sample `index` of little-endian PCM, sign-extended from `container` bits.
int32_t PcmSample(const uint8_t* pcm, size_t index, int container);

}  // namespace kvx
