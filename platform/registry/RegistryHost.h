// Host and test side of the registry and file stand-ins (not part of the kernel API): the
// machine's registry tree, the folder behind "\SystemRoot\", and the table that gives physical
// device objects their registry keys (their hardware ids are I/O-manager properties).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/NtTypes.h"

namespace platform {

// ---- registry tree ----

// Empties the machine's registry and sets up the standard skeleton (the Enum, Control\Class and
// Services keys of \Registry\Machine\SYSTEM\CurrentControlSet, and \Registry\Machine\SOFTWARE);
// also forgets the device table. Keys still open through handles count as deleted from then on.
void RegistryReset();

// Saves every non-volatile key and value to `file`, atomically: the text goes to a temporary file
// beside it that is then renamed into place, so `file` is always either the old or the whole new
// save. The last line counts the records and carries a checksum. False when it cannot be written
// (the old file stays as it was).
bool RegistrySave(const std::filesystem::path& file);

// Why a load was refused: the 1-based line (0 when the file could not be read at all).
struct RegistryLoadError {
    size_t Line = 0;
    std::string Reason;
};
// Replaces the tree with the contents of `file` (open keys count as deleted, as after a reset).
// A file that cannot be read, is cut short, damaged (record count or checksum wrong), nests keys
// deeper than 512 or carries a number outside 32 bits is refused: false, the tree unchanged, and
// `error` (when given) names the line.
bool RegistryLoad(const std::filesystem::path& file, RegistryLoadError* error = nullptr);

struct RegistryValue {
    ULONG Type = 0;
    std::vector<uint8_t> Data;
};

// Paths are full key paths such as "\Registry\Machine\SOFTWARE\X", compared case-insensitively.
// Keys nest at most 512 deep: a longer path is neither created nor found.
bool RegistryKeyExists(std::u16string_view keyPath);
// Creates the key and every missing parent.
void RegistryCreateKeyPath(std::u16string_view keyPath);
std::optional<RegistryValue> RegistryGetValue(std::u16string_view keyPath, std::u16string_view valueName);
// Creates the key path when needed.
void RegistrySetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                      const std::vector<uint8_t>& data);
void RegistrySetDword(std::u16string_view keyPath, std::u16string_view valueName, uint32_t value);
// Names of the subkeys and values of a key, in creation order (empty when the key is missing).
std::vector<std::u16string> RegistrySubkeyNames(std::u16string_view keyPath);
std::vector<std::u16string> RegistryValueNames(std::u16string_view keyPath);

// Key handles currently open (ZwOpenKey/ZwCreateKey and PortCls key objects), so that a test can
// see a key left open.
size_t RegistryOpenKeyCount();

// ---- files ----

// The host folder that "\SystemRoot\" names. Empty: no system root, every open fails.
void SetSystemRoot(const std::filesystem::path& folder);
std::filesystem::path GetSystemRoot();
// File handles currently open.
size_t FileOpenCount();

// ---- devices ----

// The two hardware ids a USB device reports, as the bus driver gives them to its physical device
// object (DevicePropertyHardwareID): "USB\VID_vvvv&PID_pppp&REV_rrrr" and "USB\VID_vvvv&PID_pppp".
void DeviceSetUsbHardwareIds(PDEVICE_OBJECT physicalDevice, uint16_t vendorId, uint16_t productId, uint16_t revision);
// The device-instance key "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<deviceId>\<instance>"
// of a physical device object, with its "Device Parameters" subkey; the keys are created.
void DeviceSetInstancePath(PDEVICE_OBJECT physicalDevice, std::u16string_view deviceId, std::u16string_view instance);
std::u16string DeviceInstanceKeyPath(PDEVICE_OBJECT physicalDevice);
// The driver (software) key of a physical device object; created.
void DeviceSetDriverKeyPath(PDEVICE_OBJECT physicalDevice, std::u16string_view keyPath);
std::u16string DeviceDriverKeyPath(PDEVICE_OBJECT physicalDevice);
// The bottom of the device's stack: the physical device object that port-class calls made with
// a functional device object reach.
PDEVICE_OBJECT DevicePhysicalDevice(PDEVICE_OBJECT device);
// Drops what the table holds for the device (when it is deleted).
void DeviceForget(PDEVICE_OBJECT physicalDevice);

// Sets up a USB device the way the bus driver and the installer would: the hardware ids, the
// instance key "USB\VID_vvvv&PID_pppp\<instance>" and the driver key
// "\Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\<nnnn>".
void DeviceSetUpUsb(PDEVICE_OBJECT physicalDevice, uint16_t vendorId, uint16_t productId, uint16_t revision,
                    std::u16string_view instance = u"5&1a2b3c4d&0&1", unsigned driverKeyIndex = 0);

}  // namespace platform
