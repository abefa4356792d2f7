#include "platform/nt/RtlString.h"

#include <cstdio>
#include <cstring>

#include "platform/nt/Pool.h"
#include "platform/nt/RtlStringHost.h"

namespace {

// Counted strings hold at most this many bytes.
constexpr size_t MAX_USTRING = 0xFFFE;

template <class C>
size_t TextLength(const C* s)
{
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

char NarrowChar(char16_t c) { return c < 0x80 ? static_cast<char>(c) : '?'; }

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = TextLength(SourceString) * sizeof(WCHAR);
    if (bytes > MAX_USTRING - sizeof(WCHAR)) {
        bytes = MAX_USTRING - sizeof(WCHAR);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > MAX_USTRING) {
        bytes = MAX_USTRING;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

namespace {

template <class S>
void FreeCountedString(S* s)
{
    if (s->Buffer != nullptr) {
        ExFreePoolWithTag(s->Buffer, platform::RTL_STRING_TAG);
    }
    s->Buffer = nullptr;
    s->Length = 0;
    s->MaximumLength = 0;
}

}  // namespace

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) { FreeCountedString(UnicodeString); }

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) { FreeCountedString(AnsiString); }

WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c >= u'a' && c <= u'z') {
        return static_cast<WCHAR>(c - 0x20);
    }
    // Latin-1 letters, except the division sign and the y with diaeresis (no upper case here).
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<WCHAR>(c - 0x20);
    }
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    const size_t n1 = String1->Length / sizeof(WCHAR);
    const size_t n2 = String2->Length / sizeof(WCHAR);
    const size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    const size_t chars = SourceString->Length / sizeof(WCHAR);
    size_t room = chars;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, platform::RTL_STRING_TAG));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (chars >= DestinationString->MaximumLength) {
        // Keep one byte for the terminator when there is any room at all.
        room = DestinationString->MaximumLength == 0 ? 0 : DestinationString->MaximumLength - 1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < room; ++i) {
        DestinationString->Buffer[i] = NarrowChar(SourceString->Buffer[i]);
    }
    if (room < DestinationString->MaximumLength) {
        DestinationString->Buffer[room] = '\0';
    }
    DestinationString->Length = static_cast<USHORT>(room);
    return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    const size_t chars = SourceString->Length;
    if ((chars + 1) * sizeof(WCHAR) > MAX_USTRING + sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t room = chars;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        const size_t bytes = (chars + 1) * sizeof(WCHAR);
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, platform::RTL_STRING_TAG));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes);
    } else if ((chars + 1) * sizeof(WCHAR) > DestinationString->MaximumLength) {
        room = DestinationString->MaximumLength / sizeof(WCHAR);
        room = room == 0 ? 0 : room - 1;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < room; ++i) {
        DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
    }
    if ((room + 1) * sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[room] = 0;
    }
    DestinationString->Length = static_cast<USHORT>(room * sizeof(WCHAR));
    return status;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    size_t bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = DestinationString->MaximumLength & ~size_t{1};
    }
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    const size_t total = size_t{Destination->Length} + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

// ---- bounded string functions ----

namespace {

template <class C>
bool DestinationValid(const C* dest, size_t cch)
{
    return dest != nullptr && cch != 0 && cch <= NTSTRSAFE_MAX_CCH;
}

// Writes into a destination of `cch` characters, keeping room for the terminator.
template <class C>
struct Sink {
    C* dest;
    size_t cch;
    size_t used = 0;
    bool truncated = false;

