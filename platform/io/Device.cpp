// Driver, device and file objects, and device stacks.
#include <cstring>
#include <mutex>

#include "platform/io/IoInternal.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/io/IoHost.h"

namespace platform {

std::mutex& IoDatabaseLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace platform

namespace {

constexpr SHORT IO_TYPE_DRIVER = 4;
constexpr SHORT IO_TYPE_FILE = 5;
constexpr SHORT IO_TYPE_DEVICE = 3;

ULONG g_nextDeviceSerial = 1;

constexpr size_t AlignUp(size_t n) { return (n + 15) & ~size_t{15}; }

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void FreeDevice(void* object) { ExFreePoolWithTag(object, platform::IO_DEVICE_TAG); }

void FreeFile(void* object)
{
    auto* file = static_cast<PFILE_OBJECT>(object);
    RtlFreeUnicodeString(&file->FileName);
    ObDereferenceObject(file->DeviceObject);
    ExFreePoolWithTag(file, platform::IO_FILE_TAG);
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

}  // namespace

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    const size_t header = AlignUp(sizeof(DEVICE_OBJECT)) + AlignUp(sizeof(DEVOBJ_EXTENSION));
    const size_t size = header + DeviceExtensionSize;
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, platform::IO_DEVICE_TAG));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(block, 0, size);
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(block);
    auto* ext = reinterpret_cast<PDEVOBJ_EXTENSION>(block + AlignUp(sizeof(DEVICE_OBJECT)));
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize != 0 ? block + header : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = ext;
    ext->DeviceObject = device;
    const NTSTATUS named = platform::IoNameDevice(device, DeviceName, DeviceCharacteristics);
    if (!NT_SUCCESS(named)) {
        ExFreePoolWithTag(block, platform::IO_DEVICE_TAG);
        return named;
    }
    {
        std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
        ext->Serial = g_nextDeviceSerial++;
        if (DriverObject != nullptr) {
            device->NextDevice = DriverObject->DeviceObject;
            DriverObject->DeviceObject = device;
        }
    }
    platform::ObRegister(device, "Device", FreeDevice);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    {
        std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
        PDEVOBJ_EXTENSION ext = DeviceObject->DeviceObjectExtension;
        if (ext->DeletePending) {
            platform::VerifierFault("IO_DELETE_TWICE", "device %p deleted twice", static_cast<void*>(DeviceObject));
            return;
        }
        // Both are driver bugs; the links are cut so that the stack holds no dangling pointer.
        if (DeviceObject->AttachedDevice != nullptr) {
            platform::VerifierFault("IO_DELETE_ATTACHED", "device %p deleted while device %p is attached to it",
                                    static_cast<void*>(DeviceObject), static_cast<void*>(DeviceObject->AttachedDevice));
            DeviceObject->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
            DeviceObject->AttachedDevice = nullptr;
        }
        if (ext->AttachedTo != nullptr) {
            platform::VerifierFault("IO_DELETE_NOT_DETACHED", "device %p deleted while still attached to %p",
                                    static_cast<void*>(DeviceObject), static_cast<void*>(ext->AttachedTo));
            ext->AttachedTo->AttachedDevice = nullptr;
            ext->AttachedTo = nullptr;
        }
        ext->DeletePending = TRUE;
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        if (driver != nullptr) {
            for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
                if (*link == DeviceObject) {
                    *link = DeviceObject->NextDevice;
                    break;
                }
            }
        }
        DeviceObject->NextDevice = nullptr;
    }
    platform::IoForgetDeviceName(DeviceObject);
    platform::IoForgetInterfacesOf(DeviceObject);
    platform::IoForgetPropertiesOf(DeviceObject);
    ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    PDEVICE_OBJECT top = TopOf(TargetDevice);
    if (top->DeviceObjectExtension->DeletePending) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    PDEVICE_OBJECT source = TargetDevice->AttachedDevice;
    if (source == nullptr) {
        platform::VerifierFault("IO_DETACH_NOTHING", "nothing is attached to device %p",
                                static_cast<void*>(TargetDevice));
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    source->DeviceObjectExtension->AttachedTo = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    return TopOf(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    PDEVICE_OBJECT top = TopOf(DeviceObject);
    ObReferenceObject(top);
    return top;
}

namespace platform {

PDRIVER_OBJECT IoCreateDriverObject(std::u16string_view driverName)
{
    const size_t size = AlignUp(sizeof(DRIVER_OBJECT)) + sizeof(DRIVER_EXTENSION);
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, IO_DRIVER_TAG));
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, size);
    auto* driver = reinterpret_cast<PDRIVER_OBJECT>(block);
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = static_cast<SHORT>(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(block + AlignUp(sizeof(DRIVER_OBJECT)));
    driver->DriverExtension->DriverObject = driver;
    for (auto& routine : driver->MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    if (!NT_SUCCESS(RtlAllocateUnicodeString(&driver->DriverName, driverName))) {
        ExFreePoolWithTag(block, IO_DRIVER_TAG);
        return nullptr;
    }
    return driver;
}

void IoDeleteDriverObject(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject != nullptr) {
        VerifierFault("IO_DRIVER_DEVICES_LEFT", "driver object %p deleted with device %p left",
                      static_cast<void*>(driver), static_cast<void*>(driver->DeviceObject));
    }
    RtlFreeUnicodeString(&driver->DriverName);
    ExFreePoolWithTag(driver, IO_DRIVER_TAG);
}

PFILE_OBJECT IoCreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName)
{
    auto* file = static_cast<PFILE_OBJECT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FILE_OBJECT), IO_FILE_TAG));
    if (file == nullptr) {
        return nullptr;
    }
    std::memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = static_cast<SHORT>(sizeof(FILE_OBJECT));
    if (!NT_SUCCESS(RtlAllocateUnicodeString(&file->FileName, fileName))) {
        ExFreePoolWithTag(file, IO_FILE_TAG);
        return nullptr;
    }
    // An open file keeps its device object alive.
    ObReferenceObject(device);
    file->DeviceObject = device;
    ObRegister(file, "File", FreeFile);
    return file;
}

void IoDeleteFileObject(PFILE_OBJECT file) { ObDereferenceObject(file); }

}  // namespace platform
