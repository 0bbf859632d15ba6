#!/usr/bin/env bash
# Installs the BIDS community's validator that the export test runs: the
# bids-validator version pinned in tools/export/validator/package-lock.json,
# with npm ci into build/bids-validator (never globally); again only when the
# lock file changed. Needs Node.js and npm (scripts/setup.sh installs them).
# Exit 0 installed, 1 not installed (the export test then reports skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=tools/export/validator
target=build/bids-validator
validator=$target/node_modules/.bin/bids-validator

if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  echo "bids-validator: not installed, Node.js or npm is missing (scripts/setup.sh installs them)"
  exit 1
fi
if cmp -s "$source_dir/package-lock.json" "$target/package-lock.json" && [ -x "$validator" ]; then
  exit 0
fi
rm -rf "$target"
mkdir -p "$target"
cp "$source_dir/package.json" "$source_dir/package-lock.json" "$target/"
# Install scripts stay off: the validator needs none of its dependencies' own.
for attempt in 1 2; do
  if (cd "$target" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) >"$target/npm-ci.log" 2>&1; then
    echo "bids-validator: $("$validator" --version) installed in $target (node $(node --version), npm $(npm --version))"
    exit 0
  fi
  echo "bids-validator: npm ci failed (try $attempt of 2):"
  tail -5 "$target/npm-ci.log" | sed 's/^/bids-validator:   /'
done
rm -rf "$target/node_modules"
echo "bids-validator: not installed; the export's validator test will be skipped"
exit 1