    void Put(char32_t c)
    {
        if (used + 1 < cch) {
            dest[used++] = static_cast<C>(c);
        } else {
            truncated = true;
        }
    }
    void Repeat(char32_t c, int n)
    {
        for (int i = 0; i < n; ++i) {
            Put(c);
        }
    }
    NTSTATUS Finish()
    {
        dest[used] = 0;
        return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
};

// A character of the output type from a source character: narrow text keeps its bytes, wide
// text written into a narrow destination keeps only ASCII.
template <class C, class S>
char32_t Convert(S c)
{
    const auto u = static_cast<std::make_unsigned_t<S>>(c);
    if constexpr (sizeof(C) == 1 && sizeof(S) == 2) {
        return u < 0x80 ? u : U'?';
    } else {
        return u;
    }
}

struct Field {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
};

template <class C>
void PutPadded(Sink<C>& out, const Field& field, const char* prefix, const char* digits, int zeros)
{
    const int body = static_cast<int>(std::strlen(prefix) + std::strlen(digits)) + zeros;
    const int pad = field.width > body ? field.width - body : 0;
    if (!field.left) {
        out.Repeat(U' ', pad);
    }
    for (const char* p = prefix; *p; ++p) {
        out.Put(static_cast<unsigned char>(*p));
    }
    out.Repeat(U'0', zeros);
    for (const char* p = digits; *p; ++p) {
        out.Put(static_cast<unsigned char>(*p));
    }
    if (field.left) {
        out.Repeat(U' ', pad);
    }
}

template <class C>
void PutInteger(Sink<C>& out, Field field, uint64_t magnitude, bool negative, int base, bool upper, bool isSigned)
{
    char digits[32];
    int n = 0;
    const char* set = upper ? platform::kHexDigitsUpper : platform::kHexDigitsLower;
    if (!(magnitude == 0 && field.precision == 0)) {
        char reversed[32];
        do {
            reversed[n++] = set[magnitude % static_cast<unsigned>(base)];
            magnitude /= static_cast<unsigned>(base);
        } while (magnitude != 0);
        for (int i = 0; i < n; ++i) {
            digits[i] = reversed[n - 1 - i];
        }
    }
    digits[n] = '\0';
    const char* prefix = "";
    if (negative) {
        prefix = "-";
    } else if (isSigned && field.plus) {
        prefix = "+";
    } else if (isSigned && field.space) {
        prefix = " ";
    } else if (field.alternate && n != 0 && digits[0] != '0') {
        prefix = base == 16 ? (upper ? "0X" : "0x") : base == 8 ? "0" : "";
    }
    int zeros = field.precision > n ? field.precision - n : 0;
    if (field.zero && !field.left && field.precision < 0) {
        const int body = static_cast<int>(std::strlen(prefix)) + n;
        zeros = field.width > body ? field.width - body : 0;
    }
    PutPadded(out, field, prefix, digits, zeros);
}

template <class C, class S>
void PutString(Sink<C>& out, const Field& field, const S* s, size_t length)
{
    if (field.precision >= 0 && length > static_cast<size_t>(field.precision)) {
        length = static_cast<size_t>(field.precision);
    }
    const int pad = field.width > static_cast<int>(length) ? field.width - static_cast<int>(length) : 0;
    if (!field.left) {
        out.Repeat(U' ', pad);
    }
    for (size_t i = 0; i < length; ++i) {
        out.Put(Convert<C>(s[i]));
    }
    if (field.left) {
        out.Repeat(U' ', pad);
    }
}

template <class C, class S>
void PutText(Sink<C>& out, const Field& field, const S* s)
{
    if (s == nullptr) {
        PutString(out, field, "(null)", 6);
        return;
    }
    size_t length = 0;
    // Stop at the precision: the text need not be terminated beyond it.
    while ((field.precision < 0 || length < static_cast<size_t>(field.precision)) && s[length] != 0) {
        ++length;
    }
    PutString(out, field, s, length);
}

enum class Size { Int, Short, Char, Long32, Long64, Pointer };

// An integer argument of the given size, sign- or zero-extended to 64 bits.
uint64_t ReadInteger(va_list& args, Size size, bool isSigned)
{
    switch (size) {
    case Size::Long64:
    case Size::Pointer:
        return va_arg(args, uint64_t);
    case Size::Short: {
        const int v = va_arg(args, int);
        return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(v))) : static_cast<uint16_t>(v);
    }
    case Size::Char: {
        const int v = va_arg(args, int);
        return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(v))) : static_cast<uint8_t>(v);
    }
    default: {
        const uint32_t v = va_arg(args, uint32_t);
        return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v))) : v;
    }
    }
}

