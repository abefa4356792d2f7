// Shared inside the registry and file stand-ins: name handling, and objects handed out by handle.
#pragma once

#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "platform/nt/NtTypes.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/RtlStringHost.h"

namespace platform::reg {

// Names of keys, values and files compare as the object manager compares names.
inline bool EqualNoCase(std::u16string_view a, std::u16string_view b) { return EqualTextNoCase(a, b); }

inline bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// A counted string as a view; a malformed one (odd length, length beyond the maximum, null
// buffer with a length) is refused. A null string gives an empty view.
inline NTSTATUS ViewOf(PCUNICODE_STRING s, std::u16string_view* out)
{
    *out = {};
    if (s == nullptr) {
        return STATUS_SUCCESS;
    }
    if ((s->Length & 1) != 0 || s->Length > s->MaximumLength || (s->Buffer == nullptr && s->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Objects behind handles come from the pool (so a handle never closed shows as a leak under the
// object's tag) and are registered with the object manager under their type name; the handle
// holds the one reference. T provides `static constexpr ULONG Tag` and `static constexpr const
// char* TypeName`.
template <class T, class... Args>
NTSTATUS CreateHandleObject(PHANDLE handle, Args&&... args)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), T::Tag);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    T* object = new (memory) T(std::forward<Args>(args)...);
    ObRegister(object, T::TypeName, [](void* o) {
        static_cast<T*>(o)->~T();
        ExFreePoolWithTag(o, T::Tag);
    });
    *handle = HandleCreate(object, [](void* o) { ObfDereferenceObject(o); });
    return STATUS_SUCCESS;
}

template <class T>
NTSTATUS LookupHandleObject(HANDLE handle, T** object)
{
    *object = nullptr;
    void* o = handle != nullptr ? HandleLookup(handle) : nullptr;
    if (o == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    const char* type = ObTypeName(o);
    if (type == nullptr || std::strcmp(type, T::TypeName) != 0) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *object = static_cast<T*>(o);
    return STATUS_SUCCESS;
}

// Implemented by the device table; called when the registry is reset.
void DeviceTableReset();

}  // namespace platform::reg
