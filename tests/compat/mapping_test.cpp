// Named file mappings: what the driver's shared control block relies on (a section made by one
// side, opened by name and mapped for writing by the other, both seeing each other's words) and
// the ways a create, open, map or unmap fails.
#include <cstring>
#include <random>
#include <string>

#include "support.h"

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <zel_compat/mappings.h>

#include <cstdlib>
#include <vector>

extern char** environ;
#endif

namespace compat_test {
namespace {

constexpr DWORD kAllAccess = FILE_MAP_ALL_ACCESS;
constexpr DWORD kMapWrite = FILE_MAP_WRITE;
constexpr DWORD kMapRead = FILE_MAP_READ;

// A section name no other run uses at the same time.
std::string UniqueName(const char* base) {
    std::random_device random;
    return std::string(base) + "-" + std::to_string(random()) + "-" + std::to_string(random());
}

HANDLE CreateSection(const std::string& name, DWORD size, DWORD protect = PAGE_READWRITE) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, size,
                              name.empty() ? nullptr : name.c_str());
}

class MappingTest : public CompatTest {
  protected:
#ifndef _WIN32
    void SetUp() override {
        CompatTest::SetUp();
        views_ = zelcompat::MappedViewCount();
    }
    void TearDown() override {
        EXPECT_EQ(zelcompat::MappedViewCount(), views_) << "the case left views mapped";
        CompatTest::TearDown();
    }

  private:
    std::size_t views_ = 0;
#endif
};

TEST_F(MappingTest, SectionOpenedByNameSharesItsWords) {
    const std::string name = UniqueName("zel-share");
    SetLastError(kUntouched);
    HANDLE creator = CreateSection(name, 255);
    ASSERT_NE(creator, nullptr);
    EXPECT_LAST_ERROR(ERROR_SUCCESS);
    auto* written =
        static_cast<volatile std::int32_t*>(MapViewOfFile(creator, kAllAccess, 0, 0, 0));
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written[0], 0) << "a new section is zeroed";

    // The way the driver opens it: all access, inheritable, a writable view of 255 bytes.
    HANDLE opened = OpenFileMappingA(kAllAccess, TRUE, name.c_str());
    ASSERT_NE(opened, nullptr);
    auto* view = static_cast<volatile std::int32_t*>(MapViewOfFile(opened, kMapWrite, 0, 0, 255));
    ASSERT_NE(view, nullptr);
    EXPECT_NE(static_cast<volatile void*>(view), static_cast<volatile void*>(written));
    written[0] = 101;
    EXPECT_EQ(view[0], 101);
    view[1] = 0x12;
    view[0] = 102;
    EXPECT_EQ(written[0], 102);
    EXPECT_EQ(written[1], 0x12);

    // "Local\" names the same section.
    HANDLE local = OpenFileMappingA(kMapRead, FALSE, ("Local\\" + name).c_str());
    ASSERT_NE(local, nullptr);
    auto* readOnly =
        static_cast<const volatile std::int32_t*>(MapViewOfFile(local, kMapRead, 0, 0, 12));
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(readOnly[0], 102);

    EXPECT_TRUE(UnmapViewOfFile(const_cast<std::int32_t*>(readOnly)));
    EXPECT_TRUE(UnmapViewOfFile(const_cast<std::int32_t*>(view)));
    EXPECT_TRUE(UnmapViewOfFile(const_cast<std::int32_t*>(written)));
    EXPECT_TRUE(CloseHandle(local));
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(creator));
}

TEST_F(MappingTest, CreatingAnExistingNameOpensIt) {
    const std::string name = UniqueName("zel-exists");
    HANDLE first = CreateSection(name, 255);
    ASSERT_NE(first, nullptr);
    SetLastError(kUntouched);
    HANDLE second = CreateSection(name, 255);
    ASSERT_NE(second, nullptr);
    EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
    EXPECT_NE(first, second);
    auto* a = static_cast<std::int32_t*>(MapViewOfFile(first, kMapWrite, 0, 0, 255));
    auto* b = static_cast<std::int32_t*>(MapViewOfFile(second, kMapWrite, 0, 0, 255));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    a[2] = 7;
    EXPECT_EQ(b[2], 7);
    EXPECT_TRUE(UnmapViewOfFile(a));
    EXPECT_TRUE(UnmapViewOfFile(b));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(first));
}

