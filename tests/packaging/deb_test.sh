#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its control fields and contents: the
# dependencies computed from the programs, the description, and every installed file.
#   deb_test.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
build=$1 out=$2
for tool in dpkg-shlibdeps dpkg-deb; do
    command -v "$tool" >/dev/null || {
        echo "$tool is not installed (Debian package dpkg-dev)"
        exit 77
    }
done

rm -rf "$out"
mkdir -p "$out"
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log" >&2
    exit 1
}
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: expected one .deb in $out" >&2
    exit 1
fi
deb=${debs[0]}

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
field() { dpkg-deb -f "$deb" "$1"; }

[ "$(field Package)" = velta-bootloader ] || fail "Package is '$(field Package)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
grep -qE '^.+ <[^ >]+@[^ >]+>$' <<<"$(field Maintainer)" || fail "Maintainer '$(field Maintainer)' has no address"
[ -n "$(field Version)" ] || fail "no Version"
# Computed by dpkg-shlibdeps from the programs: the Qt libraries each of them links.
depends=$(field Depends)
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
for lib in libc6 libstdc++6 libqt6core6 libqt6network6 libqt6widgets6 libqt6gui6; do
    grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
description=$(field Description)
for words in 'Ethernet PIC' 'UDP' 'Modbus RTU' 'velta-flash' 'velta-devsim'; do
    grep -q "$words" <<<"$description" || fail "Description does not mention '$words'"
done

contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for path in ./usr/bin/velta-bootloader ./usr/bin/velta-flash ./usr/bin/velta-devsim \
    ./usr/share/applications/velta-bootloader.desktop \
    ./usr/share/icons/hicolor/16x16/apps/velta-bootloader.png \
    ./usr/share/icons/hicolor/256x256/apps/velta-bootloader.png \
    ./usr/share/man/man1/velta-flash.1.gz ./usr/share/man/man1/velta-devsim.1.gz \
    ./usr/share/man/man1/velta-bootloader.1.gz ./usr/share/doc/velta-bootloader/README.md; do
    grep -qx "$path" <<<"$contents" || fail "package lacks $path"
done
# Programs are executable for everyone and owned by root, as dpkg installs them.
dpkg-deb -c "$deb" | awk '$NF ~ /^\.\/usr\/bin\/./ && ($1 != "-rwxr-xr-x" || $2 != "root/root") { bad = 1; print } END { exit bad }' >&2 ||
    fail "a program in usr/bin has the wrong mode or owner"

if ((failures)); then
    exit 1
fi
echo "package: $(basename "$deb"), Depends: $depends"
