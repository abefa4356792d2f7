// One install, start, read and removal of the adapter driver on a simulated device.
#include "tools/DriverSession.h"

#include <map>
#include <sstream>

#include "adapter/driver/Adapter.h"
#include "host/PnpManager.h"
#include "platform/nt/DebugHost.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/registry/RegistryHost.h"
#include "sim/SimPort.h"
#include "tools/DriverReader.h"
#include "tools/StatusText.h"

namespace kvx {
namespace {

constexpr char FUNCTION_TRACE[] = "UsbAudioDevice: function ";

// The class the device object's CreateFunction made, from its trace line (the last one wins).
std::optional<std::string> FunctionFromTrace(const std::string& log)
{
    std::optional<std::string> function;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const auto at = line.find(FUNCTION_TRACE);
        if (at != std::string::npos) function = line.substr(at + sizeof(FUNCTION_TRACE) - 1);
    }
    return function;
}

}  // namespace

std::string StartFailureReason(const std::string& debugLog, NTSTATUS status)
{
    std::string reason;
    std::istringstream lines(debugLog);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty() && line.find(FUNCTION_TRACE) == std::string::npos) reason = line;
    }
    return reason.empty() ? "the driver printed no reason; its start failed with " + StatusText(status) : reason;
}

Description DescribeDevice(std::unique_ptr<sim::SimDevice> device)
{
    Description description;
    if (device == nullptr) {
        description.Status = static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
        return description;
    }
    // idVendor and idProduct of the device descriptor (little-endian at offsets 8 and 10).
    const std::vector<UCHAR> deviceDescriptor = device->DeviceDescriptor();
    if (deviceDescriptor.size() >= 12) {
        description.VendorId = static_cast<uint16_t>(deviceDescriptor[8] | deviceDescriptor[9] << 8);
        description.ProductId = static_cast<uint16_t>(deviceDescriptor[10] | deviceDescriptor[11] << 8);
    }
    // What the descriptors and strings say, read before the device is plugged in.
    description.HighSpeed = device->HighSpeedFlag();
    const std::map<uint8_t, std::u16string> strings = device->Strings();
    auto text = [&strings](uint8_t index) {
        std::string out;
        auto it = strings.find(index);
        if (index != 0 && it != strings.end()) {
            for (char16_t c : it->second) out += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return out;
    };
    if (deviceDescriptor.size() >= 16) {
        description.Manufacturer = text(deviceDescriptor[14]);
        description.Product = text(deviceDescriptor[15]);
    }
    {
        const sim::Bytes& c = device->ConfigurationBytes();
        uint32_t interface = 0, alternate = 0;
        for (size_t at = 0; at + 1 < c.size() && c[at] >= 2; at += c[at]) {
            if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 3 < c.size()) {
                interface = c[at + 2];
                alternate = c[at + 3];
            } else if (c[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at + 6 < c.size() && (c[at + 3] & 3) == 1) {
                description.AlternateEndpoints.push_back({interface, alternate, c[at + 2], c[at + 3], c[at + 6]});
            }
        }
    }
    platform::RegistryReset();
    platform::SetSystemVersion(NTDDI_WIN10);
    platform::PcSetVersion(PORTCLS_VERSION_DEFAULT);
    platform::DebugLogTake();

    auto port = sim::SimPort::PlugIn(std::move(device));
    if (port == nullptr) {
        description.Status = static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES);
        return description;
    }
    const PDEVICE_OBJECT pdo = port->Pdo();
    {
        host::PnpManager pnp;
        NTSTATUS status = pnp.LoadDriver(u"UsbAudioAdapter", DriverEntry);
        if (NT_SUCCESS(status)) status = pnp.AddDevice(pdo);
        const bool added = NT_SUCCESS(status);
        if (added) status = pnp.Start(pdo);
        description.Status = static_cast<uint32_t>(status);
        const std::string log = platform::DebugLogTake();
        description.Function = FunctionFromTrace(log);
        if (!NT_SUCCESS(status)) description.Reason = StartFailureReason(log, status);
        if (added) {
            AdapterExtension* extension = GetAdapterExtension(pnp.TopOfStack(pdo));
            IAudioHal* hal = extension != nullptr ? extension->Device : nullptr;
            if (NT_SUCCESS(status) && hal != nullptr) {
                description.Started = true;
                ReadEndpoints(hal, &description);
                ReadEntities(hal, &description);
                ReadV3(hal, &description);
            }
            pnp.Remove(pdo);
        }
        if (pnp.Driver() != nullptr) pnp.UnloadDriver();
    }
    return description;
}

}  // namespace kvx
