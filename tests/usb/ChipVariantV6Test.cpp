// The effects variant through the device object's start on its profile: 8-channel render formats
// from a stereo interface, capture as the class function lists it, the effect entities on the
// render endpoint's node list, and no IUsbAudioFunction.
#include <gtest/gtest.h>

#include "tests/usb/DeviceStartFixture.h"
#include "usb/Uac1FunctionVariants.h"

namespace kvxtest {
namespace {

class ChipVariantV6Test : public DeviceStartFixture {};

TEST_F(ChipVariantV6Test, RenderListsEightChannelsAndRunsTheEffectNodes)
{
    PlugProfile("v6-effects-headset.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    EXPECT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::V6);
    ASSERT_EQ(m_function->GetEndpointCount(), 2u);
    StreamEngine* render = nullptr;
    StreamEngine* capture = nullptr;
    for (ULONG i = 0; i < 2; ++i) {
        StreamEngine* e = nullptr;
        ASSERT_EQ(m_function->GetEndpoint(i, &e), STATUS_SUCCESS);
        (e->IsCapture() ? capture : render) = e;
    }
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    // The stereo 16-bit interface at 44.1 and 48 kHz, as 8 channels (also on this headphone output).
    ASSERT_EQ(render->GetFormatCount(), 2u);
    WaveFormatRecord f{};
    ASSERT_EQ(render->GetFormat(1, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(f.Format.nChannels, 8);
    EXPECT_EQ(f.Format.nBlockAlign, 16);
    EXPECT_EQ(f.Format.wBitsPerSample, 16);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 768000u);
    EXPECT_EQ(f.dwChannelMask, 0x63Fu);
    // Capture keeps its channel count, with and without a speaker mask.
    ASSERT_EQ(capture->GetFormatCount(), 2u);
    ASSERT_EQ(capture->GetFormat(0, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nChannels, 1);
    EXPECT_EQ(f.Format.nBlockAlign, 2);
    // Both effect entities process the render stream.
    EXPECT_EQ(render->GetNodeCount(), 2u);
    EXPECT_EQ(capture->GetNodeCount(), 0u);
    PVOID raw = nullptr;
    EXPECT_EQ(m_function->GetNonDelegatingUnknown()->QueryInterface(IID_IUsbAudioFunction, &raw),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kvxtest
