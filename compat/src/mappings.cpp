// File mappings: named sections in POSIX shared memory.
//
// A section is a shared-memory object named "/<namespace>.<section name>" (with '/' and '%' in
// the section name written as %2F and %25). As on Windows, a view keeps the memory but not the
// name: the process that creates a section removes its name when it closes its last handle on
// it, where Windows keeps the name while any process holds one. A new section is made under a
// private name, given its size and mode, and only then linked to its public name, so that an opener
// never sees it half made.
#include <windows.h>
#include <zel_compat/mappings.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state.h"

namespace zelcompat::detail {

// Where glibc keeps shared-memory objects; the publishing link is made there.
constexpr const char* kShmFolder = "/dev/shm";
// View offsets are multiples of the allocation granularity, as on Windows.
constexpr std::uint64_t kAllocationGranularity = 0x10000;
// A section made with PAGE_READONLY carries this mode, so that openers in other processes learn
// it; a writable one carries kWritableMode.
constexpr mode_t kReadOnlyMode = 0400;
constexpr mode_t kWritableMode = 0600;

struct Section {
    int fd = -1;
    bool writable = false;
    std::uint64_t size = 0;

    Section() = default;
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    ~Section() {
        if (fd >= 0) close(fd);
    }
};

namespace {

std::string& NamespaceLocked(State& state) {
    if (!state.objectNamespaceKnown) {
        const char* fromEnvironment = std::getenv("ZEL_OBJECT_NAMESPACE");
        state.objectNamespace = fromEnvironment != nullptr ? fromEnvironment : "";
        state.objectNamespaceKnown = true;
    }
    if (state.objectNamespace.empty()) {
        state.objectNamespace = "zel-" + std::to_string(static_cast<unsigned long>(getuid()));
    }
    return state.objectNamespace;
}

// The shared-memory name of a section name, or "" with the last error set when the name cannot
// be one. "Local\" and "Global\" name the one namespace there is.
std::string ShmNameOf(State& state, const char* name) {
    if (name == nullptr) return "";
    std::string section = name;
    for (const char* prefix : {"Local\\", "Global\\"}) {
        if (section.rfind(prefix, 0) == 0) {
            section.erase(0, std::strlen(prefix));
            break;
        }
    }
    std::string result = "/" + NamespaceLocked(state) + ".";
    for (char c : section) {
        if (c == '/' || c == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            result += escaped;
        } else {
            result += c;
        }
    }
    if (result.size() > NAME_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return "";
    }
    return result;
}

HANDLE InsertSection(State& state, std::shared_ptr<Section> section, bool mapsForWrite,
                     const std::string& shmName, bool made) {
    if (!shmName.empty()) {
        NameRecord& record = state.sectionNames[shmName];
        record.handles += 1;
        if (made) {
            struct stat info {};
            fstat(section->fd, &info);
            record.owner = true;
            record.device = info.st_dev;
            record.inode = info.st_ino;
        }
    }
    auto object = std::make_shared<KernelObject>();
    object->kind = KernelObject::Kind::kMapping;
    object->section = std::move(section);
    object->mapsForWrite = mapsForWrite;
    object->sectionName = shmName;
    return InsertObject(state, std::move(object));
}

// Opens the section published under `shmName`; null when there is none (errno set).
std::shared_ptr<Section> OpenPublished(const std::string& shmName) {
    int fd = shm_open(shmName.c_str(), O_RDWR, 0);
    if (fd < 0 && errno == EACCES) fd = shm_open(shmName.c_str(), O_RDONLY, 0);
    if (fd < 0) return nullptr;
    auto section = std::make_shared<Section>();
    section->fd = fd;
    struct stat info {};
    if (fstat(fd, &info) != 0) return nullptr;
    section->size = static_cast<std::uint64_t>(info.st_size);
    const int accessMode = fcntl(fd, F_GETFL) & O_ACCMODE;
    section->writable = (info.st_mode & S_IWUSR) != 0 && accessMode == O_RDWR;
    return section;
}

// Makes a new section of `size` bytes, published under `shmName` unless that is empty. Sets
// `*exists` and returns null when the name is taken.
std::shared_ptr<Section> MakeSection(const std::string& shmName, std::uint64_t size, bool writable,
                                     bool* exists) {
    static std::atomic<unsigned> serial{0};
    const std::string privateName =
        "/zel-new." + std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
    const int fd = shm_open(privateName.c_str(), O_RDWR | O_CREAT | O_EXCL, kWritableMode);
    if (fd < 0) return nullptr;
    auto section = std::make_shared<Section>();
    section->fd = fd;
    section->size = size;
    section->writable = writable;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        (!writable && fchmod(fd, kReadOnlyMode) != 0)) {
        shm_unlink(privateName.c_str());
        return nullptr;
    }
    if (shmName.empty()) {
        shm_unlink(privateName.c_str());
        return section;
    }
    // link() never replaces an existing name: of two processes making the same section at once,
    // one publishes and the other opens what it published.
    const std::string from = kShmFolder + privateName;
    const std::string to = kShmFolder + shmName;
    const int linked = link(from.c_str(), to.c_str());
    const int linkError = errno;
    shm_unlink(privateName.c_str());
    if (linked != 0) {
        *exists = linkError == EEXIST;
        return nullptr;
    }
    return section;
}

}  // namespace

