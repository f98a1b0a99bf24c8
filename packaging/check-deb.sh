#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree and checks it:
# its control fields (Qt dependencies found by dpkg-shlibdeps), its files, and
# that the installed programs load the system's libraries and the flasher
# answers --help and --version.
#
#   check-deb.sh --build-dir DIR --scratch DIR --version X.Y.Z
#                [--cpack PATH] [--bin NAME]... [--man NAME]... [--run NAME]...
#                [--start NAME]...
#
#   --bin NAME    usr/bin/NAME must be in the package and find its libraries
#   --man NAME    usr/share/man/man1/NAME.1.gz must be in the package
#   --run NAME    run the extracted usr/bin/NAME --help and --version
#   --start NAME  the extracted usr/bin/NAME (a window) must still be running
#                 3 s after it starts on Qt's offscreen platform
#
# Exits 77 (skipped) when dpkg-deb or dpkg-shlibdeps is missing.
set -uo pipefail

build_dir=
scratch=
version=
cpack=cpack
bins=()
mans=()
runs=()
starts=()
while (($#)); do
    case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --scratch) scratch="$2"; shift 2 ;;
    --version) version="$2"; shift 2 ;;
    --cpack) cpack="$2"; shift 2 ;;
    --bin) bins+=("$2"); shift 2 ;;
    --man) mans+=("$2"); shift 2 ;;
    --run) runs+=("$2"); shift 2 ;;
    --start) starts+=("$2"); shift 2 ;;
    *) echo "check-deb: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
if [[ -z "$build_dir" || -z "$scratch" || -z "$version" ]]; then
    echo "check-deb: --build-dir, --scratch and --version are required" >&2
    exit 2
fi

for tool in dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null; then
        echo "check-deb: SKIPPED: $tool is not installed (apt-get install dpkg-dev)"
        exit 77
    fi
done
if [[ ! -f "$build_dir/CPackConfig.cmake" ]]; then
    echo "check-deb: $build_dir/CPackConfig.cmake is missing;" \
        "the top-level CMakeLists.txt must include(cmake/Packaging.cmake) at its end" >&2
    exit 1
fi

