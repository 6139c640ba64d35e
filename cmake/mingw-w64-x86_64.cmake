# Cross-building for Windows x86_64 with Debian's mingw-w64:
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix flavour of the compilers, since std::thread and std::mutex need it (the win32
# flavour has neither).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NUBRA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NUBRA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NUBRA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NUBRA_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${NUBRA_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${NUBRA_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${NUBRA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime (libgcc, libstdc++, winpthread) linked in statically, so that a DLL or
# program built here needs no mingw runtime DLL beside it. -static makes the linker take every
# library's archive over its DLL's import library; the system's own DLLs (kernel32, ole32, ...)
# have import libraries only, so they stay DLLs.
set(_nubra_static_runtime "-static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " ${_nubra_static_runtime}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " ${_nubra_static_runtime}")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " ${_nubra_static_runtime}")

# Programs built here run under Wine; CMAKE_CROSSCOMPILING_EMULATOR lets ctest start them like
# native ones. Debian 12 keeps wine64 off PATH (/usr/lib/wine/wine64); its `wine` runs 64-bit
# programs too, with or without 32-bit Wine beside it.
find_program(NUBRA_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NUBRA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NUBRA_WINE})
endif()
