// What both sides of the simulated display share about its cells: the dot order the display holds
// them in, and their text as Unicode braille. (Nothing here is shared with the driver.)
#pragma once

#include <cstdint>
#include <string>

namespace zelsim::detail {

// Device bit b of a cell holds dot kDotOfDeviceBit[b]: the left column from the bottom up
// (dots 7, 3, 2, 1), then the right column from the bottom up (dots 8, 6, 5, 4).
constexpr int kDotOfDeviceBit[8] = {7, 3, 2, 1, 8, 6, 5, 4};

// The host numbers bit i as dot i+1.
inline std::uint8_t DeviceToHost(std::uint8_t device) {
    std::uint8_t host = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (device & (1u << bit)) {
            host |= static_cast<std::uint8_t>(1u << (kDotOfDeviceBit[bit] - 1));
        }
    }
    return host;
}

// Host-order cells as Unicode braille (U+2800 + dots), in UTF-8.
template <class Cells>
std::string BrailleText(const Cells& cells) {
    std::string text;
    text.reserve(cells.size() * 3);
    for (std::uint8_t dots : cells) {
        // E2, A0 + the top two bits, 80 + the low six bits.
        text += static_cast<char>(0xE2);
        text += static_cast<char>(0xA0 | (dots >> 6));
        text += static_cast<char>(0x80 | (dots & 0x3F));
    }
    return text;
}

}  // namespace zelsim::detail
