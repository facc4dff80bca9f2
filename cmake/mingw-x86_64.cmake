# Cross-compiling zel.dll for 64-bit Windows: the same sources as the 32-bit build, for 64-bit
# host processes.
set(ZEL_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
