// Simulator-only (not driver code): vendor values a device keeps. A vendor OUT request that no raw
// answer lists writes its data over the reply of the matching raw IN answer (same request, wValue
// and wIndex), so that a value the host sets (a selected output, say) reads back as set.
#pragma once

#include <vector>

#include "sim/SimDevice.h"

namespace sim {

// True when the write was taken (and the reply replaced).
bool WriteBackRaw(std::vector<RawRequest>& raws, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, const UCHAR* data,
                  ULONG length);

}  // namespace sim
