// A display frame of the serial protocol, built from the wire format alone, for the test programs
// that write a line on a borrowed port themselves.
#pragma once

#include <vector>

inline std::vector<unsigned char> DisplayFrame(const std::vector<unsigned char>& cells) {
    std::vector<unsigned char> frame = {0x01, 0x02, 0x00, static_cast<unsigned char>(cells.size()),
                                        0x03};
    unsigned sum = 0x02 + 0x00 + static_cast<unsigned>(cells.size()) + 0x03;
    for (unsigned char cell : cells) {
        frame.push_back(cell);
        sum += cell;
    }
    const unsigned sent = (sum & 0xFFFF) ^ 0xAA55;
    frame.push_back(static_cast<unsigned char>(sent & 0xFF));
    frame.push_back(static_cast<unsigned char>(sent >> 8));
    return frame;
}
