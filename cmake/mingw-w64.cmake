# What the 32-bit and 64-bit MinGW-w64 toolchain files share; they set
# KISTWERK_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR, then include this.
# The C and C++ runtimes are linked statically; zlib stays a shared library
# (zlib1.dll), which the build copies beside the programs.
set(CMAKE_SYSTEM_NAME Windows)

# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model lacks.
set(CMAKE_C_COMPILER ${KISTWERK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KISTWERK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KISTWERK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KISTWERK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The import library, not libz.a: zlib is used as zlib1.dll.
set(ZLIB_INCLUDE_DIR /usr/${KISTWERK_MINGW_PREFIX}/include CACHE PATH "")
set(ZLIB_LIBRARY /usr/${KISTWERK_MINGW_PREFIX}/lib/libz.dll.a CACHE FILEPATH "")
set(KISTWERK_ZLIB_DLL /usr/${KISTWERK_MINGW_PREFIX}/lib/zlib1.dll CACHE FILEPATH "zlib DLL shipped beside the programs")

# libgcc, libstdc++ and winpthread go into the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")

# All programs in one folder, beside zlib1.dll.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Release programs carry no symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# ctest runs the Windows executables under Wine, by default `wine` from PATH.
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, so a
# machine that cannot run 32-bit programs names the 64-bit loader instead:
#   -DKISTWERK_WINE=/usr/lib/wine/wine64
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KISTWERK_WINE wine DOC "Wine loader that runs the Windows tests")
  if(KISTWERK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KISTWERK_WINE})
  endif()
endif()
