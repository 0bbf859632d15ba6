# Facts of the project that more than one script reads (sourced, not run).

# okulon_project_version BUILD: the project's version as CMake configured BUILD.
okulon_project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# okulon_simulator_port LOG [TENTHS]: the port that a simtracker started with
# --port=0 announces in LOG, waiting up to TENTHS tenths of a second (300);
# nothing when it did not start in time.
okulon_simulator_port() {
  local port=""
  for _ in $(seq 1 "${2:-300}"); do
    port=$(sed -n 's/^simtracker listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1" | tr -d '\r')
    [ -n "$port" ] && break
    sleep 0.1
  done
  echo "$port"
}

# okulon_fuzz_corpus ROOT NAME: the corpus of fuzz target NAME, the folder
# corpus/NAME beside its source; nothing when it has none.
okulon_fuzz_corpus() {
  find "$1" -path "$1/build" -prune -o -type d -path "*corpus/$2" -print | head -1
}
