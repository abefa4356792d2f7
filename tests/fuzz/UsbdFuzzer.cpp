// libFuzzer entry: configuration bytes through the USBD helpers (clang builds only).
#include <cstdlib>

#include "tests/fuzz/UsbdFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!kvxfuzz::RunUsbdOnce(data, size)) {
        std::abort();
    }
    return 0;
}
