// Small helpers of the ASIO operations: AsioLock held for a scope, and 32-bit fields read from
// and written to the byte buffers of the requests at any alignment.
#pragma once

#include <cstring>

#include "adapter/LockObject.h"

class AsioLockScope {
public:
    explicit AsioLockScope(LockObject& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~AsioLockScope() { m_Lock.Unlock(); }
    AsioLockScope(const AsioLockScope&) = delete;
    AsioLockScope& operator=(const AsioLockScope&) = delete;

private:
    LockObject& m_Lock;
};

inline LONG AsioReadLong(const void* pBuffer, ULONG ulOffset = 0)
{
    LONG lValue = 0;
    std::memcpy(&lValue, static_cast<const UCHAR*>(pBuffer) + ulOffset, sizeof lValue);
    return lValue;
}

inline void AsioWriteLong(PVOID pBuffer, ULONG ulOffset, LONG lValue)
{
    std::memcpy(static_cast<PUCHAR>(pBuffer) + ulOffset, &lValue, sizeof lValue);
}
