#!/usr/bin/env bash
# What `cmake --install` and `cpack -G DEB` produce: exactly the expected files, programs that run
# from their new place (the command-line ones without any GUI library), a valid menu entry, icons
# at every size, man pages whatis can read, the README, and a package whose dependencies were
# computed from the programs.
#   packaging_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build=$1 source=$2 work=$3
prefix=$work/root
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

sizes=(16 22 24 32 48 64 128 256)
apps=(velta-bootloader velta-line) # the desktop applications
expected=(bin/velta-bootloader bin/velta-devsim bin/velta-flash bin/velta-line share/applications/velta-bootloader.desktop
    share/applications/velta-line.desktop share/doc/velta-bootloader/README.md share/man/man1/velta-bootloader.1.gz
    share/man/man1/velta-devsim.1.gz share/man/man1/velta-flash.1.gz share/man/man1/velta-line.1.gz)
for a in "${apps[@]}"; do for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/$a.png"); done; done
# Nothing missing and nothing extra (a stray library, header or build helper would ship too).
diff <(printf '%s\n' "${expected[@]}" | LC_ALL=C sort) <(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >&2 ||
    fail "installed files differ from the expected list (< expected, > installed)"

# Outputs are taken whole before they are searched: "grep -q" quits at its match, and a writer
# still writing would die of SIGPIPE and fail the pipeline.
# --help and --version answer without a display, the window's too.
for prog in velta-bootloader velta-devsim velta-flash velta-line; do
    code=0
    text=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ASAN_OPTIONS=detect_leaks=0 "$prefix/bin/$prog" --help 2>&1) || code=$?
    [ "$code" = 0 ] && grep -q "^Usage: $prog" <<<"$text" || fail "installed $prog --help exited $code: $text"
    text=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ASAN_OPTIONS=detect_leaks=0 "$prefix/bin/$prog" --version 2>&1) || true
    [ "$text" = "$prog $(sed -n 's/^project(velta-bootloader VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")" ] || fail "$prog --version: $text"
    [ "$prog" = velta-bootloader ] || [ "$prog" = velta-line ] || ! grep -qE 'NEEDED.*lib(Qt6(Widgets|Gui)|X11|GL)' <<<"$(readelf -d "$prefix/bin/$prog")" || fail "$prog links a GUI library"
    text=$(gzip -dc "$prefix/share/man/man1/$prog.1.gz")
    sed -n '/^\.SH NAME/{n;p;q}' <<<"$text" | grep -qE "^$prog \\\\- [a-z].{10,}" || fail "$prog.1 has no name line for whatis"
    case $prog in
    velta-bootloader) option='\\-\\-version' section=VELTA_BOOTLOADER.ini ;;
    velta-flash) option='local\\-port' section='Exit codes' ;;
    velta-devsim) option='image\\-out' section='Exit codes' ;;
    velta-line) option='\\-\\-run' section='velta\\-line.conf' ;;
    esac
    grep -q "$option" <<<"$text" && grep -q "$section" <<<"$text" || fail "$prog.1 lacks its options or its $section"
    # Every form of the command in the synopsis, none left to the description.
    synopsis=$(sed -n '/^\.SH SYNOPSIS/,/^\.SH/p' <<<"$text")
    if [ "$prog" = velta-flash ] || [ "$prog" = velta-line ]; then
        grep -q 'scan' <<<"$synopsis" || fail "$prog.1: the --scan form is not in the synopsis"
    fi
done
for a in "${apps[@]}"; do
    out=$(desktop-file-validate "$prefix/share/applications/$a.desktop" 2>&1) && [ -z "$out" ] || fail "$a desktop entry: $out"
    grep -qx "Exec=$a" "$prefix/share/applications/$a.desktop" || fail "the $a desktop entry starts another program"
    grep -qx "Icon=$a" "$prefix/share/applications/$a.desktop" || fail "the $a desktop entry shows another icon"
    for s in "${sizes[@]}"; do
        grep -q "PNG image data, $s x $s," <<<"$(file "$prefix/share/icons/hicolor/${s}x${s}/apps/$a.png")" || fail "the ${s}x${s} $a icon is not a PNG of that size"
    done
done
# Each application its own art, not the other's.
! cmp -s "$prefix/share/icons/hicolor/48x48/apps/velta-bootloader.png" "$prefix/share/icons/hicolor/48x48/apps/velta-line.png" ||
    fail "velta-line's icon is velta-bootloader's"
cmp -s "$prefix/share/doc/velta-bootloader/README.md" "$source/README.md" || fail "installed README differs from the source"

cpack -G DEB -B "$work/deb" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/deb/*.deb)
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package) $(field Section)" = "velta-bootloader electronics" ] || fail "Package/Section: $(field Package) $(field Section)"
grep -qE '^.+ <[^ >]+@[^ >]+>$' <<<"$(field Maintainer)" || fail "Maintainer '$(field Maintainer)' has no address"
names=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//')
for lib in libc6 libstdc++6 libqt6core6 libqt6network6 libqt6widgets6 libqt6gui6 libqt6sql6-sqlite; do
    grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $(field Depends)"
done
[ "$(field Recommends)" = "libqt6sql6-psql" ] || fail "Recommends: '$(field Recommends)', not libqt6sql6-psql"
[ "$(dpkg-deb -c "$deb" | awk '$NF ~ /^\.\/usr\/(bin|share)\/./ && $1 !~ /^d/' | wc -l)" = "${#expected[@]}" ] ||
    fail "the package does not hold the installed files"
dpkg-deb -c "$deb" | awk '$NF ~ /^\.\/usr\/bin\/./ && ($1 != "-rwxr-xr-x" || $2 != "root/root") { bad = 1 } END { exit bad }' ||
    fail "a program in usr/bin has the wrong mode or owner"
((failures == 0)) && echo "packaging: ${#expected[@]} files installed and packaged as expected"
