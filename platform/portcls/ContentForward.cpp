// Content forwarding of the port-class stand-in: nothing below protects content, so a forward is
// only checked and recorded for tests.
#include <mutex>
#include <vector>

#include "platform/portcls/PortClsHost.h"

namespace {
std::mutex g_forwardLock;
std::vector<platform::PcContentForward> g_forwards;
}  // namespace

NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PDRMFORWARD DrmForward)
{
    UNREFERENCED_PARAMETER(Reserved);
    if (DrmForward == nullptr || DrmForward->DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_forwardLock);
    g_forwards.push_back({ContentId, *DrmForward});
    return STATUS_SUCCESS;
}

namespace platform {

std::vector<PcContentForward> PcContentForwards()
{
    std::lock_guard<std::mutex> guard(g_forwardLock);
    return g_forwards;
}

void PcContentForwardsClear()
{
    std::lock_guard<std::mutex> guard(g_forwardLock);
    g_forwards.clear();
}

}  // namespace platform
