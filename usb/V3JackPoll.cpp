// The V3 jack-polling thread: a HID input report every 50 ms; a sense bit that changed attenuates
// the render stream through the jack node, and thirty polls alike pass or silence it. Start and
// Stop run this thread in place of the status-interrupt thread.
#include <cstring>

#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Time.h"
#include "topology/V3FeatureUnits.h"
#include "usb/Uac1FunctionV3.h"

NTSTATUS V3SendHidReport(IUsbDevice* pUsb, PURB pUrb, BOOLEAN read, UCHAR request, USHORT value, PUCHAR pData,
                         ULONG ulLength, PULONG pulTransferred);
PURB V3AllocateUrb();

namespace {

constexpr UCHAR HID_GET_REPORT = 0x01;
constexpr USHORT HID_INPUT_REPORT_0 = 0x0100;
constexpr ULONG JACK_REPORT_BYTES = 3;

enum JackState : ULONG { JACK_STATE_PASS = 0, JACK_STATE_CHANGING = 1, JACK_STATE_SILENT = 2 };

// One poll: 1 when the sense bit is clear. A failed, short or lost poll is a failure.
NTSTATUS PollJack(Uac1FunctionV3* pFunction, PURB pUrb, PUCHAR pSample)
{
    PAGED_CODE();
    PVOID pRaw = nullptr;
    NTSTATUS status = pFunction->QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    UCHAR report[JACK_REPORT_BYTES] = {};
    ULONG ulTransferred = 0;
    status = V3SendHidReport(pUsb, pUrb, TRUE, HID_GET_REPORT, HID_INPUT_REPORT_0, report, sizeof(report),
                             &ulTransferred);
    pUsb->Release();
    if (NT_SUCCESS(status) && ulTransferred < 1) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        *pSample = (report[0] & V3_JACK_SENSE_BIT) == 0 ? 1 : 0;
    }
    return status;
}

// Unit 11's master mute override, when unit 11 is the class that carries one.
VOID SetJackOverride(Uac1FunctionV3* pFunction, UCHAR override)
{
    PAGED_CODE();
    UsbAudioUnit* pUnit = nullptr;
    if (!NT_SUCCESS(pFunction->FindUnit(V3_JACK_UNIT_ID, &pUnit)) || pUnit == nullptr) {
        return;
    }
    PVOID pRaw = nullptr;
    if (NT_SUCCESS(pUnit->QueryInterface(IID_IV3MuteOverride, &pRaw))) {
        auto* pOverride = static_cast<IV3MuteOverride*>(pRaw);
        pOverride->SetMuteOverride(override);
        pOverride->Release();
    }
}

}  // namespace

VOID Uac1FunctionV3::JackPollThread(PVOID pContext)
{
    PAGED_CODE();
    auto* pFunction = static_cast<Uac1FunctionV3*>(pContext);
    pFunction->RunJackPoll();
    KeSetEvent(&pFunction->m_StatusThreadExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID Uac1FunctionV3::RunJackPoll()
{
    PAGED_CODE();
    UCHAR window[V3_JACK_WINDOW] = {};
    PURB pUrb = V3AllocateUrb();

    if (pUrb == nullptr) {
        return;
    }
    if (!NT_SUCCESS(PollJack(this, pUrb, &window[0]))) {
        ExFreePoolWithTag(pUrb, V3_FUNCTION_TAG);
        return;
    }
    ULONG ulWrite = 1;
    ULONG ulState = JACK_STATE_PASS;
    // 50 ms from now, then every 50 ms.
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(V3_JACK_POLL_MS) * 10000;
    KeSetTimerEx(&m_JackTimer, due, V3_JACK_POLL_MS, nullptr);
    if (m_pJackNode != nullptr) {
        // The stream starts muted on the device until the sense settles (override 1).
        SetJackOverride(this, 1);
    }
    PVOID objects[2] = {&m_JackTimer, &m_StatusThreadStopEvent};
    for (;;) {
        const NTSTATUS waited = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                                         nullptr);
        if (waited != STATUS_WAIT_0) {
            break;
        }
        UCHAR sample = 0;
        if (!NT_SUCCESS(PollJack(this, pUrb, &sample))) {
            break;
        }
        window[ulWrite] = sample;
        ulWrite = (ulWrite + 1) % V3_JACK_WINDOW;
        if (m_pJackNode == nullptr) {
            continue;
        }
        ULONG ulOnes = 0;
        for (UCHAR s : window) {
            ulOnes += s;
        }
        if (ulOnes == 0 && ulState != JACK_STATE_PASS) {
            ulState = JACK_STATE_PASS;
            SetJackOverride(this, 1);
            m_pJackNode->SetMode(JACK_MUTE_PASS);
        } else if (ulOnes == V3_JACK_WINDOW && ulState != JACK_STATE_SILENT) {
            ulState = JACK_STATE_SILENT;
            SetJackOverride(this, 0);
            m_pJackNode->SetMode(JACK_MUTE_SILENCE);
        } else if (ulOnes != 0 && ulOnes != V3_JACK_WINDOW && ulState == JACK_STATE_PASS) {
            ulState = JACK_STATE_CHANGING;
            SetJackOverride(this, 0);
            m_pJackNode->SetMode(JACK_MUTE_ATTENUATE);
        }
    }
    KeCancelTimer(&m_JackTimer);
    ExFreePoolWithTag(pUrb, V3_FUNCTION_TAG);
}

NTSTATUS Uac1FunctionV3::Start()
{
    PAGED_CODE();
    if (!m_bJackPollingEnabled || JackThreadRunning()) {
        return STATUS_SUCCESS;
    }
    HANDLE hThread = nullptr;
    const NTSTATUS status =
        PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, JackPollThread, this);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID pThread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThread,
                                             nullptr))) {
        m_pStatusThread = static_cast<PETHREAD>(pThread);
        KeSetPriorityThread(m_pStatusThread, V3_JACK_THREAD_PRIORITY);
    }
    ZwClose(hThread);
    __atomic_store_n(&m_bJackThreadRunning, TRUE, __ATOMIC_SEQ_CST);
    return STATUS_SUCCESS;
}

NTSTATUS Uac1FunctionV3::Stop()
{
    PAGED_CODE();
    if (JackThreadRunning()) {
        EndJackThread();
    }
    return STATUS_SUCCESS;
}

VOID Uac1FunctionV3::EndJackThread()
{
    PAGED_CODE();
    // The jack poll owns no pipe of the AudioControl interface: those stay as they are.
    EndStatusThread(FALSE);
    __atomic_store_n(&m_bJackThreadRunning, FALSE, __ATOMIC_SEQ_CST);
}
