// The text form of a Description: a device block, one stream table per endpoint with its rates
// per alternate setting, and one mixer block per entity with its controls' ranges in dB.
#pragma once

#include <string>

#include "tools/Description.h"

namespace kvx {

std::string PrintText(const Description& description);

}  // namespace kvx
