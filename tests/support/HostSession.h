// Test-only: the whole driver on a simulated device through the host, as the command-line tool
// runs it: a profile is plugged in, the PnP manager loads the driver and starts the device, and
// at the end the device is removed and the driver unloaded. Test programs using it define
// KVX_PROFILE_DIR and link the tools library.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "sim/Profile.h"
#include "tools/StreamSession.h"

namespace kvxtest {

class HostSession : public kvx::StreamSession {
public:
    // A profile of sim/profiles, moved to high speed when `highSpeed` and it says full; the
    // start's status (a profile that does not load fails with STATUS_NOT_FOUND and `*error`).
    NTSTATUS StartProfile(const std::string& profile, bool highSpeed = false, std::string* error = nullptr)
    {
        std::ifstream file(std::string(KVX_PROFILE_DIR) + "/" + profile);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const std::string full = "\"speed\": \"full\"";
        if (highSpeed && text.find(full) != std::string::npos) {
            text.replace(text.find(full), full.size(), "\"speed\": \"high\"");
        }
        std::string ignored;
        auto device = sim::ParseProfile(text, KVX_PROFILE_DIR, error != nullptr ? error : &ignored);
        if (device == nullptr) return STATUS_NOT_FOUND;
        return Start(std::move(device));
    }
};

}  // namespace kvxtest
