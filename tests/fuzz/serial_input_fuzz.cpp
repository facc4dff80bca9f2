// Fuzzes what a serial display can send: arbitrary byte streams through the frame parser and the
// message dispatch (keys, characters, scan codes, identification replies), with the driver's
// state checked after every input.
#include <zel_compat/input.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver/driver.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each input starts from a driver that has a serial session's counts and is awaiting an
    // acknowledgement; there is no port, so nothing is written back.
    g_driver.m_parser = FrameParser{};
    g_driver.m_useHid = 0;
    g_driver.m_textCells = 40;
    g_driver.m_statusCells = 2;
    g_driver.m_awaitingAck = 1;
    g_driver.m_pendingKeyFlags = 0;
    for (std::size_t i = 0; i < size; ++i) {
        g_driver.FeedByte(data[i]);
        Require(g_driver.m_parser.state <= AwaitSumHigh);
        Require(g_driver.m_textCells >= 1 && g_driver.m_textCells <= 40);
        Require(g_driver.m_statusCells == 2);
        Require(g_driver.m_awaitingAck == 0 || g_driver.m_awaitingAck == 1);
        Require((g_driver.m_pendingKeyFlags & ~3u) == 0);
        Require(g_driver.m_secondRow == 0 || g_driver.m_secondRow == 1);
    }
    zelcompat::TakeInjectedKeys();
    return 0;
}
