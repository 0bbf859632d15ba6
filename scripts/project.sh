# Facts of the project that more than one script reads (sourced, not run).

# okulon_project_version BUILD: the project's version as CMake configured BUILD.
okulon_project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# okulon_fuzz_corpus ROOT NAME: the corpus of fuzz target NAME, the folder
# corpus/NAME beside its source; nothing when it has none.
okulon_fuzz_corpus() {
  find "$1" -path "$1/build" -prune -o -type d -path "*corpus/$2" -print | head -1
}
