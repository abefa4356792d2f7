// A UAC2 feature unit: one entity per control its descriptor announces (mute, volume, tone, AGC,
// loudness, input gain pad) and per vendor control of its memory space's control block (switch
// 0x90, volume 0x82), each served through IOnOffControl / IValueControl by class requests.
//
// Bitmaps: one 32-bit entry per channel, the master (0) first. Selector s takes the bit pair
// 2(s' - 1) (readable) and 2(s' - 1) + 1 (writable), s' being s without bit 7; a vendor selector's
// pair lies in the vendor block's entries.
#pragma once

#include "adapter/UacDescriptorRules.h"
#include "topology/UnitControls.h"
#include "topology/UsbAudioUnit.h"

// bLength through bSourceID, one entry (the master) and iFeature.
constexpr ULONG UAC2_FEATURE_UNIT_MIN_LENGTH =
    UacMinimumLength(UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT);

constexpr ULONG UAC2_FU_MUTE = 0x01;
constexpr ULONG UAC2_FU_VOLUME = 0x02;
constexpr ULONG UAC2_FU_BASS = 0x03;
constexpr ULONG UAC2_FU_MID = 0x04;
constexpr ULONG UAC2_FU_TREBLE = 0x05;
constexpr ULONG UAC2_FU_AGC = 0x07;
constexpr ULONG UAC2_FU_LOUDNESS = 0x0A;
constexpr ULONG UAC2_FU_INPUT_GAIN_PAD = 0x0C;
constexpr ULONG UAC2_FU_VENDOR_VOLUME = 0x82;
constexpr ULONG UAC2_FU_VENDOR_SWITCH = 0x90;

// The unit's memory space from offset 0 as MEM reads it (little-endian): 16 bytes, the block's
// length L, then (L - 18) / 4 32-bit entries, master first.
#pragma pack(push, 1)
struct Uac2VendorControlBlock {
    UCHAR Reserved[16];
    USHORT Length;
};
#pragma pack(pop)
static_assert(sizeof(Uac2VendorControlBlock) == 18, "the vendor entries start at offset 18");
// A block with fewer bytes has no master entry.
constexpr ULONG UAC2_VENDOR_BLOCK_MIN_LENGTH = 22;

class Uac2FeatureUnit : public IOnOffControl, public IValueControl, public UsbAudioUnit {
public:
    DECLARE_UNKNOWN_BASE()

    Uac2FeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~Uac2FeatureUnit() override;

    // Keeps the descriptor (at least 10 bytes), reads the vendor control block, creates the entities.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);

    // IOnOffControl
    NTSTATUS GetOnOff(ULONG selector, ULONG index, PUCHAR value) override;
    NTSTATUS SetOnOff(ULONG selector, ULONG index, UCHAR value) override;
    // Logical channels 1..n carrying the control, or 1 for a control of the master alone.
    NTSTATUS ChannelCount(ULONG selector, PULONG count) override;
    // Creates the entities in table order; a unit without a mute control fails.
    NTSTATUS Init(IAudioHal* hal) override;

    // IValueControl: 1/65536 dB here, 1/4 dB (tone) or 1/256 dB (the others) on the wire.
    NTSTATUS GetValue(ULONG selector, ULONG index, PLONG value) override;
    NTSTATUS SetValue(ULONG selector, ULONG index, LONG value) override;
    NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) override;

    // Refreshes the entity of the interrupt's control and answers its id.
    NTSTATUS HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId) override;

    BOOLEAN IsControlPresent(ULONG selector) const;
    const Uac2VendorControlBlock* GetVendorControlBlock() const { return m_pVendorBlock; }

private:
    void ReadVendorControlBlock();
    bool IsFeatureDescriptor() const;
    // Entries of the descriptor (class selectors) or of the vendor block (vendor selectors).
    ULONG EntryCount(bool vendor) const;
    // The selector's bit pair (or one bit of it) in entry `index`; false past the entries.
    bool EntryHas(ULONG selector, ULONG index, ULONG bits) const;
    // The channel number of the control's `index`-th channel, for a read or a write.
    NTSTATUS AddressChannel(ULONG selector, ULONG index, bool write, PULONG pulChannel);

    Uac2VendorControlBlock* m_pVendorBlock;  // owned, non-paged, or null
    // The entities of the two volume controls (both of type volume), 0 when none was added.
    ULONG m_ulVolumeEntityId;
    ULONG m_ulVendorVolumeEntityId;
    bool m_bHasVolumeEntity;
    bool m_bHasVendorVolumeEntity;
};
