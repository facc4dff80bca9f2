// The process's open handles, for checks that a sequence of driver calls gives back every handle
// it took. Wine's GetProcessHandleCount answers 0 whatever is open, so the handles are counted by
// asking about every small handle value in turn; a census also names each one's type, so that a
// check that finds more handles after than before can say what they are.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

inline DWORD CountProcessHandles() {
    DWORD count = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// The process's handles by type ("Event", "File", "Key", ...).
inline std::map<std::string, int> ProcessHandleTypes() {
    // NtQueryObject's ObjectTypeInformation (2): a UNICODE_STRING with the type's name first.
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    std::map<std::string, int> types;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags)) continue;
        struct TypeName {
            USHORT length;
            USHORT maximumLength;
            const wchar_t* buffer;
        };
        alignas(8) unsigned char information[1024] = {};
        const auto* name = reinterpret_cast<const TypeName*>(information);
        std::string type = "?";
        if (query != nullptr && query(handle, 2, information, sizeof information, nullptr) >= 0 &&
            name->buffer != nullptr) {
            type.clear();
            for (USHORT i = 0; i < name->length / 2; ++i)
                type += static_cast<char>(name->buffer[i]);
        }
        ++types[type];
    }
    return types;
}

// "Event +1, Key -2": what the second census has more or fewer of than the first.
inline std::string HandleTypeDifference(const std::map<std::string, int>& before,
                                        const std::map<std::string, int>& after) {
    std::map<std::string, int> difference;
    for (const auto& [type, count] : after) difference[type] += count;
    for (const auto& [type, count] : before) difference[type] -= count;
    std::string text;
    for (const auto& [type, count] : difference) {
        if (count == 0) continue;
        if (!text.empty()) text += ", ";
        text += type + (count > 0 ? " +" : " ") + std::to_string(count);
    }
    return text.empty() ? "no difference by type" : text;
}
