# Cross toolchain: 64-bit Windows with mingw-w64, the DLL for 64-bit hosts.
# It also lets every machine run the Windows tests: some kernels here refuse
# 32-bit code, while 64-bit Wine runs everywhere.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(OKULON_WIDL x86_64-w64-mingw32-widl)
set(OKULON_WIDL_TARGET --win64)
set(OKULON_WINE_LIBRARY_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Wine's 64-bit Windows libraries (stdole2.tlb for widl)")
# ctest (and test discovery) run the Windows executables through 64-bit Wine
# in the build's own prefix; tests that start Wine themselves take
# OKULON_WINE_ARCH.
set(OKULON_WINE_ARCH win64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test-run;${OKULON_WINE_ARCH})
