// Simulator-only (not driver code): device profiles. A profile is a JSON file that replays a
// device from a capture of its descriptors plus a table of answers:
//
//   "descriptors"     path (relative to the profile) of a binary file: the device descriptor, then
//                     each whole configuration descriptor (wTotalLength bytes each);
//   "descriptorsHex"  the same bytes as hex text (one of the two is required);
//   "speed"           "full" or "high" (default: high for a device with a UAC2 function, else full);
//   "strings"         { index (decimal or 0x hex): text }, language 0x0409;
//   "controls"        [ { "unit", "selector", "channel" (number or "*"), "cur", "min", "max", "res",
//                       optional "size" in bytes } ] in the device's wire units;
//   "clockRates"      { UAC2 clock source id: [ rates ] };
//   "requests"        [ { "setup": "8 bytes hex", "reply": "hex" } or { "setup": ..., "stall": true } ];
//   "vendorSwitches"  [ { "unit", "selector", "cur" } ]: one-byte vendor on/off controls (VendorSwitches);
//   "loopback"        { "out", "in", "delay" } or a list of them: the OUT endpoint played back into
//                     the IN endpoint, "delay" sample frames later (Loopback; addresses decimal or
//                     "0x" hex text).
//
// Anything malformed is refused with one line saying where and what.
#pragma once

#include <memory>
#include <string>

#include "sim/SimDevice.h"

namespace sim {

// Null and a one-line *error when the text is not a valid profile; file paths in it are taken
// relative to `baseDirectory`.
std::unique_ptr<SimDevice> ParseProfile(const std::string& text, const std::string& baseDirectory,
                                        std::string* error);
// The same from a file; the error starts with the file's path.
std::unique_ptr<SimDevice> LoadProfile(const std::string& path, std::string* error);
// A profile that replays the device as it stands (descriptors as hex, every control listed).
std::string SaveProfile(SimDevice& device);

}  // namespace sim
