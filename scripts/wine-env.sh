# Sourced by the Wine scripts: okulon_wine_env win32|win64 sets the prefix,
# the loader and the quiet defaults for one architecture.
# Debian's `wine` wrapper always starts the 32-bit loader when 32-bit Wine is
# installed, so the 64-bit build names the 64-bit loader itself, also as the
# loader of the programs it starts (WINELOADER).
okulon_wine_env() {
  okulon_scripts=$(cd "$(dirname "$0")" && pwd)
  case "$1" in
    win32)
      : "${WINEPREFIX:=$okulon_scripts/../build/cross/wineprefix}"
      OKULON_WINE=wine
      ;;
    win64)
      : "${WINEPREFIX:=$okulon_scripts/../build/cross64/wineprefix}"
      OKULON_WINE=/usr/lib/wine/wine64
      WINELOADER=$OKULON_WINE
      export WINELOADER
      ;;
    *)
      echo "usage: $(basename "$0") win32|win64 ..." >&2
      return 1
      ;;
  esac
  WINEARCH=$1
  : "${WINEDEBUG:=-all}"
  # No debugger on a crash: winedbg would keep a crashed test (and ctest
  # waiting on its output) alive until the time-out; without it the process
  # ends at once with the exception's code.
  WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
  export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES OKULON_WINE
}
