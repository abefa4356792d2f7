#include "tools/AudioFile.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kvx {
namespace {

// Bits of an integer encoding; 0 for one read as float.
int IntegerWidth(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return 8;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_DWVW_16: return 16;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_DWVW_24: return 24;
    case SF_FORMAT_PCM_32: return 32;
    default: return 0;
    }
}

// libsndfile plays what a file holds and notes in its log where the header promises more data
// than the file has ("data : 4800 (should be 956)"): such a file is refused as truncated.
bool TruncatedData(SNDFILE* sf, std::string* error)
{
    char log[8192] = {};
    sf_command(sf, SFC_GET_LOG_INFO, log, sizeof log);
    for (const char* line = log; line != nullptr && *line != '\0';) {
        unsigned long long promised = 0, held = 0;
        if (std::sscanf(line, "data : %llu (should be %llu)", &promised, &held) == 2 && held < promised) {
            *error = "truncated data: the header gives " + std::to_string(promised) + " bytes of audio, the file holds " +
                     std::to_string(held);
            return true;
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    return false;
}

void PutLe(std::vector<uint8_t>& out, size_t at, int32_t value, int bytes)
{
    for (int b = 0; b < bytes; ++b) out[at + b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b));
}

}  // namespace


std::vector<uint8_t> ConvertToPcm(const AudioFile& file, int bits, int container)
{
    const int bytes = container / 8;
    const size_t count = file.Width != 0 ? file.Samples.size() : file.Floats.size();
    std::vector<uint8_t> out(count * static_cast<size_t>(bytes));
    const int64_t top = (int64_t{1} << (bits - 1)) - 1;
    const int64_t bottom = -(int64_t{1} << (bits - 1));
    const int shift = 32 - bits;  // from left-justified 32 bits to `bits`
    for (size_t i = 0; i < count; ++i) {
        int64_t v;
        if (file.Width != 0) {
            v = file.Samples[i];
            if (shift > 0) v = (v + (int64_t{1} << (shift - 1))) >> shift;
        } else {
            v = static_cast<int64_t>(std::llround(file.Floats[i] * static_cast<double>(int64_t{1} << (bits - 1))));
        }
        v = v > top ? top : v < bottom ? bottom : v;
        // The valid bits sit at the top of the container.
        PutLe(out, i * bytes, static_cast<int32_t>(v << (container - bits)), bytes);
    }
    return out;
}

AudioReader::~AudioReader()
{
    if (m_file != nullptr) sf_close(m_file);
}

bool AudioReader::Open(const std::string& path, AudioFile* info, std::string* error)
{
    SF_INFO sf{};
    m_file = sf_open(path.c_str(), SFM_READ, &sf);
    if (m_file == nullptr) {
        *error = sf_strerror(nullptr);
        return false;
    }
    info->Rate = sf.samplerate;
    info->Channels = sf.channels;
    info->Frames = sf.frames > 0 ? static_cast<uint64_t>(sf.frames) : 0;
    info->Width = IntegerWidth(sf.format);
    m_channels = sf.channels;
    m_width = info->Width;
    m_claimed = info->Frames;
    if (sf.channels <= 0 || sf.samplerate <= 0) {
        *error = "the file has no channels or no sample rate";
        return false;
    }
    std::string truncated;
    if (TruncatedData(m_file, &truncated)) m_truncated = truncated;
    // The first block is read now: a header may claim frames the file does not hold.
    if (info->Frames == 0 || Read(FIRST_BLOCK_FRAMES, &m_first) == 0) {
        *error = "the file holds no audio frames";
        return false;
    }
    m_firstAt = 0;
    return true;
}

size_t AudioReader::Read(size_t frames, AudioFile* block)
{
    if (m_firstAt < m_first.Frames) {
        // What Open read first, handed out before the rest.
        const size_t n = static_cast<size_t>(std::min<uint64_t>(frames, m_first.Frames - m_firstAt));
        const size_t from = static_cast<size_t>(m_firstAt) * m_channels, count = n * static_cast<size_t>(m_channels);
        block->Channels = m_channels;
        block->Width = m_width;
        block->Frames = n;
        if (m_width != 0) {
            block->Samples.assign(m_first.Samples.begin() + static_cast<ptrdiff_t>(from),
                                  m_first.Samples.begin() + static_cast<ptrdiff_t>(from + count));
        } else {
            block->Floats.assign(m_first.Floats.begin() + static_cast<ptrdiff_t>(from),
                                 m_first.Floats.begin() + static_cast<ptrdiff_t>(from + count));
        }
        m_firstAt += n;
        return n;
    }
    block->Channels = m_channels;
    block->Width = m_width;
    const size_t count = frames * static_cast<size_t>(m_channels);
    sf_count_t got = 0;
    if (m_width != 0) {
        block->Samples.resize(count);
        got = sf_readf_int(m_file, block->Samples.data(), static_cast<sf_count_t>(frames));
        block->Samples.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)) * m_channels);
    } else {
        block->Floats.resize(count);
        got = sf_readf_double(m_file, block->Floats.data(), static_cast<sf_count_t>(frames));
        block->Floats.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)) * m_channels);
    }
    const size_t read = got > 0 ? static_cast<size_t>(got) : 0;
    m_read += read;
    m_firstAt = m_first.Frames;
    block->Frames = read;
    return read;
}

