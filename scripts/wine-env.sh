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

# okulon_create_prefix [null]: makes $WINEPREFIX when it is missing; "null"
# sends top-level windows to the null graphics driver. Wine's output goes to
# <prefix>-create.log. A failed attempt says why (the end of that output and
# the disk's free space: a win64 prefix takes 1.3 GB), is wiped and made once
# more; a half-made prefix is never left to pass for a whole one.
okulon_create_prefix() {
  local graphics=${1:-} log="$WINEPREFIX-create.log" attempt code
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  for attempt in 1 2; do
    echo "setup: creating $WINEARCH Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    code=0
    "$OKULON_WINE" wineboot -i </dev/null >"$log" 2>&1 || code=$?
    wineserver -w || true
    if [ $code -eq 0 ] && [ "$graphics" = null ]; then
      "$OKULON_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >>"$log" 2>&1 || code=$?
      wineserver -w || true
    fi
    [ $code -eq 0 ] && [ -f "$WINEPREFIX/system.reg" ] && return 0
    echo "setup: the prefix was not made (exit $code, attempt $attempt of 2); Wine's output ends:"
    tail -n 20 "$log" | sed 's/^/    | /'
    df -h "$(dirname "$WINEPREFIX")" | sed 's/^/    | /'
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  done
  return 1
}

# Starts the prefix's persistent wineserver, its desktop and Wine's helper
# services, all with their output away from the caller's pipes: started inside
# a captured step (a ctest test) they would hold its output open, and it would
# wait for them forever.
okulon_start_wineserver() {
  wineserver -p </dev/null >/dev/null 2>&1 &
  sleep 0.5
  # The prefix's desktop for the whole run. Without it, every test program
  # that makes a window (an apartment's hidden one is enough) starts a
  # desktop explorer.exe, which inherits the test's output and holds it
  # until the desktop closes, a second after the program ended, or for as
  # long as it hangs: ctest waits for it and times the test out.
  "$OKULON_WINE" explorer /desktop </dev/null >/dev/null 2>&1 &
  # The first program starts Wine's helper services; started here, they do not
  # inherit a test's output pipe (ctest would wait for them forever).
  "$OKULON_WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
}
