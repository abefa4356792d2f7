#include "adapter/LockObject.h"

LockObject::LockObject()
{
    KeInitializeMutex(&m_Mutex, 0);
}

bool LockObject::Lock()
{
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
    return true;
}

bool LockObject::ReservedLock() { return false; }

bool LockObject::Unlock()
{
    KeReleaseMutex(&m_Mutex, FALSE);
    return true;
}

bool LockObject::ReservedUnlock() { return false; }

bool LockObject::TryLock()
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = 0;
    return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool LockObject::UnlockAfterTry()
{
    KeReleaseMutex(&m_Mutex, FALSE);
    return true;
}
