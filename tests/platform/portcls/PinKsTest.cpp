// The port's side of wave pins on the test adapter's filter, whose miniport leaves data
// intersection to the port and makes no streams: the port's plain intersection, and a pin create
// whose NewStream fails leaving nothing behind.
#include <gtest/gtest.h>

#include <cstring>

#include "host/KsPin.h"
#include "tests/host/HostFixture.h"

namespace kvxtest {
namespace {

using host::KsPin;

std::vector<uint8_t> AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = 88;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    std::vector<uint8_t> bytes(88);
    std::memcpy(bytes.data(), &r, sizeof r);
    return bytes;
}

class PinKsTest : public HostFixture {
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        Install();
        m_wave = Browser().Open(u"Wave");
        ASSERT_NE(m_wave, nullptr);
    }
    PFILE_OBJECT m_wave = nullptr;
};

// The test filter's range is stereo, 16..24 bits, 44.1..48 kHz: the plain intersection meets a
// client range at the largest values both allow, as PCM behind KSDATAFORMAT_WAVEFORMATEX.
TEST_F(PinKsTest, WithoutTheMiniportThePortIntersectsPlainly)
{
    struct Case {
        const char* Name;
        std::vector<uint8_t> Client;
        NTSTATUS Status;
        WORD Channels = 0;
        DWORD Rate = 0;
        WORD Bits = 0;
    };
    const Case cases[] = {
        {"wide client", AudioRange(8, 8, 32, 8000, 192000), STATUS_SUCCESS, 2, 48000, 24},
        {"mono 16-bit 44.1 kHz", AudioRange(1, 16, 16, 44100, 44100), STATUS_SUCCESS, 1, 44100, 16},
        {"rates apart", AudioRange(2, 16, 16, 8000, 16000), STATUS_NO_MATCH},
        {"bits apart", AudioRange(2, 8, 8, 48000, 48000), STATUS_NO_MATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const auto format = KsPin::Intersect(Browser(), m_wave, 0, {c.Client}, &status);
        ASSERT_EQ(status, c.Status);
        if (!NT_SUCCESS(c.Status)) continue;
        ASSERT_EQ(format.size(), sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
        KSDATAFORMAT header;
        WAVEFORMATEX wave;
        std::memcpy(&header, format.data(), sizeof header);
        std::memcpy(&wave, format.data() + sizeof header, sizeof wave);
        EXPECT_EQ(header.FormatSize, format.size());
        EXPECT_EQ(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(wave.nChannels, c.Channels);
        EXPECT_EQ(wave.nSamplesPerSec, c.Rate);
        EXPECT_EQ(wave.wBitsPerSample, c.Bits);
        EXPECT_EQ(wave.nBlockAlign, c.Channels * c.Bits / 8);
        EXPECT_EQ(wave.nAvgBytesPerSec, wave.nBlockAlign * c.Rate);
    }
}

// NewStream's failure is the create's; the instance count, the port's and the miniport's
// references and the pool are as before (the harness checks the pool, TearDown the objects).
TEST_F(PinKsTest, AFailedStreamLeavesNoPinBehind)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const auto format = KsPin::Intersect(Browser(), m_wave, 0, {AudioRange(2, 16, 16, 48000, 48000)}, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    for (int attempt = 0; attempt < 2; ++attempt) {
        KsPin pin(Browser());
        EXPECT_EQ(pin.Open(m_wave, 0, format), STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(pin.File(), nullptr);
    }
    KSPIN_CINSTANCES instances{9, 9};
    ASSERT_EQ(Browser().Get(m_wave, host::KsTarget::Pin(0), KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, &instances)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 0u);
    EXPECT_EQ(instances.PossibleCount, 1u);
}

// Requests of the pin set the port does not answer still reach the filter's own tables, and a
// pin create on a file object that is no filter is refused.
TEST_F(PinKsTest, OtherRequestsKeepTheirWay)
{
    LONG value = 0;
    EXPECT_EQ(Browser().Get(m_wave, host::KsTarget::Pin(1), TestPinPropertySet, 1, &value).Status, STATUS_SUCCESS);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(Browser().Get(m_wave, host::KsTarget::Pin(0), KSPROPSETID_Pin, 12 /* name */, &value).Status,
              STATUS_NOT_FOUND);
    ULONG set = 1;
    EXPECT_EQ(Browser().Set(m_wave, host::KsTarget::Pin(0), KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, set).Status,
              STATUS_INVALID_DEVICE_REQUEST);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Browser().OpenRelated(m_wave, u"{00000000-0000-0000-0000-000000000000}\\x", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace kvxtest
