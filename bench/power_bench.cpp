// The cost of `OnPnpIrp`, which precedes every create, close and device-control request (each KS
// property request) and every PnP request but the start, on the whole driver started on the
// built-in headset: selective suspend off; on, with the device awake and no idle request out; and
// on, with an idle request that the hub holds and each request cancels (the request is sent again
// outside the measured time).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "adapter/AdapterExtension.h"
#include "adapter/AudioHal.h"
#include "platform/io/Io.h"
#include "platform/nt/Machine.h"
#include "sim/Profile.h"
#include "tools/StreamCommand.h"
#include "tools/StreamSession.h"
#include "usb/UsbAudioDevice.h"

namespace {

struct Driver {
    kvx::StreamSession Session;
    IAudioHal* Hal = nullptr;
    PIRP Irp = nullptr;

    explicit Driver(bool selectiveSuspend)
    {
        platform::MachineReset();
        std::string error;
        auto device = sim::ParseProfile(kvx::BuiltInHeadsetProfile(), ".", &error);
        Session.SetSelectiveSuspend(selectiveSuspend);
        if (device == nullptr || !NT_SUCCESS(Session.Start(std::move(device)))) return;
        Hal = GetAdapterExtension(Session.Fdo())->Device;
        Irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(Irp);
        IoGetCurrentIrpStackLocation(Irp)->MajorFunction = IRP_MJ_CREATE;
    }
    ~Driver()
    {
        if (Irp != nullptr) IoFreeIrp(Irp);
        std::string report;
        Session.End(&report);
    }
};

void OnPnpIrp(benchmark::State& state)
{
    const bool selectiveSuspend = state.range(0) != 0;
    const bool heldRequest = state.range(1) != 0;
    Driver driver(selectiveSuspend);
    if (driver.Hal == nullptr) {
        state.SkipWithError("the driver did not start");
        return;
    }
    auto* usb = static_cast<UsbAudioDevice*>(driver.Hal);
    if (heldRequest) driver.Session.Device().SetIdleAnswer(STATUS_PENDING);
    for (auto _ : state) {
        if (heldRequest) {
            state.PauseTiming();
            usb->SubmitIdleRequest();
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(driver.Hal->OnPnpIrp(driver.Irp));
    }
}

BENCHMARK(OnPnpIrp)
    ->ArgNames({"selective_suspend", "held_request"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
