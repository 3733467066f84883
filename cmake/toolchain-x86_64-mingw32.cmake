# 64-bit Windows (the windows64 preset): the same programs, and the library
# DLL for 64-bit callers, which cannot load a 32-bit one.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VANTOR_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
