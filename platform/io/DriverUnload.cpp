#include "platform/io/DriverUnload.h"

#include <string>

#include "platform/nt/Irql.h"
#include "platform/nt/UnloadCheck.h"

namespace platform {

void IoUnloadDriver(PDRIVER_OBJECT driver)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "driver unload");
    if (driver->DriverUnload != nullptr) {
        driver->DriverUnload(driver);
    }
    // The fault names the driver; its name is ASCII in practice, anything else shows as '?'.
    std::string name;
    const UNICODE_STRING& u = driver->DriverName;
    for (USHORT i = 0; u.Buffer != nullptr && i < u.Length / sizeof(WCHAR); ++i) {
        name += u.Buffer[i] < 0x80 ? static_cast<char>(u.Buffer[i]) : '?';
    }
    DriverUnloadCheck(name.c_str());
}

}  // namespace platform
