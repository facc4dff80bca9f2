// Text to computer braille through liblouis.
#include <liblouis.h>

#include "braille_text.h"

namespace {

// UTF-8 to code points; a malformed sequence becomes U+FFFD, as a terminal shows it.
std::vector<std::uint32_t> CodePoints(const std::string& text) {
    std::vector<std::uint32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80           ? 1
                           : (lead >> 5) == 0x6  ? 2
                           : (lead >> 4) == 0xE  ? 3
                           : (lead >> 3) == 0x1E ? 4
                                                 : 0;
        std::uint32_t point = length == 1   ? lead
                              : length == 2 ? lead & 0x1Fu
                              : length == 3 ? lead & 0x0Fu
                                            : lead & 0x07u;
        bool good = length > 0 && i + static_cast<std::size_t>(length) <= text.size();
        for (int k = 1; good && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            good = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3Fu);
        }
        if (!good) {
            points.push_back(0xFFFD);
            ++i;
            continue;
        }
        points.push_back(point);
        i += static_cast<std::size_t>(length);
    }
    return points;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> TranslateText(const std::string& text,
                                                       const std::string& table,
                                                       std::string& error) {
    std::vector<widechar> input;
    for (std::uint32_t point : CodePoints(text)) {
        // A liblouis built with 16-bit characters cannot take code points past U+FFFF.
        if (sizeof(widechar) < 4 && point > 0xFFFF) point = 0xFFFD;
        input.push_back(static_cast<widechar>(point));
    }
    if (input.empty()) return std::vector<std::uint8_t>{};
    int inputLength = static_cast<int>(input.size());
    std::vector<widechar> output(input.size() * 4 + 16);
    int outputLength = static_cast<int>(output.size());
    // dotsIO | ucBrl: each output character is a cell as Unicode braille, U+2800 + dots.
    if (lou_translateString(table.c_str(), input.data(), &inputLength, output.data(), &outputLength,
                            nullptr, nullptr, dotsIO | ucBrl) == 0) {
        error = "liblouis could not translate with the table " + table;
        return std::nullopt;
    }
    std::vector<std::uint8_t> cells;
    for (int i = 0; i < outputLength; ++i)
        cells.push_back(static_cast<std::uint8_t>(output[i] & 0xFF));
    return cells;
}
