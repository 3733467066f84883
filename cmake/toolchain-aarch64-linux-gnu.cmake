# arm64 Linux (the package-arm64 preset) with Debian's cross toolchain
# (crossbuild-essential-arm64) and the arm64 libraries of the build machine
# (multiarch: libssl-dev:arm64 and the like, in /usr/lib/aarch64-linux-gnu).
# What is built runs here under QEMU's user mode, which finds the arm64
# loader and libraries in those same places.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
# Qt's arm64 libraries (qt6-base-dev:arm64) with the build machine's Qt
# tools (moc, rcc, uic: qt6-base-dev-tools).
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
  OUTPUT_VARIABLE build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${build_multiarch}/cmake)
