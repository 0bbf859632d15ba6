#!/usr/bin/env bash
# Formats every C++ file of the project with .clang-format; with --check, only
# tells which files differ from it (exit 1 when any does).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(-i)
[ "${1:-}" = --check ] && mode=(--dry-run --Werror)
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --style=file "${mode[@]}"
