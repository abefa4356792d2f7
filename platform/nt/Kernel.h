// Everything a driver source needs of the kernel executive stand-in.
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Sync.h"
#include "platform/nt/SyncMutex.h"
#include "platform/nt/Dpc.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Thread.h"
#include "platform/nt/WorkItem.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Callback.h"
#include "platform/nt/Time.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Lookaside.h"
#include "platform/nt/List.h"
#if __has_include("platform/nt/RtlString.h")
#include "platform/nt/RtlString.h"
#endif
#if __has_include("platform/nt/RtlMemory.h")
#include "platform/nt/RtlMemory.h"
#endif
