// The effect processing of a processing-block entity on the render stream: a test entity built
// as the effect entities are (an effect path and a processor reached through the effect table),
// on the stream engine's node list, fed 16-bit PCM through ProcessBuffer at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "adapter/StreamEngine.h"
#include "dsp/EffectHooksHost.h"
#include "dsp/EffectProcessing.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/PoolHost.h"
#include "tests/topology/UsbUnitFixture.h"
#include "topology/UsbClockDspEntities.h"

namespace kvxtest {
namespace {

constexpr float SPATIAL_GAIN = 2.8183f;
constexpr float HEADPHONE_GAIN = 2.0f;
constexpr double LSB = 1.0 / 32768.0;

class TestEffectEntity : public UsbDspEntity {
public:
    TestEffectEntity(PUNKNOWN pOuter, ULONG ulId, DspEffectKind kind) : UsbDspEntity(pOuter, ulId), m_Kind(kind) {}
    ~TestEffectEntity() override
    {
        m_Path.Free();
        if (m_pProcessor != nullptr) {
            if (m_Kind == DspEffectKind::Spatial) {
                m_pHooks->DestroySpatialProcessor(static_cast<SpatialProcessor8*>(m_pProcessor));
            } else {
                m_pHooks->DestroyHeadphoneEngine(static_cast<HeadphoneEngine*>(m_pProcessor));
            }
        }
    }

    // The effect entities' set-up order; a failed step ends it.
    void Build()
    {
        m_pHooks = GetEffectHooks();
        if (!m_Path.AllocateWorkSets()) return;
        if (m_Kind == DspEffectKind::Spatial) {
            m_pProcessor = m_pHooks->CreateSpatialProcessor();
            if (m_pProcessor == nullptr) return;
            m_Path.AllocateLimiters(SPATIAL_GAIN);
            return;
        }
        if (!m_Path.AllocateLimiters(HEADPHONE_GAIN)) return;
        HeadphoneEngine* pEngine = m_pHooks->CreateHeadphoneEngine();
        m_pProcessor = pEngine;
        if (pEngine == nullptr) return;
        WAVEFORMATEX f = {3, 2, 44100, 176400, 4, 16, 0};
        m_pHooks->HeadphoneSetFormat(pEngine, &f);
        m_pHooks->HeadphoneSetEnable(pEngine, 1);
        m_pHooks->HeadphoneSetCtcMode(pEngine, 0);
        m_pHooks->HeadphoneSetAngle(pEngine, HeadphoneParameterSet::Headphone, 3);
        m_pHooks->HeadphoneSetAngle(pEngine, HeadphoneParameterSet::Speaker, 3);
        m_pHooks->HeadphoneSetCtcAngle(pEngine, 0);
    }

    NTSTATUS SetFormat(const WaveFormatRecord* pFormat) override
    {
        UsbDspEntity::SetFormat(pFormat);
        if (m_pProcessor != nullptr && m_Kind == DspEffectKind::Spatial) {
            m_pHooks->SpatialSetFormat(static_cast<SpatialProcessor8*>(m_pProcessor),
                                       static_cast<LONG>(pFormat->Format.nSamplesPerSec), pFormat->Format.nChannels - 1);
        } else if (m_pProcessor != nullptr) {
            WAVEFORMATEX f = pFormat->Format;
            f.wFormatTag = 3;
            f.cbSize = 0;
            m_pHooks->HeadphoneSetFormat(static_cast<HeadphoneEngine*>(m_pProcessor), &f);
        }
        m_Path.SetFormat(pFormat);
        return STATUS_SUCCESS;
    }
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override
    {
        return ProcessEffect(pFormat, pData, ulFrames, &m_Path, m_Kind, m_pProcessor);
    }
    NTSTATUS Reset() override { return ResetEffect(&m_Path, m_Kind, m_pProcessor); }

