// The UAC1 AudioControl parser on the real device object and function: the units it builds from
// the descriptors, their entities' sources, the rewrite of one device's speaker, and every hostile
// descriptor refused with its status and nothing left behind.
#include <string>
#include <vector>

#include "tests/usb/Uac1FunctionFixture.h"
#include "usb/Uac1Parse.h"

namespace kvxtest {
namespace {

using sim::Bytes;
using sim::DescriptorBuilder;

class Uac1ParseControlTest : public Uac1FunctionFixture {
protected:
    // Plugs the device, runs the device's Init with the real AudioControl parser (streaming is
    // not parsed) and returns the parser's status.
    NTSTATUS Parse(const DescriptorBuilder& builder) { return Parse(builder.DeviceDescriptor(), builder.Configuration()); }
    NTSTATUS Parse(const Bytes& device, const Bytes& configuration)
    {
        Plug(device, configuration);
        m_device->SetString(0x50, u"chip");
        NTSTATUS parsed = STATUS_PENDING;
        const NTSTATUS init = InitDevice([&](TestFunction* f) {
            PVOID raw = nullptr;
            EXPECT_EQ(f->QueryInterface(IID_IUsbDevice, &raw), STATUS_SUCCESS);
            auto* usb = static_cast<IUsbDevice*>(raw);
            PUSB_CONFIGURATION_DESCRIPTOR c = usb->GetConfigurationDescriptor();
            PUSB_INTERFACE_DESCRIPTOR ac = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 1, 1, -1);
            const auto bytes = static_cast<ULONG>(reinterpret_cast<PUCHAR>(c) + c->wTotalLength -
                                                  reinterpret_cast<PUCHAR>(ac));
            parsed = ParseAudioControlUac1(f, ac, bytes);
            m_configuration = c;
            usb->Release();
            return parsed;
        });
        EXPECT_EQ(init, parsed);
        return parsed;
    }

    // "id:type<-sources" for every entity of the function, in list order.
    std::string Entities()
    {
        std::string out;
        for (ULONG i = 0; i < m_function->GetEntityCount(); ++i) {
            TopologyNode* e = nullptr;
            EXPECT_EQ(m_function->GetEntity(i, &e), STATUS_SUCCESS);
            ULONG ids[16] = {};
            ULONG n = 16;
            e->GetSources(&n, ids);
            out += (out.empty() ? "" : " ") + std::to_string(e->GetId()) + ":" + std::to_string(e->GetType()) + "<-";
            for (ULONG k = 0; k < n; ++k) {
                out += (k ? "," : "") + std::to_string(ids[k]);
            }
        }
        return out;
    }
    // "id/subtype" of every unit, newest first.
    std::string Units()
    {
        std::string out;
        ObjectList* list = m_function->Units();
        ObjectListNode* cursor = list->GetHeadNode();
        PVOID data = nullptr;
        while (list->Next(&cursor, &data)) {
            auto* unit = static_cast<UsbAudioUnit*>(data);
            out += (out.empty() ? "" : " ") + std::to_string(unit->GetId()) + "/" + std::to_string(unit->GetType());
        }
        return out;
    }

