#include "topology/JackTables.h"

const ULONG JackColorTable[16] = {
    0x000000, 0x000000, 0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
    0x800080, 0xFF0080, 0x000000, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0x000000,
};

namespace {

ULONG Le32(const UCHAR* p)
{
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
           (static_cast<ULONG>(p[3]) << 24);
}

enum : ULONG {
    KIND_STREAM = 0,
    KIND_SPK = 1,
    KIND_HP = 2,
    KIND_SPDIF = 3,
    KIND_LINE = 6,
    KIND_MIC = 7,
    KIND_AUX = 8,
    KIND_FMIC = 11,
    KIND_HANDSET = 13,
    KIND_HEADSET = 14,
    KIND_SPEAKERPHONE = 15,
};

}  // namespace

void FillJackRecord(const UCHAR* pEntry, JackRecord* pRecord)
{
    const ULONG cfg = Le32(pEntry + 4);
    // Bits 8 to 11 set: the jack cannot tell whether it is plugged, so it counts as connected.
    const bool noPresenceDetect = (cfg & 0x0F00) != 0;
    pRecord->ChannelMapping = Le32(pEntry);
    pRecord->Color = JackColorTable[(cfg >> 12) & 0x0F];
    pRecord->ConnectionType = (cfg >> 16) & 0xFF;
    pRecord->GeoLocation = (cfg >> 24) & 0x0F;
    pRecord->GenLocation = cfg >> 28;
    pRecord->PortConnection = 0;
    pRecord->Word6 = 0;
    pRecord->IsConnected = noPresenceDetect ? 1 : 0;
    pRecord->Word8 = noPresenceDetect ? 0 : 1;
}

ULONG InputTerminalKindTable(USHORT terminalType)
{
    switch (terminalType) {
    case 0x0101: return KIND_STREAM;
    case 0x0201: case 0x0202: case 0x0203: case 0x0204: case 0x0205: case 0x0206: return KIND_MIC;
    case 0x0302: return KIND_AUX;
    case 0x0401: return KIND_HANDSET;
    case 0x0402: return KIND_HEADSET;
    case 0x0403: case 0x0404: case 0x0405: return KIND_SPEAKERPHONE;
    case 0x0601: return KIND_AUX;
    case 0x0603: return KIND_LINE;
    case 0x0605: return KIND_SPDIF;
    default: return KIND_AUX;
    }
}

ULONG Uac2InputTerminalKindTable(USHORT terminalType)
{
    switch (terminalType) {
    case 0x0101: return KIND_STREAM;
    case 0x0201: case 0x0202: case 0x0203: case 0x0204: case 0x0205: case 0x0206: return KIND_MIC;
    case 0x0401: case 0x0402: return KIND_HANDSET;
    case 0x0403: case 0x0404: case 0x0405: return KIND_SPEAKERPHONE;
    case 0x0603: return KIND_LINE;
    case 0x0605: return KIND_SPDIF;
    default: return KIND_AUX;
    }
}

bool TerminalTypeHasJacks(USHORT terminalType)
{
    return (terminalType >= 0x0201 && terminalType <= 0x0206) || (terminalType >= 0x0401 && terminalType <= 0x0405) ||
           terminalType == 0x0601 || terminalType == 0x0603 || terminalType == 0x0605;
}

ULONG CaptureKindTable(USHORT terminalType)
{
    switch (terminalType) {
    case 0x0201: return KIND_MIC;
    case 0x0202: return KIND_FMIC;
    case 0x0302: return KIND_HP;
    case 0x0401: return KIND_HANDSET;
    case 0x0402: return KIND_HEADSET;
    case 0x0605: return KIND_SPDIF;
    default: return KIND_LINE;
    }
}

ULONG RenderKindTable(USHORT terminalType, bool streamingAsSpeaker)
{
    switch (terminalType) {
    case 0x0101: return streamingAsSpeaker ? KIND_SPK : KIND_STREAM;
    case 0x0302: return KIND_HP;
    case 0x0401: return KIND_HANDSET;
    case 0x0402: return KIND_HEADSET;
    case 0x0601: case 0x0603: return KIND_LINE;
    case 0x0605: return KIND_SPDIF;
    default: return KIND_SPK;
    }
}
