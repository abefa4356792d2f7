// Client arbitration: which client's format is prepared, which client runs and receives the
// messages, what each client operation prepares, starts, stops and unprepares, and that a failure
// at any step leaves every client removable.
#include <sstream>
#include <string>

#include "tests/support/CaseName.h"
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

// A UAC1 render endpoint that logs the preparations and stream changes the arbitration makes
// ("P3" prepare for a kind-3 client, "S" start, "X" stop, "U" unprepare) and can fail the n-th
// preparation or start.
class RecordingRender : public Uac1RenderEndpoint {
public:
    using Uac1RenderEndpoint::Uac1RenderEndpoint;

    NTSTATUS PrepareFormat(EndpointClient* client, PULONG frame) override
    {
        Log << "P" << client->ClientKind << " ";
        if (++Prepares == FailPrepareAt) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        return Uac1RenderEndpoint::PrepareFormat(client, frame);
    }
    NTSTATUS UnprepareFormat() override
    {
        if (GetStreamState() == STREAM_STATE_PREPARED) {
            Log << "U ";
        }
        return Uac1RenderEndpoint::UnprepareFormat();
    }
    NTSTATUS StartStreaming(ULONG frame, UCHAR explicitStart) override
    {
        if (GetStreamState() == STREAM_STATE_PREPARED) {
            Log << "S ";
            if (++Starts == FailStartAt) {
                return STATUS_UNSUCCESSFUL;
            }
        }
        return Uac1RenderEndpoint::StartStreaming(frame, explicitStart);
    }
    NTSTATUS StopStreaming() override
    {
        if (GetStreamState() == STREAM_STATE_STREAMING) {
            Log << "X ";
        }
        return Uac1RenderEndpoint::StopStreaming();
    }

    std::ostringstream Log;
    int Prepares = 0, Starts = 0;
    int FailPrepareAt = 0, FailStartAt = 0;
};

// "5C" for 5 ms with the changed bit, "5" without.
std::string Events(const ClientDouble& client)
{
    std::string out;
    for (ULONG e : client.FormatEvents) {
        out += std::to_string(e & ~TRANSPORT_FORMAT_CHANGED) + ((e & TRANSPORT_FORMAT_CHANGED) ? "C " : " ");
    }
    return out;
}

struct Scenario {
    const char* name;
    // Steps: client W (wave stream, kind 3, 48 kHz, 5 ms) or A (ASIO, kind 5, 44.1 kHz, 2 ms), or
    // W2 (a second kind-3 client); "+" start, ">" run, "<" pause, "-" stop, "x" unregister; a
    // trailing "!" expects the step to fail.
    const char* steps;
    int failPrepareAt;
    int failStartAt;
    const char* log;
    const char* waveEvents;
    const char* asioEvents;
};

const Scenario kScenarios[] = {
    {"one client plays and stops", "W+ W> W< W-", 0, 0, "P3 S X U ", "5C ", ""},
    {"the last running client pauses: the format stays until the last stop", "W+ W> W<", 0, 0, "P3 S X ", "5C ", ""},
    {"ASIO takes over a playing wave stream and gives it back", "W+ W> A+ A> A< A- W< W-", 0, 0,
     "P3 S X U P5 S X U P3 S X U ", "5C 5C ", "2C "},
    {"a client that does not head the started list prepares nothing", "A+ W+ A> W> W< A< W- A-", 0, 0, "P5 S X U ",
     "", "2C 2 "},
    {"a second run of the running client announces without the changed bit", "W+ W> W>! W< W-", 0, 0, "P3 S X U ",
     "5C ", ""},
    {"run without a prepared format", "W>!", 0, 0, "", "", ""},
    {"unregister of a started client changes nothing", "W+ Wx! W-", 0, 0, "P3 U ", "", ""},
    {"two clients of one kind: the later started heads the list", "W+ V+ V- W-", 0, 0, "P3 U P3 U P3 U ", "", ""},
    {"a failed preparation at start", "W+!", 1, 0, "P3 ", "", ""},
    {"a failed start at run", "W+ W>!", 0, 1, "P3 S U ", "5C ", ""},
    {"ASIO's preparation fails over a playing stream", "W+ W> A+!", 2, 0, "P3 S X U P5 ", "5C ", ""},
    {"ASIO's start fails: the wave stream is addressed again", "W+ W> A+ A>!", 0, 2, "P3 S X U P5 S U ", "5C 5 ",
     "2C "},
    {"the wave stream's preparation fails when ASIO pauses", "W+ W> A+ A> A<!", 3, 0, "P3 S X U P5 S X U P3 ", "5C ",
     "2C "},
};

