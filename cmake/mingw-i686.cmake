# Cross toolchain: 32-bit Windows with mingw-w64, the product for 32-bit hosts.
# The -posix compilers carry std::thread/std::mutex (GoogleTest needs them);
# product code uses Win32 primitives.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(OKULON_WIDL i686-w64-mingw32-widl)
set(OKULON_WIDL_TARGET --win32)
set(OKULON_WINE_LIBRARY_DIR /usr/lib/i386-linux-gnu/wine/i386-windows CACHE PATH
    "Wine's 32-bit Windows libraries (stdole2.tlb for widl)")
# ctest (and test discovery) run the Windows executables through 32-bit Wine
# in the build's own prefix; tests that start Wine themselves take
# OKULON_WINE_ARCH.
set(OKULON_WINE_ARCH win32)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test-run;${OKULON_WINE_ARCH})
