// kvx: the host side of the driver on the command line. The machine runs on the real-time clock
// (play and record choose virtual time with --fast, describe always). No exception leaves main:
// one that reaches it is reported in one line.
#include <exception>
#include <iostream>

#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "tools/Kvx.h"

int main(int argc, char** argv)
{
    int rc = kvx::EXIT_FAILURE_RUN;
    try {
        platform::MachineReset();
        platform::SetRealTime(true);
        const std::vector<std::string> args(argv + 1, argv + argc);
        rc = kvx::RunKvx(args, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "kvx: " << e.what() << "\n";
        rc = kvx::EXIT_FAILURE_RUN;
    }
    std::cout.flush();
    return rc;
}
