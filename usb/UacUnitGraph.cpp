#include "usb/UacUnitGraph.h"

#include <cstring>

#include "platform/nt/Debug.h"
#include "platform/nt/Irql.h"
#include "usb/UacDescriptors.h"

namespace {
constexpr UCHAR UNSEEN = 0;
constexpr UCHAR ON_PATH = 1;
constexpr UCHAR DONE = 2;
}  // namespace

UacUnitGraph::UacUnitGraph(UacVersion version) : m_version(version)
{
    std::memset(m_pUnits, 0, sizeof m_pUnits);
    std::memset(m_colour, 0, sizeof m_colour);
    std::memset(m_path, 0, sizeof m_path);
}

void* UacUnitGraph::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void* p = ExAllocatePoolWithTag(poolType, size, tag);
    if (p != nullptr) {
        std::memset(p, 0, size);
    }
    return p;
}

void UacUnitGraph::operator delete(void* p) noexcept
{
    if (p != nullptr) {
        ExFreePool(p);
    }
}

void UacUnitGraph::operator delete(void* p, POOL_TYPE, ULONG) noexcept
{
    if (p != nullptr) {
        ExFreePool(p);
    }
}

void UacUnitGraph::AddUnit(const UCHAR* pDescriptor)
{
    PAGED_CODE();
    const UCHAR id = pDescriptor[3];
    if (m_pUnits[id] == nullptr) {
        m_pUnits[id] = pDescriptor;
    }
}

const UCHAR* UacUnitGraph::FindUnit(UCHAR id) const { return m_pUnits[id]; }

NTSTATUS UacUnitGraph::CheckSources(const UCHAR* pDescriptor) const
{
    PAGED_CODE();
    const UCHAR* pSources = nullptr;
    ULONG count = 0;
    GetUacUnitSources(pDescriptor, &pSources, &count);
    for (ULONG i = 0; i < count; ++i) {
        if (m_pUnits[pSources[i]] == nullptr) {
            DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC%lu: unit %u names source %u, which is no unit\n",
                       static_cast<ULONG>(m_version), pDescriptor[3], pSources[i]);
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS UacUnitGraph::Check()
{
    PAGED_CODE();
    for (ULONG id = 0; id < UNIT_IDS; ++id) {
        if (m_pUnits[id] != nullptr) {
            NTSTATUS status = CheckSources(m_pUnits[id]);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    std::memset(m_colour, UNSEEN, sizeof m_colour);
    // Depth first from every unit; meeting a unit that is on the current path closes a loop.
    for (ULONG root = 0; root < UNIT_IDS; ++root) {
        if (m_pUnits[root] == nullptr || m_colour[root] != UNSEEN) {
            continue;
        }
        ULONG depth = 0;
        m_path[depth++] = {static_cast<UCHAR>(root), 0};
        m_colour[root] = ON_PATH;
        while (depth > 0) {
            Frame& top = m_path[depth - 1];
            const UCHAR* pSources = nullptr;
            ULONG count = 0;
            GetUacUnitSources(m_pUnits[top.Id], &pSources, &count);
            if (top.NextSource >= count) {
                m_colour[top.Id] = DONE;
                --depth;
                continue;
            }
            const UCHAR next = pSources[top.NextSource++];
            if (m_colour[next] == ON_PATH) {
                DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC%lu: unit %u lies upstream of itself\n",
                           static_cast<ULONG>(m_version), next);
                return STATUS_INVALID_PARAMETER;
            }
            if (m_colour[next] == UNSEEN) {
                // Each id is on the path at most once, so the path never outgrows its 256 frames.
                m_colour[next] = ON_PATH;
                m_path[depth++] = {next, 0};
            }
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS UacUnitGraph::CheckTerminalLink(UCHAR id) const
{
    PAGED_CODE();
    const UCHAR* pUnit = m_pUnits[id];
    if (pUnit == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return pUnit[2] == USB_AUDIO_AC_INPUT_TERMINAL || pUnit[2] == USB_AUDIO_AC_OUTPUT_TERMINAL ? STATUS_SUCCESS
                                                                                     : STATUS_INVALID_PARAMETER;
}
