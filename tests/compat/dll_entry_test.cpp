// The DllMain calls of zelwin32_dllmain (native build only).
#ifndef _WIN32  // The native build alone compiles this file; Windows has no test seams.
#include "support.h"

#include <dlfcn.h>

#include <vector>

namespace {

struct DllMainCall {
    HINSTANCE instance;
    DWORD reason;
    bool staticsAlive;
};

std::vector<DllMainCall> g_dllMainCalls;

}  // namespace

// Called by the module's DllMain; exported from the executable for it.
extern "C" __attribute__((visibility("default"))) void ZelCompatRecordDllMain(HINSTANCE instance,
                                                                              DWORD reason,
                                                                              bool staticsAlive) {
    g_dllMainCalls.push_back(DllMainCall{instance, reason, staticsAlive});
}

namespace compat_test {
namespace {

TEST(DllEntryTest, LoadingAndUnloadingCallDllMainWithTheModuleBase) {
    g_dllMainCalls.clear();
    void* module = dlopen(ZEL_COMPAT_DLL_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    void* marker = dlsym(module, "ZelCompatModuleMarker");
    ASSERT_NE(marker, nullptr);
    Dl_info info{};
    ASSERT_NE(dladdr(marker, &info), 0);
    ASSERT_EQ(g_dllMainCalls.size(), 1u);
    EXPECT_EQ(g_dllMainCalls[0].reason, DLL_PROCESS_ATTACH);
    EXPECT_EQ(g_dllMainCalls[0].instance, static_cast<HINSTANCE>(info.dli_fbase));
    EXPECT_TRUE(g_dllMainCalls[0].staticsAlive);
    ASSERT_EQ(dlclose(module), 0);
    ASSERT_EQ(g_dllMainCalls.size(), 2u);
    EXPECT_EQ(g_dllMainCalls[1].reason, DLL_PROCESS_DETACH);
    EXPECT_EQ(g_dllMainCalls[1].instance, g_dllMainCalls[0].instance);
    EXPECT_TRUE(g_dllMainCalls[1].staticsAlive) << "DllMain ran after the library's destructors";
}

}  // namespace
}  // namespace compat_test

#endif  // _WIN32
