// The JSON form of a Description: keys in a fixed order, two-space indent.
#pragma once

#include <string>

#include "tools/Description.h"

namespace kvx {

std::string PrintJson(const Description& description);

}  // namespace kvx