class ArbitrationTest : public StreamFixture, public ::testing::WithParamInterface<Scenario> {};

TEST_P(ArbitrationTest, Scenario)
{
    const Scenario& s = GetParam();
    auto* endpoint = NewEndpoint<RecordingRender>(1, {PcmFormat(48000), PcmFormat(44100)});
    endpoint->FailPrepareAt = s.failPrepareAt;
    endpoint->FailStartAt = s.failStartAt;
    ClientDouble wave, wave2, asio;
    asio.Kind = CLIENT_KIND_ASIO;
    ASSERT_EQ(Register(endpoint, wave, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
    ASSERT_EQ(Register(endpoint, wave2, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
    ASSERT_EQ(Register(endpoint, asio, PcmFormat(44100), 2, 4), STATUS_SUCCESS);

    std::istringstream steps(s.steps);
    std::string step;
    while (steps >> step) {
        ClientDouble& client = step[0] == 'A' ? asio : step[0] == 'V' ? wave2 : wave;
        PVOID handle = client.Record->Registration;
        ULONG ms = 0, frame = 0;
        NTSTATUS status = STATUS_SUCCESS;
        switch (step[1]) {
        case '+': status = endpoint->ClientStart(handle, &ms, &frame); break;
        case '>': status = endpoint->ClientRun(handle, frame + 2, &ms, nullptr); break;
        case '<': status = endpoint->ClientPause(handle, nullptr); break;
        case '-': status = endpoint->ClientStop(handle); break;
        case 'x': status = endpoint->UnregisterClient(handle); break;
        }
        const bool expectFailure = step.back() == '!';
        EXPECT_EQ(NT_SUCCESS(status), !expectFailure) << s.name << ": step " << step << " gave 0x" << std::hex << status;
        platform::RunFor(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(endpoint->Log.str(), s.log) << s.name;
    EXPECT_EQ(Events(wave), s.waveEvents) << s.name;
    EXPECT_EQ(Events(asio), s.asioEvents) << s.name;

    // Whatever happened, every client can leave.
    for (ClientDouble* client : {&asio, &wave2, &wave}) {
        PVOID handle = client->Record->Registration;
        endpoint->ClientPause(handle, nullptr);
        endpoint->ClientStop(handle);
        EXPECT_EQ(endpoint->UnregisterClient(handle), STATUS_SUCCESS) << s.name;
    }
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE) << s.name;
    EXPECT_EQ(endpoint->GetOutstandingTransfers(), 0) << s.name;
}

INSTANTIATE_TEST_SUITE_P(Table, ArbitrationTest, ::testing::ValuesIn(kScenarios), CaseName());

using ArbitrationAddressTest = StreamFixture;

// While ASIO runs over a running wave stream, only ASIO fills the transfers and its format is the
// endpoint's; when it pauses the wave stream is filled again.
TEST_F(ArbitrationAddressTest, OnlyTheRunningClientIsAddressed)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble wave, asio;
    asio.Kind = CLIENT_KIND_ASIO;
    Play(endpoint, wave, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_GT(wave.Fills.load(), 0);
    Play(endpoint, asio, PcmFormat(44100), 2, 4);
    const int waveFills = wave.Fills.load();
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ(wave.Fills.load(), waveFills);
    EXPECT_GT(asio.Fills.load(), 0);
    EXPECT_EQ(endpoint->m_CurrentWaveFormat.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(endpoint->GetRunningClient(), asio.Record);
    EXPECT_EQ(endpoint->ClientPause(asio.Record->Registration, nullptr), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_GT(wave.Fills.load(), waveFills);
    EXPECT_EQ(endpoint->m_CurrentWaveFormat.Format.nSamplesPerSec, 48000u);
    Finish(endpoint, asio);
    Finish(endpoint, wave);
}

}  // namespace
}  // namespace kvxtest
