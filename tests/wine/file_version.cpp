// Reads a file's version resource as Windows' file properties and an installer read it
// (GetFileVersionInfoA, VerQueryValueA), prints it, and with a VERSION checks it:
//
//   file_version FILE [VERSION]
//
// The check holds when the fixed file and product versions are VERSION.0, the strings
// "FileVersion" and "ProductVersion" are VERSION, "ProductName" is "ZEL", "OriginalFilename" is
// the file's own name and "FileDescription" says something. Exit status 0 when it holds (or
// without VERSION, when the file has a version resource); 1 otherwise, with the reasons.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const kStrings[] = {"FileDescription",  "FileVersion", "InternalName",
                                "OriginalFilename", "ProductName", "ProductVersion"};

std::string Dotted(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: file_version FILE [VERSION]\n");
        return 2;
    }
    const std::string file = argv[1];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) {
        std::printf("%s has no version resource (error %lu)\n", file.c_str(), GetLastError());
        return 1;
    }
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, info.data())) {
        std::printf("GetFileVersionInfoA failed with error %lu\n", GetLastError());
        return 1;
    }

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof *fixed) {
        std::printf("no fixed version information\n");
        return 1;
    }
    const std::string fileVersion = Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    const std::string productVersion = Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    std::printf("fixed file version %s, product version %s, type %s\n", fileVersion.c_str(),
                productVersion.c_str(),
                fixed->dwFileType == VFT_DLL   ? "DLL"
                : fixed->dwFileType == VFT_APP ? "program"
                                               : "other");

    // The strings of the first language the resource lists.
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof *translations) {
        std::printf("no translation listed\n");
        return 1;
    }
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04x%04x\\", translations->language,
                  translations->codePage);
    std::vector<std::pair<std::string, std::string>> strings;
    for (const char* name : kStrings) {
        char* value = nullptr;
        const std::string query = prefix + std::string(name);
        std::string text;
        if (VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
            value != nullptr) {
            text = value;
        }
        std::printf("%s: %s\n", name, text.c_str());
        strings.emplace_back(name, text);
    }
    if (argc == 2) return 0;

    const std::string version = argv[2];
    auto stringOf = [&](const std::string& name) {
        for (const auto& [key, value] : strings)
            if (key == name) return value;
        return std::string();
    };
    int failures = 0;
    auto expect = [&](bool holds, const std::string& what) {
        if (!holds) {
            std::printf("FAILED: %s\n", what.c_str());
            ++failures;
        }
    };
    expect(fileVersion == version + ".0", "fixed file version " + version + ".0");
    expect(productVersion == version + ".0", "fixed product version " + version + ".0");
    expect(stringOf("FileVersion") == version, "FileVersion " + version);
    expect(stringOf("ProductVersion") == version, "ProductVersion " + version);
    expect(stringOf("ProductName") == "ZEL", "ProductName ZEL");
    expect(stringOf("OriginalFilename") == BaseName(file), "OriginalFilename " + BaseName(file));
    expect(!stringOf("FileDescription").empty(), "a FileDescription");
    if (failures == 0) std::printf("the version resource says ZEL %s\n", version.c_str());
    return failures == 0 ? 0 : 1;
}
