// The static tables of the FFT family and the builders that fill a specification's tables.
// Up to order 10 no trigonometry runs at all: every value is folded out of QuarterSineTable.
#include <cmath>

#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftSlotLayout.h"

const float QuarterSineTable[257] = {
    0.0f, 0.00613588467f, 0.0122715384f, 0.0184067301f, 0.024541229f, 0.030674804f,
    0.0368072242f, 0.0429382585f, 0.0490676761f, 0.0551952459f, 0.061320737f, 0.0674439222f,
    0.0735645667f, 0.0796824396f, 0.0857973099f, 0.0919089541f, 0.0980171412f, 0.104121633f,
    0.110222206f, 0.116318628f, 0.122410677f, 0.128498107f, 0.134580702f, 0.140658244f,
    0.146730468f, 0.152797192f, 0.15885815f, 0.164913118f, 0.170961887f, 0.177004218f,
    0.183039889f, 0.18906866f, 0.195090324f, 0.201104641f, 0.207111374f, 0.213110313f,
    0.219101235f, 0.225083917f, 0.231058106f, 0.237023607f, 0.242980182f, 0.248927608f,
    0.254865646f, 0.260794103f, 0.266712755f, 0.272621363f, 0.27851969f, 0.284407526f,
    0.290284663f, 0.296150893f, 0.302005947f, 0.307849646f, 0.313681751f, 0.319502026f,
    0.32531029f, 0.331106305f, 0.336889863f, 0.342660725f, 0.348418683f, 0.354163527f,
    0.359895051f, 0.365612984f, 0.371317208f, 0.377007425f, 0.382683426f, 0.388345033f,
    0.393992037f, 0.399624199f, 0.405241311f, 0.410843164f, 0.416429549f, 0.422000259f,
    0.427555084f, 0.433093816f, 0.438616246f, 0.444122136f, 0.449611336f, 0.455083579f,
    0.460538715f, 0.465976506f, 0.471396744f, 0.47679922f, 0.482183784f, 0.487550169f,
    0.492898196f, 0.498227656f, 0.50353837f, 0.50883013f, 0.514102757f, 0.519356012f,
    0.524589658f, 0.529803634f, 0.534997642f, 0.540171444f, 0.545324981f, 0.550457954f,
    0.555570245f, 0.560661554f, 0.565731823f, 0.570780754f, 0.575808167f, 0.580813944f,
    0.585797846f, 0.590759695f, 0.59569931f, 0.600616455f, 0.605511069f, 0.610382795f,
    0.615231574f, 0.620057225f, 0.624859512f, 0.629638255f, 0.634393275f, 0.639124453f,
    0.643831551f, 0.64851439f, 0.653172851f, 0.657806695f, 0.662415802f, 0.666999936f,
    0.671558976f, 0.676092684f, 0.680601001f, 0.685083687f, 0.689540565f, 0.693971455f,
    0.698376238f, 0.702754736f, 0.707106769f, 0.711432219f, 0.715730846f, 0.720002532f,
    0.724247098f, 0.728464365f, 0.732654274f, 0.736816585f, 0.740951121f, 0.745057762f,
    0.749136388f, 0.753186822f, 0.757208824f, 0.761202395f, 0.765167236f, 0.769103348f,
    0.773010433f, 0.77688849f, 0.780737221f, 0.784556568f, 0.78834641f, 0.792106569f,
    0.795836926f, 0.799537241f, 0.803207517f, 0.806847572f, 0.81045717f, 0.81403631f,
    0.817584813f, 0.8211025f, 0.824589312f, 0.82804507f, 0.831469595f, 0.834862888f,
    0.838224709f, 0.841554999f, 0.84485358f, 0.848120332f, 0.851355195f, 0.854557991f,
    0.857728601f, 0.860866964f, 0.863972843f, 0.867046237f, 0.870086968f, 0.873094976f,
    0.876070082f, 0.879012227f, 0.881921291f, 0.884797096f, 0.887639642f, 0.890448749f,
    0.893224299f, 0.895966232f, 0.898674488f, 0.901348829f, 0.903989315f, 0.906595707f,
    0.909168005f, 0.91170603f, 0.914209783f, 0.916679084f, 0.919113874f, 0.921514034f,
    0.923879504f, 0.926210225f, 0.928506076f, 0.93076694f, 0.932992816f, 0.935183525f,
    0.937339008f, 0.939459205f, 0.941544056f, 0.943593442f, 0.945607305f, 0.947585583f,
    0.949528158f, 0.95143503f, 0.953306019f, 0.955141187f, 0.956940353f, 0.958703458f,
    0.960430503f, 0.962121427f, 0.963776052f, 0.965394437f, 0.966976464f, 0.968522072f,
    0.970031261f, 0.971503913f, 0.972939968f, 0.974339366f, 0.975702107f, 0.977028131f,
    0.97831738f, 0.979569793f, 0.980785251f, 0.981963873f, 0.983105481f, 0.984210074f,
    0.985277653f, 0.986308098f, 0.987301409f, 0.988257587f, 0.989176512f, 0.990058184f,
    0.990902662f, 0.991709769f, 0.992479563f, 0.993211925f, 0.993906975f, 0.994564593f,
    0.99518472f, 0.995767415f, 0.996312618f, 0.996820271f, 0.997290432f, 0.997723043f,
    0.998118103f, 0.998475552f, 0.99879545f, 0.999077737f, 0.999322355f, 0.999529421f,
    0.999698818f, 0.999830604f, 0.999924719f, 0.999981165f, 1.0f,
};

