#!/usr/bin/env bash
# Creates the cross build's own 32-bit Wine prefix when it is missing, and
# starts or stops a persistent wineserver for it. A persistent server keeps
# each test's start-up short; it must be started outside any captured step.
#   wine-prefix.sh create | start | stop
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/cross/wineprefix}
export WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

case "${1:-}" in
  create)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      echo "setup: creating Wine prefix $WINEPREFIX"
      wineboot -i </dev/null >/dev/null 2>&1
      wineserver -w
      # Headless: top-level windows go to the null graphics driver unless an X server is there.
      if [ -z "${DISPLAY:-}" ]; then
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        wineserver -w
      fi
    fi
    ;;
  start)
    wineserver -p </dev/null >/dev/null 2>&1 &
    sleep 0.5
    # The first program starts Wine's helper services; started here, they do not
    # inherit a test's output pipe (ctest would wait for them forever).
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 create|start|stop" >&2; exit 2 ;;
esac
