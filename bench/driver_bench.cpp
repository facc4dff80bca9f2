// Costs of the driver's hot paths: the host's WriteMain call, the worker's cell write (encode,
// image, six reports to the link) and an idle poll tick, against the simulated USB display.
#include <benchmark/benchmark.h>
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

// A tick with the display open and nothing to do: one read that finds nothing, the time-out test.
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

}  // namespace

BENCHMARK_MAIN();
