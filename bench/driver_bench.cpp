// Costs of the driver's hot paths: the host's WriteMain call, the worker's cell write (encode,
// image, six reports to the link) and an idle poll tick, against the simulated USB display.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zel_compat/mappings.h>
#include <zel_sim/usb_display.h>

#include <vector>

#include "driver/driver.h"

namespace {

std::vector<unsigned char> Line(unsigned seed) {
    std::vector<unsigned char> cells(40);
    for (unsigned i = 0; i < cells.size(); ++i) cells[i] = static_cast<unsigned char>(seed + i);
    return cells;
}

class NullSink : public IBrailleSink {
  public:
    int OnKey(IBrailleDriver*, const char*, int) override { return 0; }
    int OnData(IBrailleDriver*, const unsigned char*, int) override { return 0; }
};

// The host thread's side: copy the cells and post them to the worker. The worker drains the
// queue meanwhile, as it does for a host.
void BM_HostWriteMain(benchmark::State& state) {
    zelsim::UsbDisplay display;
    NullSink sink;
    if (g_driver.Open("COM1", &sink, "", "") != 1) {
        state.SkipWithError("the simulated display did not open");
        return;
    }
    const std::vector<unsigned char> cells = Line(1);
    for (auto _ : state) benchmark::DoNotOptimize(g_driver.WriteMain(cells.data(), 40));
    g_driver.Close();
}
BENCHMARK(BM_HostWriteMain);

// The link opened on the calling thread, without a worker, as the worker holds it.
class DirectLink {
  public:
    DirectLink() {
        g_driver.m_useHid = 1;
        g_driver.m_textCells = 40;
        m_ok = g_driver.FindDisplay() == 1;
    }
    ~DirectLink() {
        g_driver.CloseTransport();
        g_driver.m_awaitingAck = 0;
        g_driver.m_frameQueue = FrameQueue{};
    }
    bool Ok() const { return m_ok; }

  private:
    bool m_ok = false;
};

// The worker's handling of one WriteMain: encode 40 cells into the image and send the frame.
void BM_WorkerCellWrite(benchmark::State& state) {
    zelsim::UsbDisplay display;
    DirectLink link;
    if (!link.Ok()) {
        state.SkipWithError("no display found");
        return;
    }
    const std::vector<unsigned char> cells = Line(2);
    for (auto _ : state) {
        g_driver.m_awaitingAck = 0;  // as if the last frame had been acknowledged
        g_driver.WriteMainCells(cells.data(), 40);
    }
}
BENCHMARK(BM_WorkerCellWrite);

void BM_EncodeCell(benchmark::State& state) {
    unsigned cell = 0;
    for (auto _ : state) benchmark::DoNotOptimize(EncodeCell(static_cast<std::uint8_t>(cell++)));
}
BENCHMARK(BM_EncodeCell);

// A tick with the display open and nothing to do: a look for the shared control block that finds
// none, one read that finds nothing, the time-out test.
void BM_IdlePollTick(benchmark::State& state) {
    zelsim::UsbDisplay display;
    DirectLink link;
    if (!link.Ok()) {
        state.SkipWithError("no display found");
        return;
    }
    for (auto _ : state) g_driver.Poll();
}
BENCHMARK(BM_IdlePollTick);

// The same tick attached to another program's shared control block: the block is read and the
// port number published before the link is looked at.
void BM_AttachedPollTick(benchmark::State& state) {
    zelsim::UsbDisplay display;
    DirectLink link;
    const HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              kSharedViewLength, kSharedSectionName);
    if (!link.Ok() || section == nullptr) {
        state.SkipWithError("no display found, or no section made");
        if (section != nullptr) CloseHandle(section);
        return;
    }
    g_driver.Poll();  // attaches
    if (g_driver.m_blockView == nullptr) state.SkipWithError("the driver did not attach");
    for (auto _ : state) g_driver.Poll();
    g_driver.DetachSharedBlock();
    CloseHandle(section);
}
BENCHMARK(BM_AttachedPollTick);

}  // namespace

int main(int argc, char** argv) {
    // Sections of the benchmark's own: a tool may have made the driver's block in the default
    // namespace.
    zelcompat::SetObjectNamespace("zel-bench-" + std::to_string(getpid()));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
