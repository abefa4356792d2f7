#include "platform/nt/Verifier.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {
namespace {
std::mutex g_faultLock;
std::vector<VerifierFaultRecord>& Faults()
{
    static std::vector<VerifierFaultRecord> faults;
    return faults;
}
}  // namespace

void VerifierFault(const char* rule, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    // Printed when recorded, so that the log shows it next to what caused it.
    std::fprintf(stderr, "[verifier] %s: %s\n", rule, text);
    std::lock_guard<std::mutex> guard(g_faultLock);
    Faults().push_back(VerifierFaultRecord{rule, text});
}

std::vector<VerifierFaultRecord> VerifierTakeFaults()
{
    std::lock_guard<std::mutex> guard(g_faultLock);
    std::vector<VerifierFaultRecord> out;
    out.swap(Faults());
    return out;
}

size_t VerifierFaultCount(const char* rule)
{
    std::lock_guard<std::mutex> guard(g_faultLock);
    if (rule == nullptr) {
        return Faults().size();
    }
    size_t n = 0;
    for (const auto& f : Faults()) {
        n += (f.Rule == rule) ? 1 : 0;
    }
    return n;
}

}  // namespace platform
