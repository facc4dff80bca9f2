// The USB display's contract: the size of a report on the wire, the queue of display frames held
// back while an acknowledgement is awaited, and the millisecond spin of the hello exchange (which
// the serial identification uses too). The driver object owns the link's state; the code is in
// this folder (hid_link.cpp, hid_protocol.cpp) and in the poll cycle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hid/hid_api.h"

// One HID report on the wire: the report ID (always 0) and 8 data bytes.
constexpr std::size_t kReportDataSize = 8;
constexpr std::size_t kReportSize = kReportDataSize + 1;

// Display frames written while an acknowledgement is awaited: 8 slots of the 40 cells of a USB
// session, one slot always free.
constexpr std::size_t kFrameQueueSlots = 8;
constexpr std::size_t kQueuedFrameCells = 40;

struct FrameQueue {
    std::int32_t queueRead = 0;   // slot of the oldest queued frame, 0..7
    std::int32_t queueWrite = 0;  // slot the next queued frame goes into, 0..7
    std::uint8_t slots[kFrameQueueSlots][kQueuedFrameCells] = {};
};

// Spins on GetTickCount until more than `milliseconds` have elapsed, across the counter's
// wrap-around; neither sleeps nor pumps messages (hid_protocol.cpp).
void BusyWait(std::uint16_t milliseconds);