void CloseSection(State& state, KernelObject& object) {
    if (object.sectionName.empty()) return;
    auto found = state.sectionNames.find(object.sectionName);
    if (found == state.sectionNames.end() || --found->second.handles != 0) return;
    if (found->second.owner) {
        // Remove the name only while it still leads to this section: another process may have
        // made a new section by the same name after this one's name was taken away.
        struct stat named {};
        const std::string path = kShmFolder + object.sectionName;
        if (stat(path.c_str(), &named) == 0 && named.st_ino == found->second.inode &&
            named.st_dev == found->second.device) {
            shm_unlink(object.sectionName.c_str());
        }
    }
    state.sectionNames.erase(found);
}

}  // namespace zelcompat::detail

using zelcompat::detail::GlobalState;
using zelcompat::detail::KernelObject;
using zelcompat::detail::Section;

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES /*attributes*/, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name) {
    const std::uint64_t size = (static_cast<std::uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
    // Only sections backed by the paging file, of an explicit size.
    if (file != INVALID_HANDLE_VALUE || size == 0 ||
        (protect != PAGE_READONLY && protect != PAGE_READWRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    std::string shmName;
    if (name != nullptr && name[0] != '\0') {
        shmName = zelcompat::detail::ShmNameOf(state, name);
        if (shmName.empty()) return nullptr;
    }
    const bool writable = protect == PAGE_READWRITE;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool exists = false;
        auto section = zelcompat::detail::MakeSection(shmName, size, writable, &exists);
        if (section) {
            HANDLE handle = zelcompat::detail::InsertSection(state, std::move(section), writable,
                                                             shmName, true);
            SetLastError(ERROR_SUCCESS);
            return handle;
        }
        if (!exists) break;
        // The name is taken: the existing section is opened, with its own size, as on Windows.
        auto existing = zelcompat::detail::OpenPublished(shmName);
        if (existing) {
            const bool mapsForWrite = existing->writable;
            HANDLE handle = zelcompat::detail::InsertSection(state, std::move(existing),
                                                             mapsForWrite, shmName, false);
            SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
        // Its owner removed it in between: make it again.
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HANDLE WINAPI OpenFileMappingA(DWORD desiredAccess, BOOL /*inheritHandle*/, LPCSTR name) {
    if (name == nullptr || name[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    const std::string shmName = zelcompat::detail::ShmNameOf(state, name);
    if (shmName.empty()) return nullptr;
    auto section = zelcompat::detail::OpenPublished(shmName);
    if (!section) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // The handle may map for writing only if it asked for write access and the section allows it;
    // the section's own protection is checked at MapViewOfFile, as on Windows.
    const bool mapsForWrite = (desiredAccess & FILE_MAP_WRITE) != 0;
    return zelcompat::detail::InsertSection(state, std::move(section), mapsForWrite, shmName,
                                            false);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                            DWORD fileOffsetLow, SIZE_T bytesToMap) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    auto object = zelcompat::detail::FindObject(state, mapping);
    if (!object || object->kind != KernelObject::Kind::kMapping) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::shared_ptr<Section>& section = object->section;
    const bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
    const bool copy = (desiredAccess & FILE_MAP_COPY) != 0 && !write;
    if (write && (!object->mapsForWrite || !section->writable)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const std::uint64_t offset = (static_cast<std::uint64_t>(fileOffsetHigh) << 32) | fileOffsetLow;
    if (offset % zelcompat::detail::kAllocationGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= section->size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::uint64_t length = bytesToMap != 0 ? bytesToMap : section->size - offset;
    // A view may not reach past the section's end. Windows measures the exact size given at
    // creation; Wine measures it in whole pages.
    if (length > section->size - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const int protection = PROT_READ | (write || copy ? PROT_WRITE : 0);
    void* base = mmap(nullptr, static_cast<std::size_t>(length), protection,
                      copy ? MAP_PRIVATE : MAP_SHARED, section->fd, static_cast<off_t>(offset));
    if (base == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The mapping keeps the memory by itself, after the section's descriptor is closed too.
    state.views.emplace(reinterpret_cast<std::uintptr_t>(base), static_cast<std::size_t>(length));
    return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
    auto& state = GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    // Any address inside a view names that view.
    const auto address = reinterpret_cast<std::uintptr_t>(baseAddress);
    auto found = state.views.upper_bound(address);
    if (found == state.views.begin()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    --found;
    if (address - found->first >= found->second) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    munmap(reinterpret_cast<void*>(found->first), found->second);
    state.views.erase(found);
    return TRUE;
}

namespace zelcompat {

void SetObjectNamespace(const std::string& name) {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.objectNamespace = name;
    state.objectNamespaceKnown = true;
}

std::string ObjectNamespace() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return detail::NamespaceLocked(state);
}

std::size_t MappedViewCount() {
    auto& state = detail::GlobalState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.views.size();
}

}  // namespace zelcompat
