// Everything a driver source needs of the port-class stand-in.
#pragma once

#include "platform/portcls/Unknown.h"
#include "platform/portcls/RegistryKey.h"
