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
    okulon_start_wineserver
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 win32|win64 create|start|stop" >&2; exit 2 ;;
esac
