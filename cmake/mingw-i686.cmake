# Cross-compiling zel.dll for 32-bit Windows: the build as specified, for 32-bit hosts.
set(ZEL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
