// The device session's contract: the display image and its cell encoding, the port name's room,
// and the shared control block through which another program borrows the display. The driver
// object owns the image, the name and the block's view; the code is in this folder.
#pragma once

#include <cstddef>
#include <cstdint>

// The display image: 42 cells in the display's dot order, status cells first.
constexpr std::size_t kImageCells = 42;

// The port name of the last open attempt, with its terminator.
constexpr std::size_t kPortNameSize = 128;

// Converts a host cell (bit i = dot i+1) into the display's dot order (display_image.cpp).
std::uint8_t EncodeCell(std::uint8_t hostCell);

// The shared control block: another program on the machine makes the section; the driver opens
// it, maps this many bytes and finds three little-endian 32-bit words at the start.
constexpr char kSharedSectionName[] = "qx517sharemem";
constexpr std::size_t kSharedViewLength = 255;

struct SharedControlBlock {
    // The driver's COM port number while it runs; 101 asks it to pause, 102 is its answer; 200
    // and more ask it to resume, and it leaves the value less 200.
    std::int32_t stateWord;
    // The serial display's identification bytes, zero-extended, written when the driver pauses.
    std::uint32_t idWord1;
    std::uint32_t idWord2;
};
// The other program may be of the other bitness: the block is three 32-bit words in both builds.
static_assert(sizeof(SharedControlBlock) == 12 && offsetof(SharedControlBlock, idWord1) == 4 &&
                  offsetof(SharedControlBlock, idWord2) == 8,
              "the shared control block's layout is the same for 32-bit and 64-bit programs");

// Values of stateWord.
constexpr std::int32_t kPauseRequest = 101;
constexpr std::int32_t kPausedAnswer = 102;
constexpr std::int32_t kResumeRequest = 200;
