// The driver's own GUIDs that several folders share: the private interface every filter is listed
// under, and the driver's private property set (served by the topology and the wave filters).
#pragma once

#include "platform/portcls/Unknown.h"

KVX_DEFINE_GUID(EnumDeviceInterfaceGuid, "{A9B75B82-E643-47B9-8B3C-30D19454E2C6}");
KVX_DEFINE_GUID(DriverPropertySetIid, "{1B4400F0-9627-4EE7-A593-B37C034EF0DE}");
