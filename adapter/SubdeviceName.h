// The interface every miniport that the adapter installs answers: the name its subdevice is
// registered under, and the filter pin that carries an entity (the end of the physical
// connection between a wave filter and the topology filter).
#pragma once

#include "platform/portcls/Unknown.h"

KVX_DEFINE_GUID(SubdeviceNameIid, "{1C704CEB-6111-4878-A9AF-0575E1C79F76}");

class ISubdeviceName : public IUnknown {
public:
    // In: an entity id; out: the index of the filter pin whose entity has that id (0 when none,
    // with STATUS_UNSUCCESSFUL). A wave miniport answers the id of its endpoint's streaming
    // terminal instead.
    virtual NTSTATUS GetBridgePin(PULONG Value) = 0;
    // The subdevice's name; null out pointer: STATUS_INVALID_PARAMETER.
    virtual NTSTATUS GetName(PWSTR* Name) = 0;

protected:
    ~ISubdeviceName() = default;
};
using PSUBDEVICENAME = ISubdeviceName*;
