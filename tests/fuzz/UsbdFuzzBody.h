// Test-only: one round of the USBD helpers on arbitrary configuration bytes, shared by the
// libFuzzer target and the GoogleTest replay. The bytes sit in a pool block of exactly their
// size, so that any read past them shows under AddressSanitizer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/nt/Pool.h"
#include "platform/usb/Usb.h"

namespace kvxfuzz {

constexpr ULONG FUZZ_CONFIG_TAG = MakePoolTag("Fzcf");

// Walks the configuration as a driver does: every interface, its descriptors, then a
// configuration request for alternate setting 0 of each interface number. Returns false when a
// result breaks the helpers' promises (a descriptor outside the bytes, a URB that lies).
inline bool RunUsbdOnce(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 0x20000) {
        return true;
    }
    auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, FUZZ_CONFIG_TAG));
    if (bytes == nullptr) {
        return true;
    }
    std::memcpy(bytes, data, size);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes);
    bool ok = true;
    auto inside = [&](const void* p, size_t length) {
        const auto* q = static_cast<const UCHAR*>(p);
        return q >= bytes && q + length <= bytes + size;
    };

    // Every interface descriptor in turn, and the descriptors that follow each.
    PVOID start = config;
    int guard = 0;
    while (PUSB_INTERFACE_DESCRIPTOR d =
               USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1)) {
        ok = ok && inside(d, sizeof(USB_INTERFACE_DESCRIPTOR)) && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR);
        const ULONG bound = size >= 4 ? std::min<ULONG>(config->wTotalLength, static_cast<ULONG>(size)) : 0;
        PVOID from = d;
        while (PUSB_COMMON_DESCRIPTOR e = USBD_ParseDescriptors(config, bound, from, USB_ENDPOINT_DESCRIPTOR_TYPE)) {
            ok = ok && inside(e, e->bLength) && e->bLength >= 2;
            from = reinterpret_cast<UCHAR*>(e) + e->bLength;
            if (++guard > 100000) {
                return false;  // the walk does not advance
            }
        }
        start = reinterpret_cast<UCHAR*>(d) + d->bLength;
        if (++guard > 100000) {
            return false;
        }
    }

    // Alternate setting 0 of interface numbers 0.. as listed by bNumInterfaces.
    if (size >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        USBD_INTERFACE_LIST_ENTRY list[257] = {};
        ULONG n = 0;
        for (LONG number = 0; number < 256 && n < config->bNumInterfaces; ++number) {
            PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
            if (d != nullptr) {
                list[n++].InterfaceDescriptor = d;
            }
        }
        if (n > 0) {
            if (PURB urb = USBD_CreateConfigurationRequestEx(config, list)) {
                const UCHAR* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
                for (ULONG i = 0; i < n; ++i) {
                    const auto* info = reinterpret_cast<UCHAR*>(list[i].Interface);
                    ok = ok && info != nullptr && info + list[i].Interface->Length <= end &&
                         list[i].Interface->Length == GET_USBD_INTERFACE_SIZE(list[i].Interface->NumberOfPipes);
                }
                ExFreePool(urb);
            }
        }
    }
    ExFreePoolWithTag(bytes, FUZZ_CONFIG_TAG);
    return ok;
}

}  // namespace kvxfuzz
