// A device of a test driver that sits below the code under test. It either completes every IRP
// at once with a set status, or keeps IRPs pending (cancellable) until the test completes them.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "platform/io/Io.h"

namespace kvxtest {

class LowerDevice {
public:
    enum class Mode { Hold, CompleteAtOnce };

    LowerDevice();
    ~LowerDevice();
    LowerDevice(const LowerDevice&) = delete;
    LowerDevice& operator=(const LowerDevice&) = delete;

    PDEVICE_OBJECT Device() const { return m_device; }
    PDRIVER_OBJECT Driver() const { return m_driver; }

    void SetMode(Mode mode, NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0);
    // Runs on every IRP before it is held or completed (inspect or fill the request).
    void OnRequest(std::function<void(PIRP, PIO_STACK_LOCATION)> hook) { m_hook = std::move(hook); }

    size_t HeldCount();
    // Completes the oldest held IRP; false when none is held (or it is being cancelled).
    bool CompleteNext(NTSTATUS status, ULONG_PTR information = 0);
    // IRPs the cancel routine completed.
    int CancelledCount() const { return m_cancelled; }

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID Cancel(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    Mode m_mode = Mode::Hold;
    NTSTATUS m_status = STATUS_SUCCESS;
    ULONG_PTR m_information = 0;
    std::function<void(PIRP, PIO_STACK_LOCATION)> m_hook;
    std::mutex m_lock;
    std::deque<PIRP> m_held;
    int m_cancelled = 0;
};

}  // namespace kvxtest
