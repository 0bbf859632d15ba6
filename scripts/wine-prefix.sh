#!/usr/bin/env bash
# Creates a cross build's own Wine prefix when it is missing, and starts or
# stops a persistent wineserver for it. A persistent server keeps each test's
# start-up short; it must be started outside any captured step.
#   wine-prefix.sh win32|win64 create|start|stop
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
okulon_wine_env "${1:-}" || exit 2
action=${2:-}

case "$action" in
  create)
    # Headless: top-level windows go to the null graphics driver unless an X server is there.
    if [ -n "${DISPLAY:-}" ]; then okulon_create_prefix; else okulon_create_prefix null; fi
    ;;
  start)
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
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 win32|win64 create|start|stop" >&2; exit 2 ;;
esac
