# Cross build for Windows x86-64 with Debian's mingw-w64 compilers:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The -posix thread model is used because the -win32 one has no std::mutex (GoogleTest needs it). The C and C++
# run-time support libraries (libgcc, libstdc++, winpthread) are linked statically, so korvex.dll imports only
# system DLLs and the test programs run under Wine without any MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KORVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEX_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${KORVEX_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${KORVEX_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "Archive indexer")
set(CMAKE_OBJDUMP ${KORVEX_MINGW_TRIPLET}-objdump CACHE FILEPATH "Object file dumper")

# Libraries and packages come from the MinGW sysroot only (never the host's GoogleTest); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static run-time support: -static for programs and for the DLL (pulls winpthread in statically as well).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run through Wine (ctest and gtest_discover_tests both use the emulator). The Debian packages
# provide "wine", which starts the 64-bit loader for 64-bit programs.
find_program(KORVEX_WINE NAMES wine wine64)
if(KORVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVEX_WINE})
endif()
