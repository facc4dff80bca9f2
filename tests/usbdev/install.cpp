// Installs the test HID minidriver in the current Wine prefix (or Windows): zelusb.sys into the
// drivers folder and its INF into the INF folder, both taken from the folder this program is in.
// Run once per prefix; running it again replaces files that changed and is otherwise a no-op.
// Devices are created later, by the bench, for as long as a test runs.
//
// It also gives services more time to start (qemu makes the first driver load slow).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of("\\/")); }

bool SameContents(const std::string& a, const std::string& b) {
    auto read = [](const std::string& path, std::string* out) {
        FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return false;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out->append(buffer, n);
        std::fclose(file);
        return true;
    };
    std::string x, y;
    return read(a, &x) && read(b, &y) && x == y;
}

bool Put(const std::string& from, const std::string& to) {
    if (SameContents(from, to)) return true;
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
        std::fprintf(stderr, "zel-usb-install: cannot copy %s to %s (error %lu)\n", from.c_str(),
                     to.c_str(), GetLastError());
        return false;
    }
    std::printf("installed %s\n", to.c_str());
    return true;
}

}  // namespace

int main() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string here = Folder(self);
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string root = windows;

    if (!Put(here + "\\zelusb.sys", root + "\\system32\\drivers\\zelusb.sys")) return 1;
    if (!Put(here + "\\zelusb.inf", root + "\\inf\\zelusb.inf")) return 1;

    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        const char timeout[] = "120000";
        RegSetValueExA(key, "ServicesPipeTimeout", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(timeout), sizeof timeout);
        RegCloseKey(key);
    }
    return 0;
}
