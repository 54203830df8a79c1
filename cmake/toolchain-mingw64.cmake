# Cross build for 64-bit Windows with mingw-w64 (Debian's x86_64-w64-mingw32).
# The posix variant of the compiler is required: the win32 variant of GCC 12
# has no std::thread or std::mutex.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# libusb-1.0 is found through pkg-config: point PKG_CONFIG_LIBDIR at the
# cross-built copy (scripts/packages/windows.post builds it into
# build-deps/libusb-mingw-dll), or the host's Linux libusb would be picked up.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STM32_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${STM32_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STM32_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${STM32_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${STM32_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The default libusb prefix of the setup script, unless the caller chose one.
get_filename_component(_stm32_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR} AND EXISTS "${_stm32_source_root}/build-deps/libusb-mingw-dll/lib/pkgconfig")
  set(ENV{PKG_CONFIG_LIBDIR} "${_stm32_source_root}/build-deps/libusb-mingw-dll/lib/pkgconfig")
endif()

# Libraries that pkg-config finds in such a prefix must not be re-rooted
# under the mingw sysroot, or only "-lusb-1.0" without its folder remains.
if(DEFINED ENV{PKG_CONFIG_LIBDIR})
  string(REPLACE ":" ";" _stm32_pc_dirs "$ENV{PKG_CONFIG_LIBDIR}")
  foreach(_dir IN LISTS _stm32_pc_dirs)
    get_filename_component(_prefix "${_dir}/../.." ABSOLUTE)
    list(APPEND CMAKE_FIND_ROOT_PATH "${_prefix}")
  endforeach()
endif()

# Static runtime: the programs then import only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the .exe files through wine, headless (see cmake/wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
