// The five coefficient sets of the spatial room processor, laid out at compile time in the order
// the processor reads them: the four line records (gap, then the tap gains), the feed gains, the
// feed filter, the centre, front, side and rear gains, the mix coefficients, the seven diffusers
// (length, then taps), the diffuse weights, the output taps and the feedback matrix with the
// line offsets between its rows. Only the diffuser taps are generated; every other value is
// written here.
#include "dsp/SpatialTables.h"

#include "dsp/SpatialDiffuserTaps.gen.h"

namespace {

// What differs between the sets.
struct SpatialSetValues {
    int32_t lineTaps;  // T
    int32_t gaps[SPATIAL_LINES];
    float lineGains[SPATIAL_LINES][SPATIAL_MAX_LINE_TAPS];
    float feedFilter[5];  // b0, b1, b2, a1, a2
    // Per stream (diffuse, centre, front, side, rear): current, one and two samples old; the
    // same on both sides.
    float outputTaps[SPATIAL_OUTPUT_STREAMS][SPATIAL_OUTPUT_TAPS];
};

// What every set shares.
constexpr float FEED_GAINS[2 * SPATIAL_FEEDS] = {-0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f,
                                                 0.5651518f,  0.3296462f, 0.5651518f, 0.3296462f};
constexpr float CENTRE_GAIN = 1.0f;
// kFL, kFLt, kFR, kFRt, kSL, kSR, kBL, kBLt, kBR, kBRt.
constexpr float STREAM_GAINS[10] = {1.0f,       0.8406633f, 1.0f,       0.8406633f, 0.8200073f,
                                    0.8200073f, 0.9099731f, 1.0f,       0.9099731f, 1.0f};
// Half sum and half difference, for the front, side and rear pairs.
constexpr float MIX[12] = {0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f};
constexpr float DIFFUSE_LEFT[SPATIAL_DIFFUSERS] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
constexpr float DIFFUSE_RIGHT[SPATIAL_DIFFUSERS] = {1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f};
// Orthogonal to four decimals.
constexpr float FEEDBACK[SPATIAL_LINES][SPATIAL_LINES] = {
    {-0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f},
    {-0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f},
    {0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f},
    {-0.3950806f, -0.4087524f, 0.746582f, -0.3456421f},
};

constexpr SpatialSetValues SET_48K = {
    2,
    {599, 871, 778, 1032},
    {{0.3803711f, 0.3803711f}, {0.3360596f, 0.3360596f}, {0.3505859f, 0.3505859f}, {0.3122559f, 0.3122559f}},
    {0.4906616f, -0.9812622f, 0.4906616f, 0.9810181f, -0.4815979f},
    {{0.5f, 1.0f, 0.5f},
     {0.2783508f, 0.008270264f, -0.1473083f},
     {0.4124756f, -0.01904297f, -0.1278076f},
     {0.5018921f, -0.005554199f, -0.05023193f},
     {0.4282227f, -0.04992676f, -0.02606201f}},
};

constexpr SpatialSetValues SET_44K1 = {
    2,
    {550, 800, 715, 948},
    {{0.5072632f, 0.2536011f}, {0.4480591f, 0.2240601f}, {0.4674072f, 0.2337036f}, {0.4163818f, 0.2081909f}},
    {0.4898376f, -0.9796143f, 0.4898376f, 0.979248f, -0.4799805f},
    {{0.5f, 1.0f, 0.5f},
     {0.288147f, -0.01818848f, -0.06954956f},
     {0.432251f, -0.06884766f, -0.01196289f},
     {0.5073853f, -0.02722168f, -0.04742432f},
     {0.4178467f, -0.04223633f, -0.04278564f}},
};

constexpr SpatialSetValues SET_32K = {
    3,
    {399, 580, 518, 687},
    {{0.6297607f, 0.1448364f, -0.01385498f},
     {0.5564575f, 0.1279907f, -0.01226807f},
     {0.5805664f, 0.1335449f, -0.01275635f},
     {0.5172119f, 0.1189575f, -0.01135254f}},
    {0.4860229f, -0.9718933f, 0.4860229f, 0.971283f, -0.4726257f},
    {{0.5f, 1.0f, 0.5f},
     {0.319397f, -0.1012878f, 0.2170105f},
     {0.4232788f, -0.09338379f, 0.222168f},
     {0.5098267f, -0.05126953f, 0.04949951f},
     {0.423645f, -0.06964111f, -0.005981445f}},
};

constexpr SpatialSetValues SET_96K = {
    4,
    {1199, 1743, 1557, 2064},
    {{0.2271118f, 0.2044067f, 0.2271118f, 0.1021729f},
     {0.2006226f, 0.180542f, 0.2006226f, 0.090271f},
     {0.2092896f, 0.1883545f, 0.2092896f, 0.09417725f},
     {0.1864624f, 0.1678467f, 0.1864624f, 0.08392334f}},
    {0.4953156f, -0.9906158f, 0.4953156f, 0.9905396f, -0.4906921f},
    {{0.5f, 1.0f, 0.5f},
     {0.2055359f, 0.0769043f, 0.05065918f},
     {0.2958374f, 0.1056519f, 0.06378174f},
     {0.3360596f, 0.1365356f, 0.08551025f},
     {0.3649902f, 0.02947998f, 0.02124023f}},
};

constexpr SpatialSetValues SET_88K2 = {
    4,
    {1102, 1602, 1430, 1897},
    {{0.2377319f, 0.2258301f, 0.2377319f, 0.05944824f},
     {0.2099609f, 0.1994629f, 0.2099609f, 0.05249023f},
     {0.2191162f, 0.2081909f, 0.2191162f, 0.05480957f},
     {0.1951904f, 0.1854248f, 0.1951904f, 0.04876709f}},
    {0.4949036f, -0.9897919f, 0.4949036f, 0.9897156f, -0.4898987f},
    {{0.5f, 1.0f, 0.5f},
     {0.2098694f, 0.08111572f, 0.04541016f},
     {0.3018799f, 0.1110229f, 0.05450439f},
     {0.343689f, 0.1444702f, 0.0814209f},
     {0.3674316f, 0.03088379f, 0.02062988f}},
};

template <int32_t N>
struct SpatialSetImage {
    float values[N];
};

// Lays a set out; `used` receives the floats written (the rest of the image stays zero). A
// write past N stops the compilation.
template <int32_t N>
constexpr SpatialSetImage<N> LayOut(const SpatialSetValues& set, const SpatialDiffuserShape& shape, int32_t firstTap,
                                    int32_t* used)
{
    SpatialSetImage<N> image{};
    int32_t n = 0;
    auto put = [&](float value) { image.values[n++] = value; };
    for (int32_t i = 0; i < SPATIAL_LINES; ++i) {
        put(static_cast<float>(set.gaps[i]));
        for (int32_t j = 0; j < set.lineTaps; ++j) {
            put(set.lineGains[i][j]);
        }
    }
    for (float f : FEED_GAINS) {
        put(f);
    }
    for (float f : set.feedFilter) {
        put(f);
    }
    put(CENTRE_GAIN);
    for (float f : STREAM_GAINS) {
        put(f);
    }
    for (float f : MIX) {
        put(f);
    }
    int32_t tap = firstTap;
    for (int32_t length : shape.lengths) {
        put(static_cast<float>(length));
        for (int32_t j = 0; j < length; ++j) {
            put(SpatialDiffuserTaps[tap++]);
        }
    }
    for (float f : DIFFUSE_LEFT) {
        put(f);
    }
    for (float f : DIFFUSE_RIGHT) {
        put(f);
    }
    for (int32_t side = 0; side < 2; ++side) {
        for (const auto& stream : set.outputTaps) {
            for (float f : stream) {
                put(f);
            }
        }
    }
    for (int32_t row = 0; row < SPATIAL_LINES; ++row) {
        for (float f : FEEDBACK[row]) {
            put(f);
        }
        put(static_cast<float>(set.gaps[row] + set.lineTaps));
    }
    *used = n;
    return image;
}

template <int32_t N>
constexpr int32_t UsedFloats(const SpatialSetValues& set, const SpatialDiffuserShape& shape, int32_t firstTap)
{
    int32_t used = 0;
    LayOut<N>(set, shape, firstTap, &used);
    return used;
}

constexpr int32_t FirstTap(int32_t set)
{
    int32_t tap = 0;
    for (int32_t s = 0; s < set; ++s) {
        for (int32_t length : SpatialDiffuserShapes[s].lengths) {
            tap += length;
        }
    }
    return tap;
}

template <int32_t N>
constexpr SpatialSetImage<N> Image(const SpatialSetValues& set, int32_t shape)
{
    int32_t used = 0;
    return LayOut<N>(set, SpatialDiffuserShapes[shape], FirstTap(shape), &used);
}

// The sets end in zero entries that are never read: one to three in four of the sets.
constexpr bool PaddedByAtMostThree(int32_t size, int32_t used)
{
    return used <= size && size - used <= 3;
}
static_assert(PaddedByAtMostThree(244, UsedFloats<244>(SET_48K, SpatialDiffuserShapes[0], FirstTap(0))));
static_assert(PaddedByAtMostThree(236, UsedFloats<236>(SET_44K1, SpatialDiffuserShapes[1], FirstTap(1))));
static_assert(PaddedByAtMostThree(204, UsedFloats<204>(SET_32K, SpatialDiffuserShapes[2], FirstTap(2))));
static_assert(PaddedByAtMostThree(392, UsedFloats<392>(SET_96K, SpatialDiffuserShapes[3], FirstTap(3))));
static_assert(PaddedByAtMostThree(376, UsedFloats<376>(SET_88K2, SpatialDiffuserShapes[4], FirstTap(4))));

constexpr SpatialSetImage<244> IMAGE_48K = Image<244>(SET_48K, 0);
constexpr SpatialSetImage<236> IMAGE_44K1 = Image<236>(SET_44K1, 1);
constexpr SpatialSetImage<204> IMAGE_32K = Image<204>(SET_32K, 2);
constexpr SpatialSetImage<392> IMAGE_96K = Image<392>(SET_96K, 3);
constexpr SpatialSetImage<376> IMAGE_88K2 = Image<376>(SET_88K2, 4);

}  // namespace

const float* const SpatialSetTable[SPATIAL_RATE_SLOTS] = {
    IMAGE_48K.values, IMAGE_44K1.values, IMAGE_32K.values, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr,          nullptr,           nullptr,          nullptr, nullptr, nullptr, nullptr, IMAGE_96K.values,
    IMAGE_88K2.values,
};

const int32_t SpatialSetSizeTable[SPATIAL_RATE_SLOTS] = {244, 236, 204, 0, 0, 0, 0, 0, 0,
                                                         0,   0,   0,   0, 0, 0, 0, 392, 376};

const int32_t SpatialRingLengthTable[SPATIAL_RATE_SLOTS] = {3588, 3307, 2408, 0, 0, 0, 0, 0, 0,
                                                            0,    0,    0,    0, 0, 0, 0, 7155, 6595};
