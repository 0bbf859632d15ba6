#!/usr/bin/env bash
# The fixed recording exported by okulon_export and checked by the BIDS
# community's validator: no error, and the export's own output says what it
# wrote. Exit 77 (ctest: skipped) when the validator is not installed.
#   bids_validator_test.sh <okulon_export> <recording> <bids-validator>
set -uo pipefail
exporter=$1 recording=$2 validator=$3
if [ ! -x "$validator" ]; then
  echo "SKIPPED: no BIDS validator at $validator (scripts/bids-validator.sh installs it)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$exporter" --recording "$recording" --dataset "$work/dataset" --subject 01 --session 1 --task gaze --run 1 \
  --screen-width-m 0.531 --screen-height-m 0.299 --screen-distance-m 0.65 >"$work/export.txt" 2>&1
code=$?
cat "$work/export.txt"
if [ $code -ne 0 ] || grep -q WARNING "$work/export.txt"; then
  echo "FAILED: okulon_export exited $code or warned about the fixed recording"
  exit 1
fi
files=$(find "$work/dataset" -type f | wc -l)
if [ "$files" -ne 11 ]; then
  echo "FAILED: expected 11 files in the dataset, found $files"
  exit 1
fi

"$validator" --version
NO_COLOR=1 "$validator" "$work/dataset" >"$work/validator.txt" 2>&1
code=$?
sed 's/\x1b\[[0-9;]*m//g' "$work/validator.txt"
if [ $code -ne 0 ] || grep -q '\[ERR\]' "$work/validator.txt"; then
  echo "FAILED: the BIDS validator found errors (exit $code)"
  exit 1
fi
# The validator must have looked at the physio files, not passed an empty tree.
if ! grep -q '1 - Subject' "$work/validator.txt"; then
  echo "FAILED: the validator saw no subject"
  exit 1
fi
echo "the BIDS validator passes the export"