    PUSB_CONFIGURATION_DESCRIPTOR m_configuration = nullptr;
};

DescriptorBuilder Control(sim::DeviceIdentity identity = {})
{
    DescriptorBuilder b(identity);
    b.AudioControl(0, 0, {});
    return b;
}

Bytes Unit(std::vector<UCHAR> bytes)
{
    bytes[0] = static_cast<UCHAR>(bytes.size());
    return bytes;
}

TEST_F(Uac1ParseControlTest, TerminalsAndFeatureUnitGetEntitiesWiredByTheirSources)
{
    ASSERT_EQ(Parse(Control()
                        .Uac1InputTerminal(1, 0x0101, 2)
                        .Uac1FeatureUnit(2, 1, {0x0003, 0, 0})
                        .Uac1OutputTerminal(3, 0x0301, 2)
                        .Endpoint(0x83, 0x03, 2, 8, false)),
              STATUS_SUCCESS);
    EXPECT_EQ(Units(), "3/3 2/6 1/2");
    // The feature unit's volume (its input) is fed by the input terminal, its mute by the volume;
    // the output terminal takes the mute, the unit's first entity.
    EXPECT_EQ(Entities(), "0:0<- 1:2<-2 2:3<-0 3:1<-1");
}

TEST_F(Uac1ParseControlTest, HeaderOnlyMakesNoUnits)
{
    ASSERT_EQ(Parse(Control()), STATUS_SUCCESS);
    EXPECT_EQ(Units(), "");
    EXPECT_EQ(m_function->GetEntityCount(), 0u);
}

TEST_F(Uac1ParseControlTest, WalkEndsAtTheFirstDescriptorThatIsNotClassSpecific)
{
    // A processing unit after the interrupt endpoint belongs to no AudioControl walk.
    ASSERT_EQ(Parse(Control()
                        .Uac1InputTerminal(1, 0x0101, 2)
                        .Endpoint(0x83, 0x03, 2, 8, false)
                        .Raw(Unit({0, 0x24, 7, 9, 1, 1, 1, 0, 0, 0, 0, 0, 0}))),
              STATUS_SUCCESS);
    EXPECT_EQ(Units(), "1/2");
}

TEST_F(Uac1ParseControlTest, TenInputMixerIsNotWiredAndDuplicateIdsResolveToTheFirst)
{
    DescriptorBuilder b = Control();
    for (UCHAR id = 1; id <= 10; ++id) {
        b.Uac1InputTerminal(id, 0x0201, 1, 0);
    }
    b.Uac1MixerUnit(20, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 2, 0x3, 3);
    b.Uac1InputTerminal(2, 0x0101, 2);  // a second unit 2
    b.Uac1MixerUnit(21, {2, 3}, 2);
    ASSERT_EQ(Parse(b), STATUS_SUCCESS);
    TopologyNode* mixer = nullptr;
    ASSERT_EQ(m_function->FindEntity(10, &mixer), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetType(), ENTITY_MIXER);
    EXPECT_EQ(mixer->GetSourceCount(), 10u) << "keeps the unit ids its Init gave it";
    TopologyNode* second = nullptr;
    ASSERT_EQ(m_function->FindEntity(12, &second), STATUS_SUCCESS);
    ULONG ids[2] = {};
    ULONG n = 2;
    second->GetSources(&n, ids);
    EXPECT_EQ(std::vector<ULONG>(ids, ids + n), (std::vector<ULONG>{1, 2})) << "unit 2 built first is entity 1";
}

TEST_F(Uac1ParseControlTest, OneVendorsSpeakerTerminal16IsRewrittenToHeadphones)
{
    struct Row {
        uint16_t Vendor;
        uint8_t Id;
        uint16_t Expected;
    } rows[] = {{0x1B1C, 0x10, 0x0302}, {0x1B1C, 0x11, 0x0301}, {0x1234, 0x10, 0x0301}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Vendor);
        ASSERT_EQ(Parse(Control({row.Vendor, 0x0001})
                            .Uac1InputTerminal(1, 0x0101, 2)
                            .Uac1OutputTerminal(row.Id, 0x0301, 1)),
                  STATUS_SUCCESS);
        const auto* p = reinterpret_cast<const UCHAR*>(m_configuration);
        const size_t ot = 9 + 9 + 8 + 12;  // configuration, interface, header, input terminal
        ASSERT_EQ(p[ot + 2], 3);
        EXPECT_EQ(p[ot + 4] | (p[ot + 5] << 8), row.Expected);
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1ParseControlTest, HostileDescriptorsAreRefusedWithTheirStatus)
{
    struct Row {
        const char* Name;
        std::vector<Bytes> Units;
        NTSTATUS Expected;
        sim::DeviceIdentity Identity = {};
    };
    const Bytes it1 = Unit({0, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0});
    const Bytes ot3 = Unit({0, 0x24, 3, 3, 0x01, 0x03, 0, 1, 0});
    const std::vector<Row> rows = {
        {"processing unit", {it1, Unit({0, 0x24, 7, 5, 1, 1, 1, 0, 0, 0, 0, 0, 0})}, STATUS_UNSUCCESSFUL},
        {"extension unit", {it1, Unit({0, 0x24, 8, 5, 1, 1, 1, 0, 0, 0, 0, 0})}, STATUS_UNSUCCESSFUL},
        {"subtype 0", {it1, Unit({0, 0x24, 0, 5})}, STATUS_UNSUCCESSFUL},
        {"input terminal cut to 11", {Unit({0, 0x24, 2, 1, 1, 1, 0, 2, 3, 0, 0})}, STATUS_INVALID_PARAMETER},
        {"output terminal cut to 8", {it1, Unit({0, 0x24, 3, 3, 1, 3, 0, 1})}, STATUS_INVALID_PARAMETER},
        {"feature unit cut to 6", {it1, Unit({0, 0x24, 6, 2, 1, 1})}, STATUS_INVALID_PARAMETER},
        {"mixer promising 255 pins", {it1, Unit({0, 0x24, 4, 4, 255, 1, 1, 2, 3, 0})}, STATUS_INVALID_PARAMETER},
        {"selector promising 255 pins", {it1, Unit({0, 0x24, 5, 4, 255, 1, 0})}, STATUS_INVALID_PARAMETER},
        {"bLength 0 mid-walk", {it1, {0, 0x24, 3, 3, 1, 3, 0, 1, 0}}, STATUS_UNSUCCESSFUL},
        {"bLength 1 mid-walk", {it1, {1, 0x24}}, STATUS_UNSUCCESSFUL},
        {"a feature unit fed by itself", {it1, Unit({0, 0x24, 6, 2, 2, 1, 3, 0, 0}), ot3}, STATUS_INVALID_PARAMETER},
        {"two units feeding each other",
         {it1, Unit({0, 0x24, 5, 4, 2, 1, 5, 0}), Unit({0, 0x24, 6, 5, 4, 1, 3, 0, 0})},
         STATUS_INVALID_PARAMETER},
        {"a source naming no unit", {it1, Unit({0, 0x24, 3, 3, 1, 3, 0, 9, 0})}, STATUS_UNSUCCESSFUL},
        {"0x1B1C 0x0A04 without output 0x40", {it1, Unit({0, 0x24, 3, 0x10, 1, 3, 0, 1, 0})}, STATUS_UNSUCCESSFUL,
         {0x1B1C, 0x0A04}},
        {"0x1B1C 0x0A04 with both outputs",
         {it1, Unit({0, 0x24, 3, 0x10, 1, 3, 0, 1, 0}), Unit({0, 0x24, 3, 0x40, 2, 3, 0, 1, 0})},
         STATUS_SUCCESS,
         {0x1B1C, 0x0A04}},
    };
    for (const Row& row : rows) {
        DescriptorBuilder b = Control(row.Identity);
        for (const Bytes& u : row.Units) {
            b.Raw(u);
        }
        EXPECT_EQ(Parse(b), row.Expected) << row.Name;
        TearDown();  // the leak check of the pool runs at the end of the test; the stack goes now
        SetUp();
    }
}

TEST_F(Uac1ParseControlTest, DescriptorCutByTheEndOfTheConfigurationIsRefused)
{
    DescriptorBuilder b = Control();
    b.Uac1InputTerminal(1, 0x0101, 2);
    Bytes c = b.Configuration();
    c[c.size() - 12] = 13;  // the last terminal claims one byte more than the configuration holds
    EXPECT_EQ(Parse(b.DeviceDescriptor(), c), STATUS_UNSUCCESSFUL);
}

TEST_F(Uac1ParseControlTest, WrongInterfaceIsRefused)
{
    ASSERT_EQ(Parse(Control()), STATUS_SUCCESS);
    UCHAR streaming[9] = {9, 4, 1, 0, 0, 1, 2, 0, 0};
    EXPECT_EQ(ParseAudioControlUac1(m_function, reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(streaming), 9),
              STATUS_INVALID_PARAMETER);
    UCHAR uac2[9] = {9, 4, 0, 0, 0, 1, 1, 0x20, 0};
    EXPECT_EQ(ParseAudioControlUac1(m_function, reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(uac2), 9),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ParseAudioControlUac1(m_function, reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(uac2), 8),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ParseAudioControlUac1(m_function, nullptr, 100), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac1ParseControlTest, ChainOf250FeatureUnitsIsParsed)
{
    DescriptorBuilder b = Control();
    b.Uac1InputTerminal(1, 0x0101, 1);
    for (int id = 2; id <= 250; ++id) {
        b.Uac1FeatureUnit(static_cast<uint8_t>(id), static_cast<uint8_t>(id - 1), {0x0001, 0}, 1);
    }
    ASSERT_EQ(Parse(b), STATUS_SUCCESS);
    EXPECT_EQ(m_function->GetUnitCount(), 250u);
}

}  // namespace
}  // namespace kvxtest
