// The files through which a program run by zel-serial-sim-run talks to the simulated display
// (its control folder, named in ZEL_SIM_CONTROL): asking it to calm down, and naming the cells
// the program waits to see shown.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

namespace simcontrol {

// The control folder; empty when not run through zel-serial-sim-run.
inline std::string Folder() {
    const char* folder = std::getenv("ZEL_SIM_CONTROL");
    return folder != nullptr ? folder : "";
}

inline bool Exists(const std::string& folder, const char* name) {
    return GetFileAttributesA((folder + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Writes the file whole or not at all: the display never reads half of it.
inline void Write(const std::string& folder, const char* name, const std::string& text) {
    const std::string temporary = folder + "\\" + name + ".tmp";
    const HANDLE file =
        CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    MoveFileA(temporary.c_str(), (folder + "\\" + name).c_str());
}

// The cells in the "expect" file's form: hex bytes separated by spaces, host dot order.
inline std::string HexCells(const unsigned char* cells, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        if (i) hex += ' ';
        hex += digits[cells[i] >> 4];
        hex += digits[cells[i] & 15];
    }
    return hex;
}

}  // namespace simcontrol