    bool Complete() const { return m_pProcessor != nullptr && m_Path.IsComplete(); }
    ULONG Effective() const { return m_ulProcessingEnable; }
    ULONG FadeState() const { return EffectFadeKind(m_ulTransitionState); }
    ULONG FadePosition() const { return EffectFadePosition(m_ulTransitionState); }
    EffectPath& Path() { return m_Path; }

private:
    DspEffectKind m_Kind;
    const EffectHooks* m_pHooks = nullptr;
    EffectPath m_Path;
    PVOID m_pProcessor = nullptr;
};

WaveFormatRecord Pcm(USHORT channels, ULONG rate)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = static_cast<USHORT>(2 * channels);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = 16;
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = 16;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// A stream engine with one entity on its node list.
class Stream {
public:
    Stream(TestEffectEntity* pEntity, const WaveFormatRecord& format) : m_Format(format)
    {
        m_pEngine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
        m_pEngine->NonDelegatingAddRef();
        EXPECT_EQ(m_pEngine->Init(FALSE), STATUS_SUCCESS);
        EXPECT_EQ(m_pEngine->AllocateProcessingBuffers(), STATUS_SUCCESS);
        m_pEngine->m_CurrentWaveFormat = format;
        EXPECT_EQ(m_pEngine->AddNode(static_cast<IProcessingNode*>(pEntity)), STATUS_SUCCESS);
        pEntity->SetFormat(&format);
    }
    ~Stream() { m_pEngine->Release(); }
    // Interleaved 16-bit samples, in place, at DISPATCH_LEVEL.
    void Run(std::vector<int16_t>& samples)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(m_pEngine->ProcessBuffer(samples.data(), static_cast<ULONG>(samples.size() * 2)), STATUS_SUCCESS);
        KeLowerIrql(old);
    }
    // frames of one constant per channel, run in chunks of `chunk` frames; channel c of the
    // result, as floats.
    std::vector<std::vector<float>> Constant(const std::vector<float>& values, size_t frames, size_t chunk)
    {
        const size_t n = m_Format.Format.nChannels;
        std::vector<std::vector<float>> out(n);
        for (size_t done = 0; done < frames; done += chunk) {
            std::vector<int16_t> s(chunk * n);
            for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(std::lround(values[i % n] * 32768.0f));
            Run(s);
            for (size_t i = 0; i < s.size(); ++i) out[i % n].push_back(static_cast<float>(s[i] / 32768.0));
        }
        return out;
    }

private:
    StreamEngine* m_pEngine;
    WaveFormatRecord m_Format;
};

// A spatial processor and headphone engine that do something plain: the spatial one writes 0.25
// into both outputs, the headphone one 0.125 into channels 0 and 1; both note the first input
// sample they see.
struct FakeProcessors {
    static inline float seenSpatial = -1.0f, seenHeadphone = -1.0f;
    static inline char block[64];
    static SpatialProcessor8* CreateSpatial() { return reinterpret_cast<SpatialProcessor8*>(block); }
    static void DestroySpatial(SpatialProcessor8*) {}
    static void SetFormatSpatial(SpatialProcessor8*, LONG, LONG) {}
    static void ProcessSpatial(SpatialProcessor8*, float* const* in, float* const* out, LONG frames)
    {
        seenSpatial = in[0][0];
        for (LONG i = 0; i < frames; ++i) out[0][i] = out[1][i] = 0.25f;
    }
    static void ResetSpatial(SpatialProcessor8*) {}
    static HeadphoneEngine* CreateHeadphone() { return reinterpret_cast<HeadphoneEngine*>(block + 32); }
    static void DestroyHeadphone(HeadphoneEngine*) {}
    static LONG SetFormatHeadphone(HeadphoneEngine*, const WAVEFORMATEX*) { return 1; }
    static void SetLong(HeadphoneEngine*, LONG) {}
    static LONG GetLong(HeadphoneEngine*) { return 0; }
    static void SetSetLong(HeadphoneEngine*, HeadphoneParameterSet, LONG) {}
    static LONG GetSetLong(HeadphoneEngine*, HeadphoneParameterSet) { return 0; }
    static void ProcessHeadphone(HeadphoneEngine*, float* const* ch, LONG frames)
    {
        seenHeadphone = ch[0][0];
        for (LONG i = 0; i < frames; ++i) ch[0][i] = ch[1][i] = 0.125f;
    }
    static constexpr EffectHooks TABLE = {CreateSpatial,     DestroySpatial, SetFormatSpatial, ProcessSpatial,
                                          ResetSpatial,      CreateHeadphone, DestroyHeadphone, SetFormatHeadphone,
                                          SetLong,           SetLong,         GetLong,          SetLong,
                                          SetSetLong,        GetSetLong,      SetSetLong,       GetSetLong,
                                          SetSetLong,        ProcessHeadphone, ProcessEffectEntityChunk,
                                          ResetEffectEntityState};
};

class UsbDspEffectTest : public UsbUnitFixture {
protected:
    void SetUp() override
    {
        UsbUnitFixture::SetUp();
        NewUnit();
        m_device->SetControl(5, 0x8B, 1, {0, 0, 1, 1, 1});
        m_device->SetControl(5, 0x8C, 1, {0, 0, 1, 1, 1});
    }
    void TearDown() override
    {
        for (TestEffectEntity* e : m_entities) static_cast<TopologyNode*>(e)->Release();
        InstallEffectHooks(nullptr);
        UsbUnitFixture::TearDown();
    }
    TestEffectEntity* NewEntity(DspEffectKind kind)
    {
        auto* e = new (NonPagedPoolNx, TEST_ENTITY_TAG) TestEffectEntity(nullptr, 9, kind);
        static_cast<TopologyNode*>(e)->AddRef();
        EXPECT_EQ(SetupDspEntity(e, m_unit, kind == DspEffectKind::Spatial ? 0x8B : 0x8C, m_fdo), STATUS_SUCCESS);
        e->Build();
        m_entities.push_back(e);
        return e;
    }
    std::vector<TestEffectEntity*> m_entities;
};

// Enable 0, eight channels: channels 0 and 1 carry the plain fold, the others their own input,
// all through the unity limiter, 256 samples late; the same for both kinds.
TEST_F(UsbDspEffectTest, DryPathFoldsAndLimits)
{
    for (DspEffectKind kind : {DspEffectKind::Spatial, DspEffectKind::Headphone}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TestEffectEntity* e = NewEntity(kind);
        ASSERT_TRUE(e->Complete());
        Stream stream(e, Pcm(8, 48000));
        std::mt19937 gen(7);
        std::uniform_int_distribution<int> dist(-1500, 1500);
        std::vector<int16_t> in(2048 * 8);
        for (int16_t& s : in) s = static_cast<int16_t>(dist(gen));
        std::vector<int16_t> out = in;
        stream.Run(out);
        for (size_t k = 256; k < 2048; ++k) {
            auto x = [&](size_t c) { return in[(k - 256) * 8 + c] / 32768.0; };
            const double l = x(0) + 0.707 * x(2) + x(3) + x(4) + x(6);
            const double r = x(1) + 0.707 * x(2) + x(3) + x(5) + x(7);
            ASSERT_NEAR(out[k * 8] / 32768.0, l, 1.5 * LSB) << k;
            ASSERT_NEAR(out[k * 8 + 1] / 32768.0, r, 1.5 * LSB) << k;
            for (size_t c = 2; c < 8; ++c) ASSERT_NEAR(out[k * 8 + c], in[(k - 256) * 8 + c], 1) << k;
        }
        for (size_t k = 0; k < 256 * 8; ++k) ASSERT_EQ(out[k], 0);
    }
}

// A chunk in another format is left alone; the pending change is taken all the same.
TEST_F(UsbDspEffectTest, NonPcmUntouched)
{
    TestEffectEntity* e = NewEntity(DspEffectKind::Spatial);
    WaveFormatRecord f = Pcm(2, 48000);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = 8;
    Stream stream(e, f);
    ASSERT_EQ(e->SetEnable(1), STATUS_SUCCESS);
    std::vector<int16_t> raw(400 * 4);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<int16_t>(i * 37);
    const std::vector<int16_t> original = raw;
    stream.Run(raw);
    EXPECT_EQ(raw, original);
    EXPECT_EQ(e->ResetPending(), 0);
    EXPECT_EQ(e->ValueChanged(), 0);
    EXPECT_EQ(e->Effective(), 1u);
}

// The fades with constant input, on the plain processors: the dry fold of 0.1 on every channel
// is 0.4707; the processed channels 0 and 1 are 0.25 x 2.8183; channels 2 to 7 of the processed
// set are the input with the make-up gain.
class UsbDspFadeTest : public UsbDspEffectTest {
protected:
    void SetUp() override
    {
        UsbDspEffectTest::SetUp();
        InstallEffectHooks(&FakeProcessors::TABLE);
    }
    static constexpr float DRY = 0.1f * (4.0f + 0.707f);
    static constexpr float WET = 0.25f * SPATIAL_GAIN;
    const std::vector<float> m_Input = std::vector<float>(8, 0.1f);
};

TEST_F(UsbDspFadeTest, SwitchOnAndOffRampWithinTheChunk)
{
    // On at 48 kHz: 0-95 the dry signal ramps down, 96-191 the processed one up.
    TestEffectEntity* e = NewEntity(DspEffectKind::Spatial);
    {
        Stream stream(e, Pcm(8, 48000));
        stream.Constant(m_Input, 1024, 512);
        ASSERT_EQ(e->SetEnable(1), STATUS_SUCCESS);
        const auto out = stream.Constant(m_Input, 512, 512);
        for (size_t i = 0; i < 512; ++i) {
            const float expected = i < 96 ? (1.0f - i / 95.0f) * DRY : i < 192 ? ((i - 96) / 95.0f) * WET : WET;
            ASSERT_NEAR(out[0][i], expected, 2 * LSB) << i;
            ASSERT_NEAR(out[1][i], expected, 2 * LSB) << i;
            ASSERT_NEAR(out[5][i], 0.1f * SPATIAL_GAIN, 2 * LSB) << i;
        }
        EXPECT_EQ(e->FadeState(), 1u);
    }
    // Off at 44.1 kHz: 0-87 the processed signal ramps down, 88-175 the dry one up, then dry;
    // channels 2 to 7 carry the processed set for that chunk only.
    TestEffectEntity* f = NewEntity(DspEffectKind::Spatial);
    Stream stream(f, Pcm(8, 44100));
    ASSERT_EQ(f->SetEnable(1), STATUS_SUCCESS);
    stream.Constant(m_Input, 1024, 512);
    ASSERT_EQ(f->SetEnable(0), STATUS_SUCCESS);
    const auto out = stream.Constant(m_Input, 1024, 512);
    for (size_t i = 0; i < 1024; ++i) {
        const float expected = i < 88 ? (1.0f - i / 87.0f) * WET : i < 176 ? ((i - 88) / 87.0f) * DRY : DRY;
        ASSERT_NEAR(out[0][i], expected, 2 * LSB) << i;
        ASSERT_NEAR(out[7][i], i < 512 ? 0.1f * SPATIAL_GAIN : 0.1f, 2 * LSB) << i;
    }
}

// At 192 kHz the 2 ms ramps (384 samples each) run across chunks of 100 frames without a jump.
TEST_F(UsbDspFadeTest, FadeCarriesAcrossChunks)
{
    TestEffectEntity* e = NewEntity(DspEffectKind::Spatial);
    Stream stream(e, Pcm(6, 192000));
    stream.Constant(m_Input, 1000, 100);
    ASSERT_EQ(e->SetEnable(1), STATUS_SUCCESS);
    const auto out = stream.Constant(m_Input, 1000, 100);
    const float dry6 = 0.1f * (3.0f + 0.707f);
    for (size_t g = 0; g < 1000; ++g) {
        const float expected = g < 384 ? (1.0f - g / 383.0f) * dry6 : g < 768 ? ((g - 384) / 383.0f) * WET : WET;
        ASSERT_NEAR(out[0][g], expected, 2 * LSB) << g;
    }
}

// The enable the processing obeys did not change: a Refresh reading the same value, or a
// refused SetEnable, raise the flags but fade nothing.
TEST_F(UsbDspFadeTest, UnchangedEnableDoesNotFade)
{
    TestEffectEntity* e = NewEntity(DspEffectKind::Spatial);
    Stream stream(e, Pcm(8, 48000));
    ASSERT_EQ(e->SetEnable(1), STATUS_SUCCESS);
    stream.Constant(m_Input, 1024, 512);
    ASSERT_EQ(e->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(e->ResetPending(), 1);
    auto out = stream.Constant(m_Input, 512, 512);
    for (size_t i = 0; i < 512; ++i) ASSERT_NEAR(out[0][i], WET, 2 * LSB) << i;

    sim::RequestMatch set;
    set.Request = USB_AUDIO_SET_CUR;
    m_device->AddFault(set, sim::SimDevice::FaultKind::Stall);
    EXPECT_FALSE(NT_SUCCESS(e->SetEnable(0)));
    out = stream.Constant(m_Input, 512, 512);
    for (size_t i = 0; i < 512; ++i) ASSERT_NEAR(out[0][i], WET, 2 * LSB) << i;
    EXPECT_EQ(e->Effective(), 1u);
}

// The spatial effect adds 1e-12 to its input, the headphone effect nothing; the spatial
// processor's counts other than 6 and 8 get the dry set back, the headphone effect its own.
TEST_F(UsbDspFadeTest, OffsetAndOutputSetByKind)
{
    TestEffectEntity* s = NewEntity(DspEffectKind::Spatial);
    TestEffectEntity* h = NewEntity(DspEffectKind::Headphone);
    ASSERT_EQ(s->SetEnable(1), STATUS_SUCCESS);
    ASSERT_EQ(h->SetEnable(1), STATUS_SUCCESS);
    {
        Stream a(s, Pcm(8, 48000));
        Stream b(h, Pcm(8, 48000));
        a.Constant(std::vector<float>(8, 0.0f), 512, 512);
        b.Constant(std::vector<float>(8, 0.0f), 512, 512);
        EXPECT_EQ(FakeProcessors::seenSpatial, 1e-12f);
        EXPECT_EQ(FakeProcessors::seenHeadphone, 0.0f);
    }
    struct Case { USHORT channels; float spatial0, headphone0; } cases[] = {
        {2, 0.1f, 0.125f * HEADPHONE_GAIN},
        {4, 0.1f - 0.1f, 0.125f * HEADPHONE_GAIN},
        {3, 0.1f, 0.125f * HEADPHONE_GAIN},
        {7, 0.1f, 0.125f * HEADPHONE_GAIN},
        {6, WET, 0.125f * HEADPHONE_GAIN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        TestEffectEntity* s2 = NewEntity(DspEffectKind::Spatial);
        TestEffectEntity* h2 = NewEntity(DspEffectKind::Headphone);
        s2->SetEnable(1);
        h2->SetEnable(1);
        Stream a(s2, Pcm(c.channels, 48000));
        Stream b(h2, Pcm(c.channels, 48000));
        const std::vector<float> in(c.channels, 0.1f);
        const auto sOut = a.Constant(in, 1024, 512);
        const auto hOut = b.Constant(in, 1024, 512);
        EXPECT_NEAR(sOut[0][1000], c.spatial0, 2 * LSB);
        EXPECT_NEAR(sOut[1][1000], c.channels == 4 ? 0.2f : c.channels == 6 ? WET : 0.1f, 2 * LSB);
        EXPECT_NEAR(hOut[0][1000], c.headphone0, 2 * LSB);
    }
}

// Enable changes racing the chunks from another thread: each change the processing sees is
// taken once (its fades alternate in direction), and the last value requested is the one obeyed.
TEST_F(UsbDspFadeTest, RacingEnableChangesAreEachTakenOnce)
{
    TestEffectEntity* e = NewEntity(DspEffectKind::Spatial);
    Stream stream(e, Pcm(8, 48000));
    std::atomic<bool> done{false};
    std::atomic<int> last{0};
    std::thread toggler([&] {
        platform::ClientThreadScope scope("toggler");
        UCHAR value = 0;
        for (int i = 0; i < 300; ++i) {
            value ^= 1;
            if (NT_SUCCESS(e->SetEnable(value))) last = value;
        }
        done = true;
    });
    ULONG previousDirection = 0;
    for (int round = 0; round < 50 || !done.load(); ++round) {
        stream.Constant(m_Input, 64, 64);
        if ((e->FadeState() == 2 || e->FadeState() == 3) && e->FadePosition() == 64) {
            ASSERT_NE(e->FadeState(), previousDirection);
            previousDirection = e->FadeState();
        }
        // Time passes between chunks, so that the device answers the requests.
        LARGE_INTEGER chunkTime;
        chunkTime.QuadPart = -13333;  // 64 frames at 48 kHz
        KeDelayExecutionThread(KernelMode, FALSE, &chunkTime);
    }
    toggler.join();
    stream.Constant(m_Input, 64, 64);
    EXPECT_EQ(e->Effective(), static_cast<ULONG>(last.load()));
    EXPECT_EQ(e->ResetPending(), 0);
    EXPECT_EQ(e->ValueChanged(), 0);
}

// Each allocation of the set-up failed in turn: an entity without its processor or a part of
// its path leaves the chunks untouched, switch or not, and leaves nothing behind.
TEST_F(UsbDspEffectTest, EachFailedSetUpAllocationLeavesChunksAndNothingBehind)
{
    for (DspEffectKind kind : {DspEffectKind::Spatial, DspEffectKind::Headphone}) {
        SCOPED_TRACE(static_cast<int>(kind));
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(n);
            const size_t before = platform::PoolLiveCountAll();
            auto* e = new (NonPagedPoolNx, TEST_ENTITY_TAG) TestEffectEntity(nullptr, 9, kind);
            static_cast<TopologyNode*>(e)->AddRef();
            ASSERT_EQ(SetupDspEntity(e, m_unit, kind == DspEffectKind::Spatial ? 0x8B : 0x8C, m_fdo), STATUS_SUCCESS);
            const uint64_t injected = platform::PoolInjectedFailures();
            platform::PoolFailNthAllocation(n);
            e->Build();
            const bool failed = platform::PoolInjectedFailures() != injected;
            platform::PoolClearFailures();
            {
                Stream stream(e, Pcm(8, 48000));
                ASSERT_EQ(e->SetEnable(1), STATUS_SUCCESS);
                std::vector<int16_t> chunk(300 * 8);
                for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<int16_t>(100 + i % 700);
                const std::vector<int16_t> original = chunk;
                stream.Run(chunk);
                if (!e->Complete()) {
                    EXPECT_EQ(chunk, original);
                }
                EXPECT_EQ(e->ResetPending(), 0);
            }
            static_cast<TopologyNode*>(e)->Release();
            EXPECT_EQ(platform::PoolLiveCountAll(), before);
            if (!failed) break;
        }
    }
}

}  // namespace
}  // namespace kvxtest
