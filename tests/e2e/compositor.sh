#!/usr/bin/env bash
# Checks of the end-to-end run under a compositor (weston, headless), as a
# scenario's `run ${COMPOSITOR} ...`:
#
#   ready     the service manager's socket ($E2E_NOTIFY_LOG, every datagram
#             the launcher sent to NOTIFY_SOCKET) has READY=1; waits for it
#   picture   the compositor's picture of its output (weston-screenshooter)
#             is the home screen as the launcher draws it off the screen
#             ($PLATFORM_HOME_PICTURE, rewritten at every change): the same
#             size, and pixels that differ by more than a little colour are
#             fewer than 1 in 200 (antialiased text may differ in a shade;
#             a value that changes between the two pictures is taken again,
#             three tries). Both pictures are kept in $E2E_PICTURE_DIR.
#
# Every wait is bounded by the scenario's `within`, which kills this script.
set -euo pipefail

case "${1:-}" in
ready)
    until grep -q 'READY=1' "$E2E_NOTIFY_LOG" 2>/dev/null; do
        sleep 0.05
    done
    echo "compositor: the service manager heard READY=1"
    ;;
picture)
    dir=$E2E_PICTURE_DIR
    mkdir -p "$dir"
    for try in 1 2 3; do
        rm -f "$dir"/wayland-screenshot-*.png
        (cd "$dir" && weston-screenshooter)
        mv "$dir"/wayland-screenshot-*.png "$dir/compositor.png"
        cp "$PLATFORM_HOME_PICTURE" "$dir/launcher.png"
        size=$(identify -format '%wx%h' "$dir/compositor.png")
        want=$(identify -format '%wx%h' "$dir/launcher.png")
        if [ "$size" != "$want" ]; then
            echo "compositor: its picture is $size, the home screen $want"
            exit 1
        fi
        pixels=$(identify -format '%[fx:w*h]' "$dir/compositor.png")
        # compare writes the count to stderr and exits 1 when any pixel differs.
        differ=$(compare -metric AE -fuzz 8% "$dir/compositor.png" "$dir/launcher.png" null: 2>&1 || true)
        differ=${differ%%.*}
        if [ "$differ" -lt $((pixels / 200)) ]; then
            echo "compositor: its $size picture is the home screen ($differ of $pixels pixels differ)"
            exit 0
        fi
        echo "compositor: try $try: $differ of $pixels pixels differ from the home screen"
        sleep 0.2
    done
    exit 1
    ;;
*)
    echo "usage: $0 ready|picture" >&2
    exit 2
    ;;
esac
