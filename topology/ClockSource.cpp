#include "topology/ClockSource.h"

#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbClockDspEntities.h"

namespace {

constexpr USHORT SAMPLING_FREQUENCY = 0x0100;
constexpr USHORT CLOCK_VALIDITY = 0x0200;
// The count and one subrange of 4-byte values.
constexpr ULONG ONE_SUBRANGE_LENGTH = 14;

ULONG Le32(const UCHAR* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<ULONG>(p[3]) << 24); }

}  // namespace

NTSTATUS ClockSource::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IClockControl)) {
        return ReturnInterface(static_cast<IClockControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ClockSource::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO2_AC_CLOCK_SOURCE,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS ClockSource::Init(IAudioHal* hal)
{
    if (hal == nullptr || m_pDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO2_AC_CLOCK_SOURCE;
    ULONG next = hal->GetEntityCount();
    return CreateEntity<UsbClockEntity>(
        hal, UAC2_UNIT_TAG, &next, [&](UsbClockEntity* e) { return SetupClockEntity(e, this); },
        static_cast<UsbClockEntity**>(nullptr));
}

NTSTATUS ClockSource::GetRateCount(PULONG count)
{
    if (count == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR reply[ONE_SUBRANGE_LENGTH] = {};
    NTSTATUS status = Uac2Range(m_pOwner, static_cast<UCHAR>(m_ulId), SAMPLING_FREQUENCY, reply, sizeof reply);
    if (NT_SUCCESS(status)) {
        *count = reply[0] | (reply[1] << 8);
    }
    return status;
}

NTSTATUS ClockSource::GetRates(PULONG count, PULONG rates)
{
    if (count == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG n = 0;
    NTSTATUS status = GetRateCount(&n);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG room = *count < n ? *count : n;
    if (room != 0 && rates == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A count the 16-bit wLength cannot carry is refused before anything is read.
    const ULONG length = Uac2RangeLength(room, 4);
    if (length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = room;
    auto* pReply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, UAC2_UNIT_TAG));
    if (pReply == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = Uac2Range(m_pOwner, static_cast<UCHAR>(m_ulId), SAMPLING_FREQUENCY, pReply, length);
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < room; ++i) {
            const UCHAR* p = pReply + 2 + 12 * i;
            const ULONG minimum = Le32(p);
            const ULONG maximum = Le32(p + 4);
            const ULONG resolution = Le32(p + 8);
            // Only discrete rates: a continuous subrange fails the list.
            if (minimum == maximum && resolution == 0) {
                rates[i] = maximum;
            } else {
                if (status != STATUS_INVALID_PARAMETER) {
                    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                               "UAC2: clock %lu lists rates %lu to %lu Hz in steps of %lu: only discrete rates are taken\n",
                               m_ulId, minimum, maximum, resolution);
                }
                status = STATUS_INVALID_PARAMETER;
            }
        }
    }
    ExFreePoolWithTag(pReply, UAC2_UNIT_TAG);
    return status;
}

NTSTATUS ClockSource::SetRate(ULONG rate)
{
    UCHAR wire[4] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8), static_cast<UCHAR>(rate >> 16),
                     static_cast<UCHAR>(rate >> 24)};
    return Uac2Cur(m_pOwner, static_cast<UCHAR>(m_ulId), SAMPLING_FREQUENCY, FALSE, wire, sizeof wire);
}

NTSTATUS ClockSource::GetRate(PULONG rate)
{
    if (rate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR wire[4] = {};
    NTSTATUS status = Uac2Cur(m_pOwner, static_cast<UCHAR>(m_ulId), SAMPLING_FREQUENCY, TRUE, wire, sizeof wire);
    if (NT_SUCCESS(status)) {
        *rate = Le32(wire);
    }
    return status;
}

NTSTATUS ClockSource::IsClockValid(PBOOLEAN valid)
{
    if (valid == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = 0;
    NTSTATUS status = Uac2Cur(m_pOwner, static_cast<UCHAR>(m_ulId), CLOCK_VALIDITY, TRUE, &byte, 1);
    if (NT_SUCCESS(status)) {
        *valid = byte;
    }
    return status;
}
