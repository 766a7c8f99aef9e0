# Cross-building the same sources for 64-bit Windows. The product is the 32-bit
# build; this one lets the Windows tests run the real programs on a machine
# whose Wine is 64-bit only because it cannot start 32-bit programs:
#   cmake -S . -B build/windows64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
#         -DKISTWERK_WINE=/usr/lib/wine/wine64
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KISTWERK_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
