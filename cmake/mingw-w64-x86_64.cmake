# Cross-compiles kavex for 64-bit Windows with Debian's MinGW-w64, and runs the
# executables it builds (tests, test discovery) under Wine.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix thread model is named explicitly: the -win32 one has no std::mutex or
# std::thread with GCC 12, and when both are installed the plain name points to it.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthread statically, so kavex.dll and the executables
# import only system DLLs (KERNEL32.dll, msvcrt.dll) and run from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# Without wine32 there is no /usr/bin/wine unless the "wine" package is installed;
# the 64-bit loader works as well.
find_program(KAVEX_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KAVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVEX_WINE})
endif()
