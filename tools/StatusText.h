// NTSTATUS values by name for the messages of `kvx`: "STATUS_INVALID_PARAMETER (0xC000000D)".
#pragma once

#include <string>

#include "platform/nt/NtTypes.h"

namespace kvx {

// The status's name and value; the value alone when the platform does not define it.
std::string StatusText(NTSTATUS status);

}  // namespace kvx