const int32_t LargeFftSplitTable[31] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,             // orders 0..10 never reach the large-order path
    0, 0, 5, 6, 7, 8, 8, 8, 10, 10,              // 11..20
    10, 10, 8, 8, 10, 10, 10, 10, 10, 10,        // 21..30
};

const LargeFftFactorTable LargeFftFactorTables = {
    // rowBits
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // orders 0..16 never reach the large layout
     3, 4, 4, 4, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8},           // 17..30
    // blockBits
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     9, 10, 10, 10, 13, 15, 15, 15, 15, 15, 15, 15, 15, 15},
};

namespace kvxfft {
namespace {

constexpr int32_t TwiddleTableBytes(int32_t m) { return 24 * ((1 << m) / 4 + 1); }

// Leaf of 2^s points (s = 11 or 12): the order-10 twiddles of its pieces, then the combining factors.
uint8_t* BuildLeafTables(FftSpec* spec, uint8_t* dst, int32_t s, SineSource sine) {
    spec->twiddleTable = reinterpret_cast<const float*>(dst);
    uint8_t* end = BuildTwiddleTable(dst, RADIX_MAX_ORDER, sine);
    auto* combine = reinterpret_cast<FftComplex*>(AlignUp32(end));
    spec->combineTable = combine;
    const int32_t quarter = (1 << s) / 4;
    for (int32_t t = 0; t < quarter; ++t) combine[t] = FoldedTwiddle(sine, s, t);
    spec->workBytes = 0;
    return reinterpret_cast<uint8_t*>(combine + quarter);
}

uint8_t* BuildLevelTables(FftSpec* spec, uint8_t* dst, int32_t depth, int32_t j, SineSource sine) {
    const int32_t a = LargeFftSplitTable[j];
    const int32_t s = j - a;
    const int32_t K = 1 << a;
    const int32_t L = 1 << s;
    uint8_t* end;
    if (s <= RADIX_MAX_ORDER) {
        spec->twiddleTable = reinterpret_cast<const float*>(dst);
        end = BuildTwiddleTable(dst, s, sine);
        spec->workBytes = 0;
    } else if (LargeFftSplitTable[s] != 0) {
        end = BuildLevelTables(spec, dst, depth + 1, s, sine);
    } else {
        end = BuildLeafTables(spec, dst, s, sine);
    }
    uint8_t* level = AlignUp32(end);
    spec->levelTwiddles[depth] = reinterpret_cast<const float*>(level);
    end = BuildTwiddleTable(level, a, sine);

    // Column factors in the order the column step reads them: per group of four columns, per row
    // r, the four values e^(-2*pi*i*rev(r)*c/n_j), so the column step reads them sequentially.
    auto* column = reinterpret_cast<FftComplex*>(AlignUp32(end));
    spec->columnTwiddles[depth] = column;
    FftComplex* out = column;
    for (int32_t g = 0; g < L / 4; ++g) {
        for (int32_t r = 0; r < K; ++r) {
            const int64_t rr = ReverseBits(static_cast<uint32_t>(r), a);
            for (int32_t c = 0; c < 4; ++c) *out++ = FoldedTwiddle(sine, j, rr * (4 * g + c));
        }
    }
    if (spec->workBytes < 32 * K) spec->workBytes = 32 * K;
    return reinterpret_cast<uint8_t*>(out);
}

}  // namespace

void BuildQuarterSineTable(float* dst, int32_t order) { FillQuarterSineTable(dst, order); }

void BuildBitReversePairTable(int32_t* dst, int32_t m) { FillBitReversePairTable(dst, m); }

uint8_t* BuildTwiddleTable(uint8_t* dst, int32_t m, SineSource sine) {
    auto* w = reinterpret_cast<FftComplex*>(dst);
    const int32_t quarter = (1 << m) / 4;
    for (int32_t l = 0; l <= quarter; ++l) {
        *w++ = FoldedTwiddle(sine, m, l);
        *w++ = FoldedTwiddle(sine, m, 2 * l);
        *w++ = FoldedTwiddle(sine, m, 3 * l);
    }
    return dst + TwiddleTableBytes(m);
}

uint8_t* BuildRealForwardTable(uint8_t* dst, int32_t p, SineSource sine) {
    auto* t = reinterpret_cast<FftComplex*>(dst);
    const int64_t quarter = (int64_t{1} << p) / 4;
    for (int64_t i = 0; i < quarter; ++i) t[i] = ForwardRecombination(sine, p, i);
    return reinterpret_cast<uint8_t*>(t + quarter);
}

uint8_t* BuildRealInverseTable(uint8_t* dst, int32_t p, SineSource sine) {
    auto* t = reinterpret_cast<FftComplex*>(dst);
    const int64_t quarter = (int64_t{1} << p) / 4;
    for (int64_t i = 0; i < quarter; ++i) t[i] = InverseRecombination(sine, p, i);
    return reinterpret_cast<uint8_t*>(t + quarter);
}

uint8_t* BuildLargeFftTables(FftSpec* spec, uint8_t* dst, int32_t m, SineSource sine) {
    if (LargeFftSplitTable[m] == 0) return BuildLeafTables(spec, dst, m, sine);
    return BuildLevelTables(spec, dst, 0, m, sine);
}

void GetLargeFftSize(int32_t m, int64_t sizes[3]) {
    const int64_t n = int64_t{1} << m;
    const int32_t a = LargeFftSplitTable[m];
    if (a == 0) {
        sizes[0] = static_cast<int64_t>(Up32(static_cast<uintptr_t>(2 * n))) + 8224;
        sizes[1] = 0;
        sizes[2] = 0;
        return;
    }
    const int32_t s = m - a;
    const int64_t L = int64_t{1} << s;
    const int64_t K = int64_t{1} << a;
    if (s <= RADIX_MAX_ORDER) {
        sizes[0] = static_cast<int64_t>(Up32(static_cast<uintptr_t>(8 * L + 8)));
        sizes[1] = 0;
        sizes[2] = 0;
    } else {
        GetLargeFftSize(s, sizes);  // a leaf of s gives the leaf sizes above
    }
    sizes[0] += static_cast<int64_t>(Up32(static_cast<uintptr_t>(8 * K + 8))) + 8 * n;
    sizes[1] += static_cast<int64_t>(Up32(static_cast<uintptr_t>(K + 4))) + 32 * K;
    if (sizes[2] < 32 * K) sizes[2] = 32 * K;
}

}  // namespace kvxfft
