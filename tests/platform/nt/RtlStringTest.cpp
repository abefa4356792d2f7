#include <gtest/gtest.h>

#include <string>

#include "platform/nt/Pool.h"
#include "platform/nt/RtlMemory.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/RtlStringHost.h"

namespace {

std::u16string Text(const WCHAR* s) { return s; }

struct PrintfCase {
    const char* name;
    std::u16string expected;
    NTSTATUS (*format)(PWSTR dest, size_t cb);
};

const WCHAR kWide[] = u"Stream";
const char kNarrow[] = "HeadSet";

const PrintfCase kPrintfCases[] = {
    {"wide %s", u"StreamOut01", [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"%sOut%02d", kWide, 1); }},
    {"%ws", u"[Stream]", [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"[%ws]", kWide); }},
    {"narrow %S and %hs", u"HeadSet/HeadSet",
     [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"%S/%hs", kNarrow, kNarrow); }},
    {"%02d pads with zeros", u"In07 In12 In123",
     [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"In%02d In%02d In%02d", 7, 12, 123); }},
    {"%2d pads with spaces", u"x_ 5_ x_-3_",
     [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"x_%2d_ x_%2d_", 5, -3); }},
    {"%s%02d_%2d_ settings name", u"Vol03_ 4_",
     [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"%s%02d_%2d_", u"Vol", 3, 4); }},
    {"%p is 16 upper-case digits", u"\\Callback\\AudioHalAddr00000000DEADBEEF",
     [](PWSTR d, size_t cb) {
         return RtlStringCbPrintfW(d, cb, u"\\Callback\\AudioHalAddr%p", reinterpret_cast<void*>(0xDEADBEEFu));
     }},
    {"signed and unsigned, l is 32 bits", u"-5 4294967295 -2147483648 18446744073709551615",
     [](PWSTR d, size_t cb) {
         return RtlStringCbPrintfW(d, cb, u"%d %u %ld %llu", -5, 0xFFFFFFFFu, static_cast<LONG>(INT32_MIN),
                                   ~0ull);
     }},
    {"short, char, I64 and pointer-sized integers", u"-1 255 -2 -5 7",
     [](PWSTR d, size_t cb) {
         return RtlStringCbPrintfW(d, cb, u"%hd %hhu %hhd %I64d %zu", 0xFFFF, 0x1FF, 0xFE, int64_t{-5}, size_t{7});
     }},
    {"hex, width, precision and flags", u"ff 00FF 0x1f |ab  | +7 007",
     [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"%x %04X %#x |%-4s| %+d %.3d", 255, 255, 31, u"ab", 7, 7); }},
    {"precision cuts strings, %% and %c", u"Str% Z",
     [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"%.3s%% %c", kWide, u'Z'); }},
    {"null string", u"(null)", [](PWSTR d, size_t cb) { return RtlStringCbPrintfW(d, cb, u"%s", nullptr); }},
    {"%wZ counted string", u"<Glob>",
     [](PWSTR d, size_t cb) {
         UNICODE_STRING s{8, 8, const_cast<PWSTR>(u"GlobalTopo")};
         return RtlStringCbPrintfW(d, cb, u"<%wZ>", &s);
     }},
};

TEST(RtlStringPrintf, FormatsLikeThePlatform)
{
    for (const auto& c : kPrintfCases) {
        WCHAR buffer[64];
        EXPECT_EQ(c.format(buffer, sizeof buffer), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(Text(buffer), c.expected) << c.name;
    }
}

TEST(RtlStringPrintf, TruncatesTerminatedAndReportsOverflow)
{
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, u"%sOut%02d", kWide, 1), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(buffer), u"StreamO");
    // An exact fit is not a truncation.
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, u"%s%d", kWide, 1), STATUS_SUCCESS);
    EXPECT_EQ(Text(buffer), u"Stream1");
    // An odd byte count leaves the last half character unused.
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 5, u"abc"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(buffer), u"a");

    char narrow[6];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s-%S", "ab", u"wide"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(narrow), "ab-wi");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%ws%u", u"\u00e9x", 1u), STATUS_SUCCESS);
    EXPECT_EQ(std::string(narrow), "?x1");
}

TEST(RtlStringPrintf, BadArgumentsAreRefused)
{
    WCHAR buffer[8] = u"keep";
    EXPECT_EQ(RtlStringCbPrintfW(nullptr, 16, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 1, u"x"), STATUS_INVALID_PARAMETER);  // less than one character
    EXPECT_EQ(Text(buffer), u"keep");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, NTSTRSAFE_MAX_CCH + 1, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 0);
    int written = 0;
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, u"ab%n", &written), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, u"ab%"), STATUS_INVALID_PARAMETER);
}

TEST(RtlStringSafe, CopyCatAndLength)
{
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof buffer, u"Global"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof buffer, u"Topo"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(buffer), u"GlobalT");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 8, u"GlobalTopo"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(buffer), u"GlobalT");

    size_t length = 99;
    EXPECT_EQ(RtlStringCbLengthW(u"Wave", 10, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);
    // No terminator within the maximum.
    EXPECT_EQ(RtlStringCbLengthW(u"Wave", 8, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    WCHAR unterminated[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(RtlStringCchCatW(unterminated, 4, u"x"), STATUS_INVALID_PARAMETER);
}

TEST(RtlString, CountedStringsCompareAndConvert)
{
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, u"GlobalTopo");
    EXPECT_EQ(a.Length, 20);
    EXPECT_EQ(a.MaximumLength, 22);
    RtlInitUnicodeString(&b, u"globaltopo");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    UNICODE_STRING prefix{12, 12, a.Buffer};
    EXPECT_LT(RtlCompareUnicodeString(&prefix, &a, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &prefix, TRUE), 0);
    RtlInitUnicodeString(&b, nullptr);
    EXPECT_EQ(b.Length, 0);
    EXPECT_EQ(b.Buffer, nullptr);

    ANSI_STRING ansi;
    UNICODE_STRING accented;
    RtlInitUnicodeString(&accented, u"Caf\u00e9");
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &accented, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer), "Caf?");
    EXPECT_EQ(ansi.Length, 4);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(ansi.Buffer, nullptr);

    char small[4];
    ANSI_STRING fixed{0, sizeof small, small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(small), "Glo");

    platform::PoolFailNextWithTag(platform::RTL_STRING_TAG);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &a, TRUE), STATUS_NO_MEMORY);
}

TEST(RtlString, AllocatedStringsRoundTripAndAppend)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "Settings");
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(platform::ToU16(&wide), u"Settings");
    RtlFreeUnicodeString(&wide);

    WCHAR storage[8];
    UNICODE_STRING dest{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"Wave"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"Out"), STATUS_SUCCESS);
    EXPECT_EQ(Text(storage), u"WaveOut");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"01"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(platform::ToU16(&dest), u"WaveOut");
}

TEST(RtlMemory, CompareCountsEqualLeadingBytes)
{
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
    EXPECT_TRUE(RtlEqualMemory(a, b, 2));
    EXPECT_FALSE(RtlEqualMemory(a, b, 3));

    UCHAR overlap[6] = {1, 2, 3, 4, 5, 6};
    RtlMoveMemory(overlap + 1, overlap, 4);
    const UCHAR moved[6] = {1, 1, 2, 3, 4, 6};
    EXPECT_EQ(RtlCompareMemory(overlap, moved, 6), 6u);
}

}  // namespace
