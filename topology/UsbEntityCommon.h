// What the USB-bound entities share: the names of their values under "Settings", the query of
// their unit for one control interface (released when the operation ends) and the notification of
// a changed entity.
#pragma once

#include "adapter/AudioTypes.h"
#include "adapter/SettingsStore.h"
#include "platform/nt/Callback.h"
#include "platform/nt/RtlString.h"
#include "topology/UsbAudioUnit.h"

// Characters of the per-channel name prefix; the full name (prefix and channel) has 50.
constexpr size_t USB_ENTITY_PREFIX_CHARS = 19;

constexpr ULONG USB_TERMINAL_TEMP_TAG = MakePoolTag("Term");
constexpr ULONG USB_MIXER_TEMP_TAG = MakePoolTag("TMix");

// "Unit05_ 2_": the entity id and the output kind (padded to two), followed by the channel.
inline void FormatChannelPrefix(WCHAR (&prefix)[USB_ENTITY_PREFIX_CHARS], ULONG ulEntityId, ULONG ulKind)
{
    RtlStringCbPrintfW(prefix, sizeof(prefix), u"%s%02d_%2d_", u"Unit", static_cast<int>(ulEntityId),
                       static_cast<int>(ulKind));
}

// "Unit05_": the name of an entity's one value.
inline void FormatUnitName(WCHAR (&name)[USB_ENTITY_PREFIX_CHARS], ULONG ulEntityId)
{
    RtlStringCbPrintfW(name, sizeof(name), u"%s%02d_", u"Unit", static_cast<int>(ulEntityId));
}

// Reads or writes one per-channel value of an entity for an output kind.
inline NTSTATUS AccessChannelValue(PDEVICE_OBJECT pDevice, ULONG ulOperation, ULONG ulEntityId, ULONG ulKind,
                                   ULONG ulChannel, PVOID pBuffer, ULONG cbBuffer)
{
    WCHAR prefix[USB_ENTITY_PREFIX_CHARS];
    FormatChannelPrefix(prefix, ulEntityId, ulKind);
    return AccessIndexedSettingsBinary(pDevice, ulOperation, pBuffer, cbBuffer, prefix, static_cast<LONG>(ulChannel));
}

// Reads or writes an entity's one value (selector input, active kind, enable byte).
inline NTSTATUS AccessUnitValue(PDEVICE_OBJECT pDevice, ULONG ulOperation, ULONG ulEntityId, PVOID pBuffer,
                                ULONG cbBuffer)
{
    WCHAR name[USB_ENTITY_PREFIX_CHARS];
    FormatUnitName(name, ulEntityId);
    return AccessSettingsBinary(pDevice, ulOperation, pBuffer, cbBuffer, name);
}

// The unit's interface `iid`, with a reference that the caller releases; null without a unit.
template <typename I>
NTSTATUS QueryUnitInterface(TopologyNode* pUnit, REFIID iid, I** ppInterface)
{
    *ppInterface = nullptr;
    if (pUnit == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return pUnit->QueryInterface(iid, reinterpret_cast<PVOID*>(ppInterface));
}

// The change message of one entity on the function's callback object.
inline void NotifyEntityChange(PVOID pCallbackObject, ULONG ulEntityId)
{
    EntityChangeMessage message = {1, 1, ulEntityId, nullptr};
    ExNotifyCallback(pCallbackObject, &message, nullptr);
}