std::string AudioReader::Shortfall() const
{
    if (m_read < m_claimed) {
        return "the file ends after " + std::to_string(m_read) + " of the " + std::to_string(m_claimed) +
               " frames its header gives (" + (m_truncated.empty() ? std::string("read stopped there") : m_truncated) +
               "); played what it holds";
    }
    if (!m_truncated.empty()) return m_truncated + "; played what it holds";
    return {};
}

int FormatForExtension(const std::string& path)
{
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return 0;
    std::string ext = path.substr(dot + 1);
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (ext == "wav") return SF_FORMAT_WAV;
    if (ext == "flac") return SF_FORMAT_FLAC;
    if (ext == "aiff" || ext == "aif") return SF_FORMAT_AIFF;
    return 0;
}

AudioWriter::~AudioWriter()
{
    if (m_file != nullptr) sf_close(m_file);
}

bool AudioWriter::Open(const std::string& path, int fd, int majorFormat, int rate, int channels, int bits, int container,
                       std::string* error)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    if (majorFormat == SF_FORMAT_FLAC) {
        if (bits > 24) {
            if (fd >= 0) close(fd);
            *error = "FLAC holds at most 24-bit samples; record " + std::to_string(bits) + "-bit audio to .wav or .aiff";
            return false;
        }
        // The valid bits, widened to the next width FLAC holds.
        info.format = SF_FORMAT_FLAC | (bits <= 8 ? SF_FORMAT_PCM_S8 : bits <= 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    } else {
        const int subtype = container == 16   ? SF_FORMAT_PCM_16
                            : container == 24 ? SF_FORMAT_PCM_24
                            : container == 8  ? (majorFormat == SF_FORMAT_WAV ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8)
                                              : SF_FORMAT_PCM_32;
        const int major = majorFormat == SF_FORMAT_WAV && (channels > 2 || bits > 16) ? SF_FORMAT_WAVEX : majorFormat;
        info.format = major | subtype;
    }
    if (!sf_format_check(&info)) {
        if (fd >= 0) close(fd);
        *error = "libsndfile does not write " + std::to_string(bits) + "-bit " + std::to_string(channels) + " ch at " +
                 std::to_string(rate) + " Hz in this format";
        return false;
    }
    m_file = fd >= 0 ? sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE) : sf_open(path.c_str(), SFM_WRITE, &info);
    if (m_file == nullptr) {
        if (fd >= 0) close(fd);
        *error = sf_strerror(nullptr);
        return false;
    }
    m_channels = channels;
    m_container = container;
    return true;
}

bool AudioWriter::Write(const uint8_t* pcm, size_t bytes, std::string* error)
{
    const size_t count = bytes / static_cast<size_t>(m_container / 8);
    m_samples.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const int32_t v = PcmSample(pcm, i, m_container);
        m_samples[i] = static_cast<int32_t>(static_cast<uint32_t>(v) << (32 - m_container));
    }
    const auto frames = static_cast<sf_count_t>(count / static_cast<size_t>(m_channels));
    if (sf_writef_int(m_file, m_samples.data(), frames) != frames) {
        *error = sf_strerror(m_file);
        return false;
    }
    m_frames += static_cast<uint64_t>(frames);
    return true;
}

bool AudioWriter::Close(std::string* error)
{
    if (m_file == nullptr) return true;
    const int rc = sf_close(m_file);
    m_file = nullptr;
    if (rc != 0) {
        *error = "cannot finish the file";
        return false;
    }
    return true;
}

int32_t PcmSample(const uint8_t* pcm, size_t index, int container)
{
    const int bytes = container / 8;
    uint32_t v = 0;
    for (int b = 0; b < bytes; ++b) v |= static_cast<uint32_t>(pcm[index * bytes + b]) << (8 * b);
    const int unused = 32 - container;
    return static_cast<int32_t>(v << unused) >> unused;
}


}  // namespace kvx
