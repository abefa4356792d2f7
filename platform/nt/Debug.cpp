#include "platform/nt/Debug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include "platform/nt/DebugHost.h"

namespace {

struct DebugState {
    std::mutex Lock;
    std::string Log;
    bool Echo = std::getenv("KVX_DBGPRINT") != nullptr;
    ULONG Version = NTDDI_WIN10;
};

DebugState& State()
{
    static DebugState* state = new DebugState();  // never destroyed: threads may print at exit
    return *state;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// `count` UTF-16 units (or up to the terminator when count is SIZE_MAX), at most `maxChars` characters.
std::string Utf8FromWide(const WCHAR* s, size_t count, size_t maxChars)
{
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < count && chars < maxChars; ++i, ++chars) {
        uint32_t c = s[i];
        if (count == SIZE_MAX && c == 0) {
            break;
        }
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

enum class Length { None, Char, Short, Long32, Long64, Pointer, Wide, LongDouble };

// Reads a length modifier with the kernel's data model: l is 32 bits (or wide for c and s).
Length ParseLength(const char*& p)
{
    if (std::strncmp(p, "I64", 3) == 0) { p += 3; return Length::Long64; }
    if (std::strncmp(p, "I32", 3) == 0) { p += 3; return Length::Long32; }
    if (std::strncmp(p, "hh", 2) == 0) { p += 2; return Length::Char; }
    if (std::strncmp(p, "ll", 2) == 0) { p += 2; return Length::Long64; }
    switch (*p) {
    case 'I': case 'z': case 't': case 'j': ++p; return Length::Pointer;
    case 'h': ++p; return Length::Short;
    case 'l': ++p; return Length::Long32;
    case 'w': ++p; return Length::Wide;
    case 'L': ++p; return Length::LongDouble;
    default: return Length::None;
    }
}

void AppendFormatted(std::string& out, const std::string& spec, const char* conv, ...)
    __attribute__((format(printf, 3, 4)));

void AppendFormatted(std::string& out, const std::string&, const char* format, ...)
{
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < sizeof(small)) {
        out.append(small, static_cast<size_t>(n));
    } else if (n > 0) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(big.data(), big.size(), format, again);
        out.append(big.data(), static_cast<size_t>(n));
    }
    va_end(again);
}

}  // namespace

namespace platform {

std::string DebugFormat(const char* format, va_list args)
{
    va_list ap;
    va_copy(ap, args);
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string flags;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
            flags += *p++;
        }
        int width = -1;
        if (*p == '*') {
            width = va_arg(ap, int);
            if (width < 0) {
                flags += '-';
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
            }
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    precision = precision * 10 + (*p++ - '0');
                }
            }
        }
        const Length length = ParseLength(p);
        const char conv = *p;
        if (conv == '\0') {
            break;
        }
        ++p;
        std::string spec = "%";
        spec += flags;
        if (width >= 0) {
            spec += std::to_string(width);
        }
        std::string widthOnly = spec;
        widthOnly += 's';
        if (precision >= 0) {
            spec += '.';
            spec += std::to_string(precision);
        }
        const bool wide64 = length == Length::Long64 || length == Length::Pointer;
        switch (conv) {
        case 'd':
        case 'i': {
            long long v;
            if (wide64) v = va_arg(ap, long long);
            else if (length == Length::Char) v = static_cast<signed char>(va_arg(ap, int));
            else if (length == Length::Short) v = static_cast<short>(va_arg(ap, int));
            else v = va_arg(ap, int);
            AppendFormatted(out, spec, (spec + "lld").c_str(), v);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long v;
            if (wide64) v = va_arg(ap, unsigned long long);
            else if (length == Length::Char) v = static_cast<unsigned char>(va_arg(ap, unsigned));
            else if (length == Length::Short) v = static_cast<unsigned short>(va_arg(ap, unsigned));
            else v = va_arg(ap, unsigned);
            AppendFormatted(out, spec, (spec + "ll" + conv).c_str(), v);
            break;
        }
        case 'c':
        case 'C': {
            std::string c;
            const int v = va_arg(ap, int);
            if (conv == 'C' || length == Length::Wide || length == Length::Long32) {
                AppendUtf8(c, static_cast<uint32_t>(v) & 0xFFFF);
            } else {
                c += static_cast<char>(v);
            }
            AppendFormatted(out, widthOnly, widthOnly.c_str(), c.c_str());
            break;
        }
        case 's':
        case 'S': {
            const size_t maxChars = precision >= 0 ? static_cast<size_t>(precision) : SIZE_MAX;
            std::string s;
            if (conv == 'S' || length == Length::Wide || length == Length::Long32) {
                const WCHAR* w = va_arg(ap, const WCHAR*);
                s = w == nullptr ? "(null)" : Utf8FromWide(w, SIZE_MAX, maxChars);
            } else {
                const char* n = va_arg(ap, const char*);
                s = n == nullptr ? "(null)" : std::string(n, strnlen(n, maxChars));
            }
            AppendFormatted(out, widthOnly, widthOnly.c_str(), s.c_str());
            break;
        }
        case 'Z': {
            std::string s;
            if (length == Length::Wide) {
                const auto* us = va_arg(ap, const UNICODE_STRING*);
                s = us == nullptr || us->Buffer == nullptr ? "(null)"
                                                           : Utf8FromWide(us->Buffer, us->Length / 2, SIZE_MAX);
            } else {
                const auto* as = va_arg(ap, const ANSI_STRING*);
                s = as == nullptr || as->Buffer == nullptr ? "(null)" : std::string(as->Buffer, as->Length);
            }
            AppendFormatted(out, widthOnly, widthOnly.c_str(), s.c_str());
            break;
        }
        case 'p': {
            const void* v = va_arg(ap, const void*);
            AppendFormatted(out, spec, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
            break;
        }
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': {
            const double v = length == Length::LongDouble ? static_cast<double>(va_arg(ap, long double))
                                                          : va_arg(ap, double);
            AppendFormatted(out, spec, (spec + conv).c_str(), v);
            break;
        }
        case 'n':
            (void)va_arg(ap, void*);  // never written to
            break;
        default:
            out += '%';
            out += conv;
            break;
        }
    }
    va_end(ap);
    return out;
}

std::string DebugLogTake()
{
    DebugState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    std::string out;
    out.swap(st.Log);
    return out;
}

void DebugEcho(bool echo)
{
    DebugState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Echo = echo;
}

void SetSystemVersion(ULONG version)
{
    DebugState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Version = version;
}

void DebugReset()
{
    DebugState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Log.clear();
    st.Version = NTDDI_WIN10;
}

}  // namespace platform

namespace {
void Emit(const char* format, va_list args)
{
    const std::string text = platform::DebugFormat(format, args);
    DebugState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Log += text;
    if (st.Echo) {
        std::fputs(text.c_str(), stderr);
    }
}
}  // namespace

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    Emit(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    Emit(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version)
{
    DebugState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return Version <= st.Version ? TRUE : FALSE;
}
