#!/usr/bin/env bash
# Redraws docs/records-report.png: a fortnight of made-up boards from three
# stations, imported into a scratch SQLite database, the HTML report that
# kvt-records makes of them, and a headless browser's picture of that page.
#   scripts/records-report-screenshot.sh [BUILD_DIR]     (default: build)
# Needs Debian's chromium (installed here when missing; it is not part of
# scripts/setup.sh, since no test needs it).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
cmake --build "$build" --target kvt-records >/dev/null
if ! command -v chromium >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends chromium
fi

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# The same boards every time: awk's generator with a fixed seed. Slots are
# by-path entries as on a real hub (line3's fixture labels them C1..C8);
# line1's hub port 1.5 has a worn pogo pin all fortnight, line2 had a bad
# cable on the 9th and 10th, and line3 got image 1.3.0 under another name.
awk -v seed=17 'BEGIN {
    srand(seed)
    split("line1 line2 line3", stations, " ")
    seq = 0
    for (day = 1; day <= 14; day++) {
        image = day <= 8 ? "app-1.2.0.kvt" : "app-1.3.0.kvt"
        sha = day <= 8 ? "3fa1c2d94e0b7a55" : "9b0e4471c2aa18d3"
        for (s = 1; s <= 3; s++) {
            file = (s == 3 && day > 8) ? "app-1.3.0-final.kvt" : image
            for (board = 0; board < 40; board++) {
                seq++
                r = rand()
                port = board % 8 + 1
                bad = (s == 2 && (day == 9 || day == 10)) ? 0.3 : 0
                if (s == 1 && port == 5) bad += 0.16
                block = int(rand() * 60) + 1
                if (r < 0.012 + bad) { status = "timeout"; message = "Time out: no answer to block " block }
                else if (r < 0.017 + bad) { status = "refused"; message = "the device refused block " block " (NAK)" }
                else if (r < 0.022 + bad) { status = "unplugged"; message = "the port went away" }
                else if (r < 0.035 + bad) { status = "stopped"; message = "stopped by the operator" }
                else { status = "ok"; message = "Firmware has been updated successfully." }
                minute = 420 + board * 11 + s
                duration = status == "ok" ? 12800 + int(rand() * 1400) : 3000 + int(rand() * 60000)
                label = s == 3 ? sprintf("\"label\":\"C%d\",", port) : ""
                printf "{\"duration_ms\":%d,\"file\":\"%s\",\"id\":\"00000000-0000-4000-8000-%012d\",%s", duration, file, seq, label
                printf "\"message\":\"%s\",\"schema\":2,\"seq\":%d,\"sha256\":\"%s\",", message, seq, sha
                printf "\"slot\":\"pci-0000:00:14.0-usb-0:1.%d:1.0-port0\",\"started\":\"2026-11-%02dT%02d:%02d:00.000Z\",", port, day + 16, minute / 60, minute % 60
                printf "\"station\":\"%s\",\"status\":\"%s\",\"usb\":{\"serial\":\"K%05d\"}}\n", stations[s], status, seq
            }
        }
    }
}' >"$scratch/records.jsonl"

database="sqlite:$scratch/records.sqlite"
"$build/tools/kvt-records/kvt-records" init --database "$database"
"$build/tools/kvt-records/kvt-records" import "$scratch/records.jsonl" --database "$database"
"$build/tools/kvt-records/kvt-records" report --html "$scratch/report.html" --database "$database"
mkdir -p docs
chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run \
    --user-data-dir="$scratch/browser" --hide-scrollbars \
    --screenshot="$PWD/docs/records-report.png" --window-size=1200,2060 \
    "file://$scratch/report.html" 2>/dev/null
echo "records-report-screenshot: wrote docs/records-report.png"
