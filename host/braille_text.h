// Text as 8-dot computer braille cells, one cell a character, in the host's dot order (bit i is
// dot i+1). Natively liblouis translates it; the Windows build has no translator and takes cells
// in hex only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The default translation table: US computer braille, 8 dots.
constexpr const char* kDefaultBrailleTable = "en-us-comp8.ctb";

// The cells of UTF-8 `text` by `table`; nothing, with a sentence in `error`, when it cannot.
std::optional<std::vector<std::uint8_t>> TranslateText(const std::string& text,
                                                       const std::string& table,
                                                       std::string& error);
