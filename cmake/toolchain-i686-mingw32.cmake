# 32-bit Windows (the windows preset): the product's own architecture.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VANTOR_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
