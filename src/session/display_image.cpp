// The display image and the handlers of the host's cell writes and clears; worker thread only.
#include <cstring>

#include "driver/driver.h"

std::uint8_t EncodeCell(std::uint8_t hostCell) {
    // Host bit i is dot i+1. The display holds its left column from the bottom up in bits 0-3
    // (dots 7, 3, 2, 1) and its right column from the bottom up in bits 4-7 (dots 8, 6, 5, 4).
    static constexpr std::uint8_t kDeviceBit[8] = {3, 2, 1, 7, 6, 5, 0, 4};
    std::uint8_t device = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((hostCell >> bit) & 1) device |= static_cast<std::uint8_t>(1u << kDeviceBit[bit]);
    }
    return device;
}

namespace {

// Stores `count` host cells into the image from cell `start`. A write that reaches past the
// image's last cell is cut there: the cells that fit are shown, none lands outside the image.
void StoreCells(std::uint8_t (&image)[kImageCells], std::uint32_t start, const std::uint8_t* cells,
                std::uint32_t count) {
    if (start >= kImageCells) return;
    const std::uint32_t room = static_cast<std::uint32_t>(kImageCells) - start;
    if (count > room) count = room;
    for (std::uint32_t i = 0; i < count; ++i) image[start + i] = EncodeCell(cells[i]);
}

}  // namespace

void CBrailleSampleDriver::WriteMainCells(const std::uint8_t* cells, std::uint32_t count) {
    // The main cells follow the status cells; the count comes through the host's own slot.
    const int statusCells = GetStatusCellCount();
    WriteImage(statusCells > 0 ? static_cast<std::uint32_t>(statusCells) : 0, cells, count);
}

void CBrailleSampleDriver::WriteAllCells(const std::uint8_t* cells, std::uint32_t count) {
    if (count == 0) return;
    WriteImage(0, cells, count);
}

void CBrailleSampleDriver::WriteImage(std::uint32_t start, const std::uint8_t* cells,
                                      std::uint32_t count) {
    const bool linkOpen = TransportIsOpen() && (m_useHid == 1 || m_suspended == 0);
    // A write while the link is closed goes nowhere, except while the display is lent to another
    // program: the image then keeps following the host, and comes back with the display.
    if (!linkOpen && m_sharedPause == 0) return;
    StoreCells(m_cellBuffer, start, cells, count);
    if (!linkOpen) return;
    if (m_useHid == 1) {
        SendDisplayFrame(m_cellBuffer);
    } else {
        SendFrame(MsgDisplay, kImageCells, m_cellBuffer);
    }
}

void CBrailleSampleDriver::ClearCells() {
    // The image keeps its content; a later resend brings it back.
    const std::uint8_t blank[kImageCells] = {};
    if (m_useHid == 1) {
        SendDisplayFrame(blank);
    } else {
        SendFrame(MsgDisplay, kImageCells, blank);
    }
}

void CBrailleSampleDriver::ResendImage() {
    if (m_useHid == 1) {
        SendDisplayFrame(m_cellBuffer);
    } else {
        SendFrame(MsgDisplay, kImageCells, m_cellBuffer);
    }
}

void CBrailleSampleDriver::BlankBeforeClose() {
    // The host is letting the display go: the last frame it gets is a blank one, sent at once even
    // while an acknowledgement is awaited, because nothing will be sent or acknowledged after the
    // link is released. A display that is merely suspended or being recovered keeps its cells.
    if (!TransportIsOpen()) return;
    EmptyFrameQueue();
    m_deferredPending = 0;
    m_awaitingAck = 0;
    ClearCells();
    // Closing the port purges it: a frame the display has not taken in by then is lost, or reaches
    // it cut short. The display's acknowledgement says it has the blank frame.
    if (m_useHid == 0) AwaitSerialAck();
}
