// The adapter driver's entry points: driver entry, AddDevice and StartDevice, the subdevice
// installer, and the four dispatch routines the driver keeps in front of PortCls's (create,
// close, device control, PnP) for the private ASIO interface and the removal sequence.
#pragma once

#include "adapter/AdapterExtension.h"
#include "platform/portcls/PortCls.h"

KVX_DEFINE_GUID(AsioDeviceInterfaceGuid, "{D9658E43-F308-4658-946F-288E4B77EB15}");

// At most this many subdevices: the topology filter and the wave filters.
constexpr ULONG ADAPTER_MAX_SUBDEVICES = 20;
// The minimum PortCls version StartDevice accepts.
constexpr ULONG ADAPTER_MIN_PORTCLS_VERSION = 11;
// The system version DriverEntry requires.
constexpr ULONG ADAPTER_MIN_SYSTEM_VERSION = 0x05010000;

// The miniport-factory shape of PortCls: (out IUnknown, class id, outer IUnknown, pool type).
using PFN_CREATE_MINIPORT = NTSTATUS (*)(PUNKNOWN* ppUnknown, REFCLSID ClassId, PUNKNOWN pOuterUnknown,
                                         POOL_TYPE PoolType);

// The driver-wide constant strings DriverEntry initialises.
extern UNICODE_STRING AsioReferenceString;  // "QVASIOPrivateInterface"
extern UNICODE_STRING EnumReferenceString;  // "QVEnumPrivateInterface"
extern UNICODE_STRING AsioFileName;         // "\QVASIOPrivateInterface"

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName);
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Creates one port and its miniport and registers them as a subdevice under the miniport's name.
// The out port (optional) gets a reference; the out miniport none (the port keeps it alive).
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId, REFCLSID MiniportClassId,
                          PFN_CREATE_MINIPORT MiniportCreate, PUNKNOWN UnknownAdapter, PUNKNOWN* OutPortUnknown,
                          PUNKNOWN* OutMiniport);