template <class C>
NTSTATUS FormatInto(Sink<C>& out, const C* format, va_list& args)
{
    const C* f = format;
    while (*f != 0) {
        if (*f != '%') {
            out.Put(static_cast<std::make_unsigned_t<C>>(*f++));
            continue;
        }
        ++f;
        Field field;
        for (;; ++f) {
            if (*f == '-') {
                field.left = true;
            } else if (*f == '0') {
                field.zero = true;
            } else if (*f == '+') {
                field.plus = true;
            } else if (*f == ' ') {
                field.space = true;
            } else if (*f == '#') {
                field.alternate = true;
            } else {
                break;
            }
        }
        if (*f == '*') {
            field.width = va_arg(args, int);
            if (field.width < 0) {
                field.left = true;
                field.width = -field.width;
            }
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') {
                field.width = field.width * 10 + (*f++ - '0');
            }
        }
        if (*f == '.') {
            ++f;
            field.precision = 0;
            if (*f == '*') {
                field.precision = va_arg(args, int);
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') {
                    field.precision = field.precision * 10 + (*f++ - '0');
                }
            }
        }
        Size size = Size::Int;
        bool wide = false;
        bool narrow = false;
        if (*f == 'h') {
            ++f;
            narrow = true;
            size = Size::Short;
            if (*f == 'h') {
                ++f;
                size = Size::Char;
            }
        } else if (*f == 'l') {
            ++f;
            wide = true;
            size = Size::Long32;
            if (*f == 'l') {
                ++f;
                size = Size::Long64;
            }
        } else if (*f == 'w') {
            ++f;
            wide = true;
        } else if (*f == 'z') {
            ++f;
            size = Size::Pointer;
        } else if (*f == 'I') {
            ++f;
            size = Size::Pointer;
            if (f[0] == '6' && f[1] == '4') {
                f += 2;
                size = Size::Long64;
            } else if (f[0] == '3' && f[1] == '2') {
                f += 2;
                size = Size::Long32;
            }
        }
        const C conversion = *f;
        if (conversion == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        ++f;
        switch (conversion) {
        case '%':
            out.Put(U'%');
            break;
        case 'd':
        case 'i': {
            const auto v = static_cast<int64_t>(ReadInteger(args, size, true));
            const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            PutInteger(out, field, magnitude, v < 0, 10, false, true);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            const int base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
            PutInteger(out, field, ReadInteger(args, size, false), false, base, conversion == 'X', false);
            break;
        }
        case 'p': {
            const auto v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            Field pointer = field;
            pointer.precision = static_cast<int>(2 * sizeof(void*));
            pointer.zero = false;
            PutInteger(out, pointer, v, false, 16, true, false);
            break;
        }
        case 'c':
        case 'C': {
            // c is the function's own width, C the other one; h and l/w choose explicitly.
            const bool otherWidth = conversion == 'C';
            bool asWide = (sizeof(C) == 2) != otherWidth;
            if (wide) {
                asWide = true;
            } else if (narrow) {
                asWide = false;
            }
            const int raw = va_arg(args, int);
            if (asWide) {
                const char16_t one = static_cast<char16_t>(raw);
                PutString(out, field, &one, 1);
            } else {
                const char one = static_cast<char>(raw);
                PutString(out, field, &one, 1);
            }
            break;
        }
        case 's':
        case 'S': {
            const bool otherWidth = conversion == 'S';
            bool asWide = (sizeof(C) == 2) != otherWidth;
            if (wide) {
                asWide = true;
            } else if (narrow) {
                asWide = false;
            }
            if (asWide) {
                PutText(out, field, va_arg(args, const char16_t*));
            } else {
                PutText(out, field, va_arg(args, const char*));
            }
            break;
        }
        case 'Z': {
            if (wide) {
                const auto* s = va_arg(args, PCUNICODE_STRING);
                if (s == nullptr || s->Buffer == nullptr) {
                    PutString(out, field, "(null)", 6);
                } else {
                    PutString(out, field, s->Buffer, s->Length / sizeof(WCHAR));
                }
            } else {
                const auto* s = va_arg(args, const ANSI_STRING*);
                if (s == nullptr || s->Buffer == nullptr) {
                    PutString(out, field, "(null)", 6);
                } else {
                    PutString(out, field, s->Buffer, s->Length);
                }
            }
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G': {
            const double v = va_arg(args, double);
            char pattern[16];
            std::snprintf(pattern, sizeof pattern, "%%%s%s%s%s%s*.*%c", field.left ? "-" : "", field.zero ? "0" : "",
                          field.plus ? "+" : "", field.space ? " " : "", field.alternate ? "#" : "",
                          static_cast<char>(conversion));
            char text[352];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            std::snprintf(text, sizeof text, pattern, field.width, field.precision < 0 ? 6 : field.precision, v);
#pragma GCC diagnostic pop
            PutString(out, Field{}, text, std::strlen(text));
            break;
        }
        default:
            // Unknown conversions, and %n, which would write through an argument.
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

template <class C>
NTSTATUS VPrintf(C* dest, size_t cch, const C* format, va_list args)
{
    if (!DestinationValid(dest, cch)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    Sink<C> out{dest, cch};
    va_list copy;
    va_copy(copy, args);
    const NTSTATUS status = FormatInto(out, format, copy);
    va_end(copy);
    if (!NT_SUCCESS(status)) {
        dest[0] = 0;
        return status;
    }
    return out.Finish();
}

template <class C>
NTSTATUS Copy(C* dest, size_t cch, const C* src)
{
    if (!DestinationValid(dest, cch)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    Sink<C> out{dest, cch};
    for (const C* s = src; *s != 0 && !out.truncated; ++s) {
        out.Put(static_cast<std::make_unsigned_t<C>>(*s));
    }
    return out.Finish();
}

template <class C>
NTSTATUS Length(const C* psz, size_t cchMax, size_t* pcch)
{
    if (pcch != nullptr) {
        *pcch = 0;
    }
    if (psz == nullptr || cchMax > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && psz[n] != 0) {
        ++n;
    }
    if (n == cchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pcch != nullptr) {
        *pcch = n;
    }
    return STATUS_SUCCESS;
}

template <class C>
NTSTATUS Cat(C* dest, size_t cch, const C* src)
{
    size_t used = 0;
    if (!DestinationValid(dest, cch) || !NT_SUCCESS(Length(dest, cch, &used))) {
        return STATUS_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return Copy(dest + used, cch - used, src);
}

}  // namespace

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = VPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbVPrintfA(PCHAR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, cbDest, pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfA(PCHAR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = VPrintf(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfA(PCHAR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = VPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return Copy(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) { return Copy(pszDest, cchDest, pszSrc); }

NTSTATUS RtlStringCbCopyA(PCHAR pszDest, size_t cbDest, PCSTR pszSrc) { return Copy(pszDest, cbDest, pszSrc); }

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return Cat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) { return Cat(pszDest, cchDest, pszSrc); }

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    const NTSTATUS status = Length(psz, cbMax / sizeof(WCHAR), pcbLength);
    if (pcbLength != nullptr) {
        *pcbLength *= sizeof(WCHAR);
    }
    return status;
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) { return Length(psz, cchMax, pcchLength); }

NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength) { return Length(psz, cbMax, pcbLength); }

// ---- platform interface ----

namespace platform {

NTSTATUS RtlAllocateUnicodeString(PUNICODE_STRING out, std::u16string_view text)
{
    out->Buffer = nullptr;
    out->Length = 0;
    out->MaximumLength = 0;
    const size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes > MAX_USTRING - sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), RTL_STRING_TAG));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

bool EqualTextNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) {
            return false;
        }
    }
    return true;
}

std::u16string ToU16(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string ToU16(std::string_view ascii)
{
    std::u16string r;
    r.reserve(ascii.size());
    for (char c : ascii) {
        r.push_back(static_cast<unsigned char>(c));
    }
    return r;
}

std::string ToNarrow(std::u16string_view s)
{
    std::string r;
    r.reserve(s.size());
    for (char16_t c : s) {
        r.push_back(NarrowChar(c));
    }
    return r;
}

std::string ToNarrow(PCUNICODE_STRING s) { return ToNarrow(ToU16(s)); }

}  // namespace platform
