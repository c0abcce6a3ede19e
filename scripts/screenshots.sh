#!/usr/bin/env bash
# Pictures of the console's windows for the documentation, drawn with the
# real widgets on a virtual X display under a window manager, so that each
# shows its frame and title bar as the operator sees it: docs/console-*.png.
#   scripts/screenshots.sh          (after a build: make build)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh screenshots
cmake --build --preset default --target console_screenshots >/dev/null
mkdir -p docs
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The window manager ends with the display when the pictures are taken.
if ! VEXTORA_SCREENSHOT_DIR="$PWD/docs" QT_QPA_PLATFORM=xcb \
    xvfb-run --auto-servernum --server-args="-screen 0 1280x800x24 -dpi 96" \
    sh -c 'openbox & exec build/tests/console_screenshots' >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
ls docs/console-*.png
