#include "sim/RawWriteBack.h"

#include <cstring>

namespace sim {

bool WriteBackRaw(std::vector<RawRequest>& raws, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, const UCHAR* data,
                  ULONG length)
{
    if ((setup.bmRequestType & 0x80) != 0 || (setup.bmRequestType & 0x60) != BMREQUEST_VENDOR ||
        (length != 0 && data == nullptr)) {
        return false;
    }
    for (RawRequest& raw : raws) {
        USB_DEFAULT_PIPE_SETUP_PACKET s;
        std::memcpy(&s, raw.Setup, sizeof s);
        if (s.bmRequestType == (setup.bmRequestType | 0x80) && s.bRequest == setup.bRequest &&
            s.wValue == setup.wValue && s.wIndex == setup.wIndex && !raw.Stall) {
            raw.Reply.assign(data, data + length);
            return true;
        }
    }
    return false;
}

}  // namespace sim