failures=0
fail() {
    echo "check-deb: FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$scratch"
mkdir -p "$scratch"
echo "check-deb: cpack -G DEB into $scratch"
if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "check-deb: FAIL: cpack could not build the package" >&2
    exit 1
fi
shopt -s nullglob
debs=("$scratch"/*.deb)
if ((${#debs[@]} != 1)); then
    echo "check-deb: FAIL: expected one .deb in $scratch, found ${#debs[@]}" >&2
    exit 1
fi
deb="${debs[0]}"
arch="$(dpkg --print-architecture)"
echo "check-deb: $(basename "$deb")"

# --- Control fields -----------------------------------------------------------

field() { dpkg-deb --field "$deb" "$1"; }
dpkg-deb --info "$deb" | sed -n '/^ [A-Z]/,$p'

[[ "$(field Package)" == kvt-firmware-updater ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "$version" ]] || fail "Version is '$(field Version)', want '$version'"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)', want '$arch'"
[[ "$(basename "$deb")" == "kvt-firmware-updater_${version}_${arch}.deb" ]] ||
    fail "file name $(basename "$deb")"
[[ -n "$(field Maintainer)" ]] || fail "no Maintainer"
[[ -n "$(field Section)" ]] || fail "no Section"
[[ -n "$(field Description)" ]] || fail "no Description"

depends="$(field Depends)"
echo "check-deb: Depends: $depends"
for package in libqt5core5a libqt5widgets5 libqt5serialport5 libc6; do
    # A whole package name in the comma-separated list, with or without a version.
    grep -Eq "(^|, *)${package}( |,|$)" <<<"$depends" || fail "Depends lacks $package"
done

# --- Files ----------------------------------------------------------------------

contents="$(dpkg-deb --contents "$deb")"
echo "$contents"
# The path column, without the leading "./".
paths="$(awk '{ print $6 }' <<<"$contents" | sed 's|^\./||')"
has() { grep -qx "$1" <<<"$paths"; }

desktop=usr/share/applications/kvt-firmware-updater.desktop
icon=usr/share/icons/hicolor/256x256/apps/kvt-firmware-updater.png
expected=("$desktop" "$icon")
for name in "${bins[@]}"; do expected+=("usr/bin/$name"); done
for name in "${mans[@]}"; do expected+=("usr/share/man/man1/$name.1.gz"); done
for path in "${expected[@]}"; do
    has "$path" || fail "$path is not in the package"
done
# Nothing else: no static libraries, headers, test programs or stray copies.
while read -r path; do
    [[ -z "$path" || "$path" == */ ]] && continue
    found=0
    for want in "${expected[@]}"; do
        [[ "$path" == "$want" ]] && found=1
    done
    if ((!found)); then
        case "$path" in
        usr/share/man/man1/*.1)
            fail "uncompressed man page $path: only cmake/Packaging.cmake may install" \
                "man pages (it installs them gzipped); drop the other install() of it" ;;
        *) fail "unexpected file $path in the package" ;;
        esac
    fi
done <<<"$paths"

# --- Installed files ------------------------------------------------------------

root="$scratch/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"

# The desktop entry starts the updater that the package installs.
entry="$root/$desktop"
if [[ -f "$entry" ]]; then
    for line in "Type=Application" "Name=KVT Firmware" "Exec=kvt-firmware-updater" \
        "Icon=kvt-firmware-updater" "Terminal=false"; do
        grep -qx "$line" "$entry" || fail "desktop entry lacks '$line'"
    done
    grep -Eq '^Categories=(.*;)?Development;(.*;)?Electronics;' "$entry" ||
        grep -Eq '^Categories=(.*;)?Electronics;(.*;)?Development;' "$entry" ||
        fail "desktop entry categories: $(grep '^Categories=' "$entry")"
    grep -q '^Comment=.' "$entry" || fail "desktop entry has no Comment"
    [[ -x "$root/usr/bin/kvt-firmware-updater" ]] || fail "Exec names a program the package lacks"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$entry" || fail "desktop-file-validate rejects the entry"
    fi
fi

# The icon is a 256 x 256 PNG: the signature, then the IHDR width and height.
if [[ -f "$root/$icon" ]]; then
    header="$(od -An -tx1 -N24 "$root/$icon" | tr -d ' \n')"
    [[ "${header:0:16}" == 89504e470d0a1a0a ]] || fail "the icon is not a PNG"
    [[ "${header:32:16}" == 0000010000000100 ]] || fail "the icon is not 256 x 256 (IHDR ${header:32:16})"
fi

for name in "${mans[@]}"; do
    page="$root/usr/share/man/man1/$name.1.gz"
    [[ -f "$page" ]] && { gzip -t "$page" || fail "$name.1.gz is not a valid gzip file"; }
done

# Each program finds every library it needs on the system, with no help.
for name in "${bins[@]}"; do
    program="$root/usr/bin/$name"
    [[ -x "$program" ]] || { fail "usr/bin/$name is not executable"; continue; }
    missing="$(env -u LD_LIBRARY_PATH ldd "$program" 2>&1 | grep 'not found')"
    [[ -z "$missing" ]] || fail "usr/bin/$name: $missing"
done

for name in "${runs[@]}"; do
    program="$root/usr/bin/$name"
    [[ -x "$program" ]] || continue
    for option in --help --version; do
        output="$(env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen timeout 60 "$program" "$option" 2>&1)"
        status=$?
        echo "check-deb: $name $option exited $status"
        printf '%s\n' "$output" | sed 's/^/    /'
        ((status == 0)) || fail "$name $option exited $status"
        if [[ "$option" == --help ]]; then
            grep -q "$name" <<<"$output" || fail "$name --help does not name the program"
        else
            grep -qF "$version" <<<"$output" || fail "$name --version does not print $version"
        fi
    done
done

for name in "${starts[@]}"; do
    program="$root/usr/bin/$name"
    [[ -x "$program" ]] || continue
    output="$(env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen timeout 3 "$program" 2>&1)"
    status=$?
    # timeout's 124: it was still running and had to be stopped.
    if ((status == 124)); then
        echo "check-deb: $name still running after 3 s"
    else
        printf '%s\n' "$output" | sed 's/^/    /'
        fail "$name ended by itself within 3 s, status $status"
    fi
done

if ((failures)); then
    echo "check-deb: $failures check(s) failed"
    exit 1
fi
echo "check-deb: $(basename "$deb") passed all checks"
