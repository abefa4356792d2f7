// The topology filter's automation: the tables its descriptor and nodes point to, the private
// property sets and node names, and the handlers behind them.
#pragma once

#include "adapter/DriverGuids.h"
#include "platform/portcls/PortCls.h"

KVX_DEFINE_GUID(NodeGuidPropertySetIid, "{00A34C4A-26E6-4095-98E9-77FAE2F11FB6}");
KVX_DEFINE_GUID(OutputSelectPropertySetIid, "{ED76304D-B322-4ECB-9B9E-8E13C1465F04}");
KVX_DEFINE_GUID(TerminalInfoPropertySetIid, "{A210D309-0822-456B-BD3C-2196567CADA7}");
KVX_DEFINE_GUID(ProcessingPropertySetIid, "{369C31B9-34E6-4640-99B6-ADD16CF11994}");

// Names of the nodes that carry the driver's own controls.
KVX_DEFINE_GUID(GainPadNodeName, "{BAE3AD68-0CB6-4A9A-94B5-0BB628C41D7A}");
KVX_DEFINE_GUID(MidNodeName, "{A2CBE478-AE84-49A1-8B72-4AD09B78ED34}");
KVX_DEFINE_GUID(OutputSelectNodeName, "{0D18F5A4-5721-4A07-92E5-843099FA8FDB}");
KVX_DEFINE_GUID(VendorSwitchNodeName, "{FDA49636-C86D-4E91-A707-A1252E3F19E6}");
KVX_DEFINE_GUID(LedSwitchNodeName, "{DB357A6F-C4B1-4390-8C07-CBDFA9D5C047}");

// Ids of the private sets.
constexpr ULONG DRIVER_PROPERTY_VERSION = 2;
constexpr ULONG DRIVER_PROPERTY_LEVEL_WITH_EVENT = 3;
constexpr ULONG DRIVER_PROPERTY_JACKS = 4;
constexpr ULONG DRIVER_VERSION = 0x00030000;
constexpr ULONG NODE_GUID_PROPERTY = 1;
constexpr ULONG OUTPUT_SELECT_KINDS = 1;
constexpr ULONG OUTPUT_SELECT_ACTIVE = 2;
constexpr ULONG TERMINAL_INFO_PROPERTY = 1;
constexpr ULONG PROCESSING_NODE_GUID = 1;
constexpr ULONG PROCESSING_PARAMETER_COUNT = 2;
constexpr ULONG PROCESSING_PARAMETER_INFO = 3;
constexpr ULONG PROCESSING_PARAMETERS = 4;

extern const PCAUTOMATION_TABLE TopologyFilterAutomation;
extern const PCAUTOMATION_TABLE VolumeNodeAutomation;
extern const PCAUTOMATION_TABLE ToneNodeAutomation;
extern const PCAUTOMATION_TABLE MuteNodeAutomation;
extern const PCAUTOMATION_TABLE AgcNodeAutomation;
extern const PCAUTOMATION_TABLE LoudnessNodeAutomation;
extern const PCAUTOMATION_TABLE MuxNodeAutomation;
extern const PCAUTOMATION_TABLE SingleInputSelectorAutomation;
extern const PCAUTOMATION_TABLE PrivateControlNodeAutomation;
extern const PCAUTOMATION_TABLE OutputSelectNodeAutomation;
extern const PCAUTOMATION_TABLE ProcessingNodeAutomation;

NTSTATUS HandleOnOff(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleLevel(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleMuxSource(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleDevSpecific(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleNodeGuid(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleDriverVersion(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleDriverJacks(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleJack(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleTerminalInfo(PPCPROPERTY_REQUEST pRequest);
NTSTATUS HandleControlChangeEvent(PPCEVENT_REQUEST pRequest);
// Basic support of a private DEV_SPECIFIC value of the given variant type, named by `guid`.
NTSTATUS DescribePrivateValue(PPCPROPERTY_REQUEST pRequest, ULONG varType, const GUID& guid);
