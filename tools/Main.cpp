// kvx: the host side of the driver on the command line. The machine runs on the real-time clock.
#include <iostream>

#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "tools/Kvx.h"

int main(int argc, char** argv)
{
    platform::MachineReset();
    platform::SetRealTime(true);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int rc = kvx::RunKvx(args, std::cout, std::cerr);
    std::cout.flush();
    return rc;
}
