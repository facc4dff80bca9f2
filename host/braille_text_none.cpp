// Builds without a braille translator (Windows): text is refused with the way round it.
#include "braille_text.h"

std::optional<std::vector<std::uint8_t>> TranslateText(const std::string&, const std::string&,
                                                       std::string& error) {
    error = "this build of zel-host translates no text; give the cells in hex (cells HEX)";
    return std::nullopt;
}
