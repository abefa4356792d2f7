// A UAC1 feature unit: one entity per control its descriptor announces (mute, volume, tone, AGC,
// loudness) and per vendor control of its memory space's control block, each served through
// IOnOffControl / IValueControl by class requests (vendor requests for the vendor controls).
//
// Bitmaps: one per channel, the master (0) first; control selector s is bit s - 1. A vendor
// selector v (bit 7 set) is bit (v & 0x7F) - 1 of a vendor bitmap.
#pragma once

#include "adapter/UacDescriptorRules.h"
#include "topology/UnitControls.h"
#include "topology/UsbAudioUnit.h"

constexpr ULONG UAC1_UNIT_TAG = MakePoolTag("UA10");

// Fixed fields up to bControlSize, and the byte after the bitmaps (iFeature).
constexpr ULONG UAC1_FEATURE_UNIT_MIN_LENGTH =
    UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT);

// UAC1 feature-unit control selectors, and the two vendor controls.
constexpr ULONG UAC1_FU_MUTE = 0x01;
constexpr ULONG UAC1_FU_VOLUME = 0x02;
constexpr ULONG UAC1_FU_BASS = 0x03;
constexpr ULONG UAC1_FU_MID = 0x04;
constexpr ULONG UAC1_FU_TREBLE = 0x05;
constexpr ULONG UAC1_FU_AGC = 0x07;
constexpr ULONG UAC1_FU_LOUDNESS = 0x0A;
constexpr ULONG UAC1_FU_VENDOR_8B = 0x8B;
constexpr ULONG UAC1_FU_VENDOR_8C = 0x8C;

// The unit's memory space from offset 0 as GET_MEM reads it (little-endian). The bitmaps follow
// the header: (Length - 19) / ControlSize of them, master first; only ControlSize 2 is understood.
#pragma pack(push, 1)
struct VendorControlBlock {
    UCHAR Reserved[16];
    USHORT Length;      // L: bytes of the whole block
    UCHAR ControlSize;  // bytes per bitmap
};
#pragma pack(pop)
static_assert(sizeof(VendorControlBlock) == 19, "the vendor bitmaps start at offset 19");

// The class bitmaps of a UAC1 feature unit descriptor (type 0x24, subtype 0x06, at least 7 bytes):
// (bLength - 7) / bControlSize of them, none for another descriptor; whether bitmap `index`
// carries class selector `selector` (1 to 16; a bitmap wider than a byte counts its low 16 bits).
bool IsUac1FeatureDescriptor(const UCHAR* pDescriptor);
ULONG Uac1FeatureBitmapCount(const UCHAR* pDescriptor);
bool Uac1FeatureBitmapHas(const UCHAR* pDescriptor, ULONG selector, ULONG index);
// The controls a UAC1 feature unit makes entities for, in creation order, mute first.
constexpr ULONG UAC1_FEATURE_CLASS_CONTROLS = 7;
extern const ULONG Uac1FeatureControls[UAC1_FEATURE_CLASS_CONTROLS + 2];

// Channel exchange of the device: 5/6 and 7/8 trade places on the wire.
ULONG ChannelRemap(ULONG ulChannel);

class FeatureUnit : public UsbAudioUnit, public IOnOffControl, public IValueControl {
public:
    DECLARE_UNKNOWN_BASE()

    FeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~FeatureUnit() override;

    // Keeps the descriptor (at least 7 bytes), reads the vendor control block, creates the entities.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);

    // IOnOffControl
    NTSTATUS GetOnOff(ULONG selector, ULONG channel, PUCHAR value) override;
    NTSTATUS SetOnOff(ULONG selector, ULONG channel, UCHAR value) override;
    // Logical channels carrying the control, or 1 for a control of the master alone.
    NTSTATUS ChannelCount(ULONG selector, PULONG count) override;
    // Creates the entities in table order; a unit without a mute control fails.
    NTSTATUS Init(IAudioHal* hal) override;

    // IValueControl: 1/65536 dB here, 1/4 dB (tone) or 1/256 dB (the others) on the wire.
    NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) override;
    NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) override;
    NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) override;

    // Status interrupts of a feature unit need nothing of the unit: the handler refreshes its entities.
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG) override { return STATUS_SUCCESS; }

    BOOLEAN IsControlPresent(ULONG selector);
    const VendorControlBlock* GetVendorControlBlock() const { return m_pVendorBlock; }

protected:
    // Reads the vendor control block; anything missing or inconsistent leaves none.
    void ReadVendorControlBlock();
    bool IsFeatureDescriptor() const;
    // Bitmaps of the descriptor (class selectors) or of the vendor block (vendor selectors).
    ULONG BitmapCount(bool vendor) const;
    bool BitmapHas(ULONG selector, ULONG index) const;
    // The wire channel of a control request on the control's `channel`-th channel.
    NTSTATUS DeviceChannel(ULONG selector, ULONG channel, PULONG pulDevice);
    NTSTATUS Request(ULONG selector, UCHAR request, ULONG deviceChannel, BOOLEAN read, PVOID buffer, ULONG length);
    // The entity of a vendor control (0x8B, 0x8C); `allocated` is false when no object could be
    // had, which skips the control.
    virtual NTSTATUS CreateVendorEntity(IAudioHal* hal, ULONG selector, PDEVICE_OBJECT device, PULONG pulNextId,
                                        bool& allocated);
    // The pool tag of the unit's entities.
    virtual ULONG EntityTag() const { return UAC1_UNIT_TAG; }

    VendorControlBlock* m_pVendorBlock;  // owned copy of L bytes, non-paged, or null
};
