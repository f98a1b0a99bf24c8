#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree and checks it:
# lintian finds no error and no warning in it, the Qt libraries are among its
# dependencies, it holds the programs, their man pages, the desktop entries,
# the icon and the documents and nothing else, the desktop entries are valid,
# the changelog is about this version, and the extracted programs run on the
# system's libraries.
#
#   check-deb.sh --build-dir DIR --scratch DIR --version X.Y.Z
#                [--cpack PATH] [--bin NAME]... [--desktop NAME]...
#                [--run NAME]... [--start NAME]... [--file PATH]...
#
#   --bin NAME      usr/bin/NAME and usr/share/man/man1/NAME.1.gz must be in
#                   the package
#   --desktop NAME  usr/share/applications/NAME.desktop must be in the package,
#                   valid, and start NAME
#   --run NAME      run the extracted usr/bin/NAME --help and --version on the
#                   system's libraries
#   --start NAME    the extracted usr/bin/NAME (a window) must still be running
#                   3 s after it starts on Qt's offscreen platform
#   --file PATH     any other file the package must hold, e.g. usr/share/doc/...
#
# Exits 77 (skipped) when dpkg-deb or dpkg-shlibdeps is missing; fails when
# lintian or desktop-file-validate is (scripts/setup.sh installs them).
set -uo pipefail

cpack=cpack
bins=() desktops=() runs=() starts=() files=()
while (($#)); do
    case "$1" in
    --build-dir) build_dir="$2" ;;
    --scratch) scratch="$2" ;;
    --version) version="$2" ;;
    --cpack) cpack="$2" ;;
    --bin) bins+=("$2") ;;
    --desktop) desktops+=("$2") ;;
    --run) runs+=("$2") ;;
    --start) starts+=("$2") ;;
    --file) files+=("$2") ;;
    *) echo "check-deb: unknown argument '$1'" >&2; exit 2 ;;
    esac
    shift 2
done
: "${build_dir:?--build-dir is required}" "${scratch:?--scratch is required}" "${version:?--version is required}"

for tool in dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "check-deb: SKIPPED: no $tool (apt-get install dpkg-dev)"; exit 77; }
done
for tool in lintian desktop-file-validate; do
    command -v "$tool" >/dev/null || { echo "check-deb: FAIL: no $tool (run scripts/setup.sh)" >&2; exit 1; }
done

failures=0
fail() {
    echo "check-deb: FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$scratch" && mkdir -p "$scratch"
if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "check-deb: FAIL: cpack could not build the package" >&2
    exit 1
fi
deb="$scratch/kvt-firmware-updater_${version}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || { echo "check-deb: FAIL: no $deb; cpack made: $(ls "$scratch")" >&2; exit 1; }

# Debian's own measure; informational and pedantic tags are let through.
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings (above)"

depends="$(dpkg-deb --field "$deb" Depends)"
for package in libqt5core5a libqt5widgets5 libqt5serialport5; do
    # A whole package name in the comma-separated list, with or without a version.
    grep -Eq "(^|, *)${package}( |,|$)" <<<"$depends" || fail "Depends lacks $package"
done

expected=(usr/share/icons/hicolor/256x256/apps/kvt-firmware-updater.png "${files[@]}")
for name in "${bins[@]}"; do expected+=("usr/bin/$name" "usr/share/man/man1/$name.1.gz"); done
for name in "${desktops[@]}"; do expected+=("usr/share/applications/$name.desktop"); done
# The files (not folders) in the package, without the leading "./".
found="$(dpkg-deb --contents "$deb" | awk '$6 !~ /\/$/ { sub(/^\.\//, "", $6); print $6 }')"
for path in "${expected[@]}"; do
    grep -qx "$path" <<<"$found" || fail "$path is not in the package"
done
# Nothing else: no static libraries, test programs, or a second, uncompressed
# copy of a man page installed outside cmake/Packaging.cmake.
for path in $found; do
    printf '%s\n' "${expected[@]}" | grep -qx "$path" || fail "unexpected file $path in the package"
done

root="$scratch/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
for name in "${desktops[@]}"; do
    entry="$root/usr/share/applications/$name.desktop"
    desktop-file-validate "$entry" || fail "$name.desktop is not a valid desktop entry"
    for line in "Exec=$name" Icon=kvt-firmware-updater; do
        grep -qx "$line" "$entry" || fail "$name.desktop lacks '$line'"
    done
done
# A new version needs a new changelog entry.
changelog="$root/usr/share/doc/kvt-firmware-updater/changelog.gz"
zcat "$changelog" | head -1 | grep -qF "($version)" || fail "the changelog's last entry is not $version"

# Each program runs on the system's libraries, with no help: a library not
# found ends it at once, which --help, --version and the 3 s of a window see.
run() { env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen timeout "$@" 2>&1; }
for name in "${runs[@]}"; do
    output="$(run 60 "$root/usr/bin/$name" --help)" || fail "$name --help exited $?"
    grep -q "$name" <<<"$output" || fail "$name --help does not name the program: $output"
    output="$(run 60 "$root/usr/bin/$name" --version)" || fail "$name --version exited $?"
    grep -qF "$version" <<<"$output" || fail "$name --version does not print $version: $output"
done
for name in "${starts[@]}"; do
    output="$(run 3 "$root/usr/bin/$name")"
    status=$?
    # timeout's 124: it was still running and had to be stopped.
    ((status == 124)) || fail "$name ended by itself within 3 s, status $status: $output"
done

if ((failures)); then
    echo "check-deb: $failures check(s) failed"
    exit 1
fi
echo "check-deb: $(basename "$deb") passed all checks"