TEST_F(MappingTest, NameLastsWhileAHandleDoes) {
    const std::string name = UniqueName("zel-lifetime");
    HANDLE creator = CreateSection(name, 255);
    ASSERT_NE(creator, nullptr);
    auto* view = static_cast<volatile std::int32_t*>(MapViewOfFile(creator, kMapWrite, 0, 0, 255));
    ASSERT_NE(view, nullptr);
    HANDLE other = OpenFileMappingA(kAllAccess, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(CloseHandle(creator));

    HANDLE again = OpenFileMappingA(kAllAccess, FALSE, name.c_str());
    EXPECT_NE(again, nullptr) << "another handle keeps the name";
    if (again != nullptr) {
        EXPECT_TRUE(CloseHandle(again));
    }
    EXPECT_TRUE(CloseHandle(other));

    // A view keeps the memory but not the name.
    SetLastError(kUntouched);
    EXPECT_EQ(OpenFileMappingA(kAllAccess, FALSE, name.c_str()), nullptr);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    view[0] = 5;
    EXPECT_EQ(view[0], 5);
    EXPECT_TRUE(UnmapViewOfFile(const_cast<std::int32_t*>(view)));
}

struct OpenFailure {
    const char* what;
    bool nullName;
    DWORD error;
};

TEST_F(MappingTest, OpenFailures) {
    const OpenFailure cases[] = {
        {"absent name", false, ERROR_FILE_NOT_FOUND},
        {"null name", true, ERROR_INVALID_PARAMETER},
    };
    const std::string absent = UniqueName("zel-absent");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(kUntouched);
        EXPECT_EQ(OpenFileMappingA(kAllAccess, TRUE, c.nullName ? nullptr : absent.c_str()),
                  nullptr);
        EXPECT_LAST_ERROR(c.error);
    }
    SetLastError(kUntouched);
    EXPECT_EQ(CreateSection(UniqueName("zel-empty"), 0), nullptr) << "a section needs a size";
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

struct MapCase {
    const char* what;
    DWORD offsetLow;
    SIZE_T bytes;
    DWORD error;  // ERROR_SUCCESS: the view is made
};

TEST_F(MappingTest, ViewsStayInsideTheSection) {
    HANDLE section = CreateSection("", 0x20000);  // two allocation units, unnamed
    ASSERT_NE(section, nullptr);
    const MapCase cases[] = {
        {"whole section", 0, 0, ERROR_SUCCESS},
        {"exactly to the end", 0, 0x20000, ERROR_SUCCESS},
        {"second unit", 0x10000, 0x10000, ERROR_SUCCESS},
        {"past the end", 0, 0x20001, ERROR_ACCESS_DENIED},
        {"second unit past the end", 0x10000, 0x10001, ERROR_ACCESS_DENIED},
        {"offset not on a unit", 0x1000, 16, ERROR_MAPPED_ALIGNMENT},
        {"offset at the end", 0x20000, 16, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(kUntouched);
        void* view = MapViewOfFile(section, kMapWrite, 0, c.offsetLow, c.bytes);
        if (c.error == ERROR_SUCCESS) {
            ASSERT_NE(view, nullptr);
            static_cast<volatile char*>(view)[0] = 1;
            EXPECT_TRUE(UnmapViewOfFile(view));
        } else {
            EXPECT_EQ(view, nullptr);
            EXPECT_LAST_ERROR(c.error);
            if (view != nullptr) UnmapViewOfFile(view);
        }
    }
    EXPECT_TRUE(CloseHandle(section));
}

TEST_F(MappingTest, SectionShorterThanTheViewIsRefused) {
    // The driver maps 255 bytes; a section of 100 cannot give them.
    HANDLE section = CreateSection(UniqueName("zel-short"), 100);
    ASSERT_NE(section, nullptr);
    SetLastError(kUntouched);
    void* beyondPage = MapViewOfFile(section, kMapWrite, 0, 0, 0x10000);
    EXPECT_EQ(beyondPage, nullptr);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    SetLastError(kUntouched);
    void* view = MapViewOfFile(section, kMapWrite, 0, 0, 255);
    if (view != nullptr) UnmapViewOfFile(view);
    EXPECT_TRUE(CloseHandle(section));
    WINE_DIFFERS("a view may reach to the end of the section's last page");
    EXPECT_EQ(view, nullptr);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
}

TEST_F(MappingTest, WriteViewsNeedWriteAccess) {
    const std::string name = UniqueName("zel-access");
    HANDLE readOnly = CreateSection(name, 255, PAGE_READONLY);
    ASSERT_NE(readOnly, nullptr);
    SetLastError(kUntouched);
    EXPECT_EQ(MapViewOfFile(readOnly, kMapWrite, 0, 0, 255), nullptr);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    void* reading = MapViewOfFile(readOnly, kMapRead, 0, 0, 255);
    EXPECT_NE(reading, nullptr);
    if (reading != nullptr) {
        EXPECT_TRUE(UnmapViewOfFile(reading));
    }
    EXPECT_TRUE(CloseHandle(readOnly));

    HANDLE writable = CreateSection(UniqueName("zel-access"), 255);
    ASSERT_NE(writable, nullptr);
    const std::string writableName = name + "-rw";
    HANDLE named = CreateSection(writableName, 255);
    ASSERT_NE(named, nullptr);
    HANDLE forReading = OpenFileMappingA(kMapRead, FALSE, writableName.c_str());
    ASSERT_NE(forReading, nullptr);
    SetLastError(kUntouched);
    EXPECT_EQ(MapViewOfFile(forReading, kMapWrite, 0, 0, 255), nullptr)
        << "a handle opened for reading maps no writable view";
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(forReading));
    EXPECT_TRUE(CloseHandle(named));
    EXPECT_TRUE(CloseHandle(writable));
}

TEST_F(MappingTest, BadHandlesAndAddresses) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    for (HANDLE handle : {static_cast<HANDLE>(nullptr), event}) {
        SetLastError(kUntouched);
        EXPECT_EQ(MapViewOfFile(handle, kMapWrite, 0, 0, 255), nullptr);
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(CloseHandle(event));

    HANDLE section = CreateSection("", 255);
    ASSERT_NE(section, nullptr);
    auto* view = static_cast<char*>(MapViewOfFile(section, kMapWrite, 0, 0, 255));
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(UnmapViewOfFile(view + 4)) << "an address inside a view names the view";
    int local = 0;
    for (const void* address : {static_cast<const void*>(view), static_cast<const void*>(nullptr),
                                static_cast<const void*>(&local)}) {
        SetLastError(kUntouched);
        EXPECT_FALSE(UnmapViewOfFile(address));
        EXPECT_LAST_ERROR(ERROR_INVALID_ADDRESS);
    }
    SetLastError(kUntouched);
    EXPECT_EQ(WaitForSingleObject(section, 0), kWaitFailed) << "a section is not waitable";
    EXPECT_TRUE(CloseHandle(section));
}

#ifndef _WIN32
// Another process that links the layer finds the section by its name and sees the same words.
TEST_F(MappingTest, AnotherProcessSharesTheSection) {
    const char* child = std::getenv("ZEL_MAPPING_CHILD");
    if (child != nullptr) {
        // The child's side: open the parent's section, answer 101 with 102.
        HANDLE opened = OpenFileMappingA(kAllAccess, TRUE, child);
        ASSERT_NE(opened, nullptr);
        auto* words =
            static_cast<volatile std::int32_t*>(MapViewOfFile(opened, kMapWrite, 0, 0, 255));
        ASSERT_NE(words, nullptr);
        EXPECT_EQ(words[0], 101);
        words[1] = 0x55;
        words[0] = 102;
        EXPECT_TRUE(UnmapViewOfFile(const_cast<std::int32_t*>(words)));
        EXPECT_TRUE(CloseHandle(opened));
        return;
    }
    const std::string name = UniqueName("zel-process");
    HANDLE section = CreateSection(name, 255);
    ASSERT_NE(section, nullptr);
    auto* words =
        static_cast<volatile std::int32_t*>(MapViewOfFile(section, kAllAccess, 0, 0, 255));
    ASSERT_NE(words, nullptr);
    words[0] = 101;

    const std::string filter = "--gtest_filter=MappingTest.AnotherProcessSharesTheSection";
    const std::string childName = "ZEL_MAPPING_CHILD=" + name;
    const std::string space = "ZEL_OBJECT_NAMESPACE=" + zelcompat::ObjectNamespace();
    std::vector<char*> environment{const_cast<char*>(childName.c_str()),
                                   const_cast<char*>(space.c_str()), nullptr};
    char self[] = "/proc/self/exe";
    char* arguments[] = {self, const_cast<char*>(filter.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self, nullptr, nullptr, arguments, environment.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's checks failed";
    EXPECT_EQ(words[0], 102);
    EXPECT_EQ(words[1], 0x55);
    EXPECT_TRUE(UnmapViewOfFile(const_cast<std::int32_t*>(words)));
    EXPECT_TRUE(CloseHandle(section));
}
#endif

}  // namespace
}  // namespace compat_test
