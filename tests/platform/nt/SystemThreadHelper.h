// Runs a lambda on a system thread of the machine and joins it with a kernel wait.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Thread.h"

namespace kvxtest {

class SystemThread {
public:
    explicit SystemThread(std::function<void()> body) : m_body(std::move(body))
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Run, this),
                  STATUS_SUCCESS);
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
        m_thread = static_cast<PKTHREAD>(object);
    }
    ~SystemThread() { Join(); }
    SystemThread(const SystemThread&) = delete;
    SystemThread& operator=(const SystemThread&) = delete;

    PKTHREAD Thread() const { return m_thread; }

    void Join()
    {
        if (m_thread != nullptr) {
            EXPECT_EQ(KeWaitForSingleObject(m_thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
            ObDereferenceObject(m_thread);
            m_thread = nullptr;
        }
    }

private:
    static VOID Run(PVOID context) { static_cast<SystemThread*>(context)->m_body(); }

    std::function<void()> m_body;
    PKTHREAD m_thread = nullptr;
};

inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

}  // namespace kvxtest
