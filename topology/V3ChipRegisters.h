// What the V3 units and endpoints need of the V3 function: its chip register writes. The function
// (usb/) implements it; the units keep it without a reference, as they keep their owner.
#pragma once

#include "platform/nt/NtTypes.h"

class IV3ChipRegisters {
public:
    // Read-merge-send-update of one of the six chip registers; mask 0 sends nothing. PASSIVE_LEVEL.
    virtual NTSTATUS WriteRegister(ULONG ulRegister, USHORT value, USHORT mask) = 0;

protected:
    ~IV3ChipRegisters() = default;
};
