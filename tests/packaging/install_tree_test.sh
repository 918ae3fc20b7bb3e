#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that exactly the expected files arrive:
# the three programs, the menu entry, the icon at every size, the man pages and the README.
#   install_tree_test.sh BUILD_DIR SOURCE_DIR PREFIX
set -euo pipefail
build=$1 source=$2 prefix=$3

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

sizes=(16 22 24 32 48 64 128 256)
expected=(
    bin/velta-bootloader bin/velta-devsim bin/velta-flash
    share/applications/velta-bootloader.desktop
    share/doc/velta-bootloader/README.md
    share/man/man1/velta-bootloader.1.gz share/man/man1/velta-devsim.1.gz share/man/man1/velta-flash.1.gz
)
for s in "${sizes[@]}"; do
    expected+=("share/icons/hicolor/${s}x${s}/apps/velta-bootloader.png")
done

# Nothing missing and nothing extra (a stray library, header or build helper would ship too).
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
wanted=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
if [ "$actual" != "$wanted" ]; then
    fail "installed files differ from the expected list (< expected, > installed):"
    diff <(echo "$wanted") <(echo "$actual") >&2 || true
fi

for prog in velta-bootloader velta-devsim velta-flash; do
    if [ ! -f "$prefix/bin/$prog" ] || [ ! -x "$prefix/bin/$prog" ]; then
        fail "bin/$prog is not an executable file"
    fi
done
# The installed programs run from their new place (no path back into the build folder needed).
for prog in velta-flash velta-devsim; do
    out=$(ASAN_OPTIONS=detect_leaks=0 "$prefix/bin/$prog" --help 2>&1) || fail "$prog --help exited non-zero"
    grep -q "^Usage: $prog" <<<"$out" || fail "$prog --help printed no usage line"
done

desktop=$prefix/share/applications/velta-bootloader.desktop
if [ -f "$desktop" ]; then
    for line in 'Type=Application' 'Exec=velta-bootloader' 'Icon=velta-bootloader' 'Terminal=false'; do
        grep -qx "$line" "$desktop" || fail "desktop entry lacks '$line'"
    done
    grep -qE '^Name=.+' "$desktop" || fail "desktop entry has no Name"
    grep -qE '^Comment=.+' "$desktop" || fail "desktop entry has no Comment"
    grep -qE '^Categories=(.*;)?Development;' "$desktop" || fail "desktop entry is not in Development"
    # The command it starts is the one installed beside it.
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$prefix/bin/$exec_name" ] || fail "Exec=$exec_name is not an installed program"
fi

# PNG header: width and height are the big-endian words at bytes 16 and 20.
for s in "${sizes[@]}"; do
    png=$prefix/share/icons/hicolor/${s}x${s}/apps/velta-bootloader.png
    [ -f "$png" ] || continue
    magic=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    [ "$magic" = 89504e470d0a1a0a ] || fail "${s}x${s} icon is not a PNG"
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }')
    [ "$dims" = "${s}x${s}" ] || fail "${s}x${s} icon is $dims pixels"
done

man1=$prefix/share/man/man1
[ -f "$man1/velta-flash.1.gz" ] || command -v help2man >/dev/null ||
    echo "note: help2man is not installed, so the build wrote no generated man pages" >&2
for prog in velta-bootloader velta-devsim velta-flash; do
    page=$man1/$prog.1.gz
    [ -f "$page" ] || continue
    gzip -t "$page" || {
        fail "$prog.1.gz is not gzip data"
        continue
    }
    text=$(gzip -dc "$page")
    grep -q '^\.TH ' <<<"$text" || fail "$prog.1 has no .TH header"
    grep -q '^\.SH NAME' <<<"$text" || fail "$prog.1 has no NAME section"
    # whatis and apropos read the line after NAME: "prog \- what it does".
    grep -A1 '^\.SH NAME' <<<"$text" | grep -qE "^$prog \\\\- [a-z].{10,}" || fail "$prog.1 has no name line"
done
# The generated pages carry the programs' own option lists.
if [ -f "$man1/velta-flash.1.gz" ]; then
    gzip -dc "$man1/velta-flash.1.gz" | grep -q 'local\\-port' || fail "velta-flash.1 lacks --local-port"
fi
if [ -f "$man1/velta-devsim.1.gz" ]; then
    gzip -dc "$man1/velta-devsim.1.gz" | grep -q 'image\\-out' || fail "velta-devsim.1 lacks --image-out"
fi

readme=$prefix/share/doc/velta-bootloader/README.md
[ ! -f "$readme" ] || cmp -s "$readme" "$source/README.md" || fail "installed README differs from the source"

if ((failures)); then
    echo "install tree: $failures problem(s) in $prefix" >&2
    exit 1
fi
echo "install tree: ${#expected[@]} files as expected in $prefix"
