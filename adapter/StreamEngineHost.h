// Host and test interface of the stream engine (not kernel API; driver code never includes it).
#pragma once

#include "adapter/StreamEngine.h"

// The index-th processing node of the engine, without a reference; null past the end.
IProcessingNode* StreamEngineNodeForHost(StreamEngine* pEngine, ULONG ulIndex);
