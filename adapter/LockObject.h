// A kernel mutex behind a small virtual lock interface. The owning thread may take it again;
// every Lock needs its Unlock. Lock waits and so belongs at PASSIVE_LEVEL or APC_LEVEL; TryLock
// never waits.
#pragma once

#include "platform/nt/Dispatcher.h"
#include "platform/nt/NtTypes.h"

class LockObject {
public:
    LockObject();

    virtual bool Lock();
    // This lock has no second mode: the reserved operations do nothing and return false.
    virtual bool ReservedLock();
    virtual bool Unlock();
    virtual bool ReservedUnlock();
    // True only when the mutex was acquired without waiting.
    virtual bool TryLock();
    virtual bool UnlockAfterTry();

    PKMUTEX GetMutex() { return &m_Mutex; }

private:
    KMUTEX m_Mutex;
};
