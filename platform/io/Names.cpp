// The object namespace of the I/O manager: device names and symbolic links.
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/io/IoInternal.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/io/IoHost.h"

namespace {

// Links lead to links at most this deep; deeper is taken for a loop.
constexpr int MAX_LINK_HOPS = 32;

struct NameEntry {
    PDEVICE_OBJECT Device = nullptr;  // a device name
    std::u16string Target;            // else a symbolic link to this name
};

struct Namespace {
    std::map<std::u16string, NameEntry> Names;  // by key
    std::unordered_map<PDEVICE_OBJECT, std::u16string> KeyOfDevice;
    ULONG NextAutomatic = 1;
};

Namespace& Space()
{
    static Namespace space;
    return space;
}

// The comparison key: upper case, with the aliases of the DOS device directory folded together.
std::u16string KeyOf(std::u16string_view name)
{
    std::u16string key;
    key.reserve(name.size());
    for (char16_t c : name) {
        key.push_back(RtlUpcaseUnicodeChar(c));
    }
    for (std::u16string_view alias : {std::u16string_view(u"\\DOSDEVICES\\"), std::u16string_view(u"\\GLOBAL??\\")}) {
        if (key.compare(0, alias.size(), alias) == 0) {
            key = u"\\??\\" + key.substr(alias.size());
            break;
        }
    }
    return key;
}

bool SyntaxOk(std::u16string_view name) { return !name.empty() && name[0] == u'\\'; }

}  // namespace

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (SymbolicLinkName == nullptr || DeviceName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string link = platform::ToU16(SymbolicLinkName);
    const std::u16string target = platform::ToU16(DeviceName);
    if (!SyntaxOk(link) || !SyntaxOk(target)) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    NameEntry entry;
    entry.Target = target;
    return Space().Names.emplace(KeyOf(link), std::move(entry)).second ? STATUS_SUCCESS
                                                                        : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    auto it = Space().Names.find(KeyOf(platform::ToU16(SymbolicLinkName)));
    if (it == Space().Names.end() || it->second.Device != nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Space().Names.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    *FileObject = nullptr;
    *DeviceObject = nullptr;
    if (ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = platform::ToU16(ObjectName);
    if (!SyntaxOk(name)) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    PDEVICE_OBJECT device = nullptr;
    std::u16string rest;  // the path below the device: the file's name
    {
        std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
        const auto& names = Space().Names;
        for (int hop = 0; hop <= MAX_LINK_HOPS && device == nullptr; ++hop) {
            // The longest leading part of the path, ending at a backslash, that has a name.
            const std::u16string key = KeyOf(name);
            size_t length = key.size();
            auto found = names.end();
            while (length > 1) {
                found = names.find(key.substr(0, length));
                if (found != names.end()) {
                    break;
                }
                length = key.rfind(u'\\', length - 1);
                if (length == std::u16string::npos || length == 0) {
                    break;
                }
            }
            if (found == names.end()) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            // Aliases fold only a prefix, so the key's length maps back onto the name after it.
            const size_t tail = key.size() - length;
            if (found->second.Device != nullptr) {
                device = found->second.Device;
                rest = name.substr(name.size() - tail);
            } else {
                name = found->second.Target + name.substr(name.size() - tail);
            }
        }
        if (device == nullptr || device->DeviceObjectExtension->DeletePending) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        // Held until the file has its own reference.
        ObReferenceObject(device);
    }
    PFILE_OBJECT file = platform::IoCreateFileObject(device, rest);
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    ObDereferenceObject(device);
    if (file == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *FileObject = file;
    *DeviceObject = top;
    return STATUS_SUCCESS;
}

namespace platform {

NTSTATUS IoNameDevice(PDEVICE_OBJECT device, PCUNICODE_STRING name, ULONG characteristics)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    Namespace& space = Space();
    std::u16string text = name != nullptr ? ToU16(name) : std::u16string();
    if (text.empty()) {
        if ((characteristics & FILE_AUTOGENERATED_DEVICE_NAME) == 0) {
            return STATUS_SUCCESS;
        }
        char automatic[24];
        do {
            std::snprintf(automatic, sizeof automatic, "\\Device\\%08X", static_cast<unsigned>(space.NextAutomatic++));
            text = ToU16(std::string_view(automatic));
        } while (space.Names.count(KeyOf(text)) != 0);
    }
    if (!SyntaxOk(text)) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::u16string key = KeyOf(text);
    NameEntry entry;
    entry.Device = device;
    if (!space.Names.emplace(key, std::move(entry)).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    space.KeyOfDevice[device] = std::move(key);
    return STATUS_SUCCESS;
}

void IoForgetDeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    Namespace& space = Space();
    auto it = space.KeyOfDevice.find(device);
    if (it != space.KeyOfDevice.end()) {
        space.Names.erase(it->second);
        space.KeyOfDevice.erase(it);
    }
}

void IoForgetAllSymbolicLinks()
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    auto& names = Space().Names;
    for (auto it = names.begin(); it != names.end();) {
        it = it->second.Device == nullptr ? names.erase(it) : std::next(it);
    }
}

}  // namespace platform
