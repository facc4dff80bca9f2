// Test entry: plays the loader's part before any test runs.
#include <gtest/gtest.h>

#include "driver/driver.h"

namespace {
// Stands in for the module's instance handle; only its identity matters.
char g_fakeModule;
}  // namespace

int main(int argc, char** argv) {
    DllMain(reinterpret_cast<HINSTANCE>(&g_fakeModule), DLL_PROCESS_ATTACH, nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
