// COM-style identity of the port-class world: IUnknown, its interface id, and a way to write
// GUID constants as their canonical text.
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/RtlString.h"

namespace platform {

// Not constexpr: reaching it during constant evaluation fails the build with its name.
uint32_t GuidTextIsMalformed();

constexpr uint32_t GuidHexDigit(char c)
{
    const int value = HexDigitValue(static_cast<unsigned char>(c));
    return value >= 0 ? static_cast<uint32_t>(value) : GuidTextIsMalformed();
}

constexpr uint32_t GuidHex(const char* s, int digits)
{
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        v = (v << 4) | GuidHexDigit(s[i]);
    }
    return v;
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", optionally within braces; evaluated at compile time
// only, so a malformed text fails the build.
template <size_t N>
consteval GUID ParseGuid(const char (&text)[N])
{
    const char* s = text;
    if (N == 39) {
        if (text[0] != '{' || text[37] != '}') {
            GuidTextIsMalformed();
        }
        ++s;
    } else if (N != 37) {
        GuidTextIsMalformed();
    }
    if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') {
        GuidTextIsMalformed();
    }
    GUID g{};
    g.Data1 = GuidHex(s, 8);
    g.Data2 = static_cast<uint16_t>(GuidHex(s + 9, 4));
    g.Data3 = static_cast<uint16_t>(GuidHex(s + 14, 4));
    g.Data4[0] = static_cast<uint8_t>(GuidHex(s + 19, 2));
    g.Data4[1] = static_cast<uint8_t>(GuidHex(s + 21, 2));
    for (int i = 0; i < 6; ++i) {
        g.Data4[2 + i] = static_cast<uint8_t>(GuidHex(s + 24 + 2 * i, 2));
    }
    return g;
}

}  // namespace platform

// Defines a GUID constant from its canonical text:
//   KVX_DEFINE_GUID(IID_IExample, "{12345678-9ABC-DEF0-1234-56789ABCDEF0}");
#define KVX_DEFINE_GUID(name, text) inline constexpr GUID name = ::platform::ParseGuid(text)

KVX_DEFINE_GUID(IID_IUnknown, "{00000000-0000-0000-C000-000000000046}");

// Every interface starts with these three operations. QueryInterface stores the interface (with a
// reference added) or null, and returns STATUS_SUCCESS or STATUS_INVALID_PARAMETER.
class IUnknown {
public:
    virtual NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects die through their own Release, never through an interface pointer.
    ~IUnknown() = default;
};
using PUNKNOWN = IUnknown*;

// The unknown an aggregating object holds on its inner object: it controls the inner object's
// own lifetime and answers its own interfaces, where the inner object's interfaces forward
// to the outer unknown.
class INonDelegatingUnknown {
public:
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};
using PNONDELEGATINGUNKNOWN = INonDelegatingUnknown*;
