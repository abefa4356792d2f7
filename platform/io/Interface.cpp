// Device interfaces: registrations per physical device, interface class and reference string,
// each with a symbolic link whose enabled state tests and the host can see.
#include <cstdio>
#include <vector>

#include "platform/io/IoInternal.h"
#include "platform/nt/Irql.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/io/IoHost.h"

namespace {

std::vector<platform::DeviceInterfaceRecord>& Records()
{
    static std::vector<platform::DeviceInterfaceRecord> records;
    return records;
}

std::u16string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return platform::ToU16(std::string_view(text));
}

platform::DeviceInterfaceRecord* FindByLink(std::u16string_view link)
{
    for (auto& r : Records()) {
        if (platform::EqualTextNoCase(r.SymbolicLink, link)) {
            return &r;
        }
    }
    return nullptr;
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (PhysicalDeviceObject == nullptr || InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string link;
    {
        std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
        // Interfaces belong to the physical device at the bottom of a stack.
        if (PhysicalDeviceObject->DeviceObjectExtension->AttachedTo != nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const std::u16string reference = platform::ToU16(ReferenceString);
        for (const auto& r : Records()) {
            if (r.PhysicalDevice == PhysicalDeviceObject && r.InterfaceClass == *InterfaceClassGuid &&
                platform::EqualTextNoCase(r.ReferenceString, reference)) {
                link = r.SymbolicLink;
                break;
            }
        }
        if (link.empty()) {
            char device[32];
            std::snprintf(device, sizeof device, "\\??\\KVX#DEVICE#%04u#",
                          static_cast<unsigned>(PhysicalDeviceObject->DeviceObjectExtension->Serial));
            link = platform::ToU16(std::string_view(device)) + GuidText(*InterfaceClassGuid);
            if (!reference.empty()) {
                link += u"\\" + reference;
            }
            Records().push_back({PhysicalDeviceObject, *InterfaceClassGuid, reference, link, false});
        }
    }
    const NTSTATUS status = platform::RtlAllocateUnicodeString(SymbolicLinkName, link);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    platform::DeviceInterfaceRecord* r = FindByLink(platform::ToU16(SymbolicLinkName));
    if (r == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (Enable && r->Enabled) {
        return STATUS_OBJECT_NAME_EXISTS;
    }
    if (!Enable && !r->Enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    r->Enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

namespace platform {

void IoForgetInterfacesOf(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    auto& records = Records();
    std::erase_if(records, [&](const DeviceInterfaceRecord& r) { return r.PhysicalDevice == physicalDevice; });
}

InterfaceState IoInterfaceState(std::u16string_view symbolicLink)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    const DeviceInterfaceRecord* r = FindByLink(symbolicLink);
    if (r == nullptr) {
        return InterfaceState::Unknown;
    }
    return r->Enabled ? InterfaceState::Enabled : InterfaceState::Disabled;
}

std::vector<DeviceInterfaceRecord> IoInterfaces()
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    return Records();
}

std::vector<DeviceInterfaceRecord> IoEnabledInterfaces(const GUID& interfaceClass)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    std::vector<DeviceInterfaceRecord> result;
    for (const auto& r : Records()) {
        if (r.Enabled && r.InterfaceClass == interfaceClass) {
            result.push_back(r);
        }
    }
    return result;
}

void IoReset()
{
    {
        std::lock_guard<std::mutex> guard(IoDatabaseLock());
        Records().clear();
    }
    IoForgetAllProperties();
    IoForgetAllSymbolicLinks();
    IoForgetProcesses();
}

}  // namespace platform
