// `kvx describe PROFILE [--text]`: loads the profile, lets the host install and start the driver
// on it, and prints the driver's view. A printed description exits 0, also after a failed start.
#include "platform/nt/Clock.h"
#include "sim/Profile.h"
#include "tools/DriverSession.h"
#include "tools/JsonPrinter.h"
#include "tools/Kvx.h"
#include "tools/TextPrinter.h"

namespace kvx {

int RunDescribe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    std::string profile;
    bool text = false;
    for (const std::string& a : args) {
        if (a == "--text" && !text) {
            text = true;
        } else if (!a.empty() && a[0] != '-' && profile.empty()) {
            profile = a;
        } else {
            err << "usage: kvx describe PROFILE [--text]; unexpected argument \"" << a << "\"\n";
            return EXIT_USAGE;
        }
    }
    if (profile.empty()) {
        err << "usage: kvx describe PROFILE [--text]; no profile given\n";
        return EXIT_USAGE;
    }
    std::string error;
    std::unique_ptr<sim::SimDevice> device = sim::LoadProfile(profile, &error);
    if (device == nullptr) {
        // The loader's message is one line naming the file and the fault.
        err << "kvx describe: " << (error.empty() ? profile + ": cannot load" : error) << "\n";
        return EXIT_USAGE;
    }
    // Always on virtual time: a busy machine must not time out the driver's control requests.
    platform::SetRealTime(false);
    const Description description = DescribeDevice(std::move(device));
    out << (text ? PrintText(description) : PrintJson(description));
    return EXIT_OK;
}

}  // namespace kvx
