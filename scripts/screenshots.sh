#!/usr/bin/env bash
# Pictures of the console's windows for the documentation, drawn on Qt's
# offscreen platform with the real widgets: docs/console-*.png.
#   scripts/screenshots.sh          (after a build: make build)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset default --target console_screenshots >/dev/null
mkdir -p docs
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! VEXTORA_SCREENSHOT_DIR="$PWD/docs" QT_QPA_PLATFORM=offscreen \
    build/tests/console_screenshots >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
ls docs/console-*.png
