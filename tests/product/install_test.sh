#!/bin/sh
# Installs the build into a staging folder (DESTDIR) and checks that it holds every program,
# library, header, pkg-config file, udev rule and systemd unit; that pkg-config describes each
# library well enough to compile, link and run a program against the staged tree; and that
# systemd-analyze accepts the units. Usage: install_test.sh SOURCE BUILD LIBDIR CC CXX [FLAGS...]
set -eu
src=$1 build=$2 libdir=$3 cc=$4 cxx=$5
shift 5
flags="$*"
stage=$(mktemp -d /tmp/ordalo-stage-XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage/root cmake --install "$build" --prefix /usr >"$stage/install.log" 2>&1 ||
    { cat "$stage/install.log" >&2; fail "cmake --install"; }
usr=$stage/root/usr

expect() {
    for f in "$@"; do [ -e "$usr/$f" ] || fail "missing /usr/$f"; done
}
expect bin/OrdaloService bin/ordalo-monitor bin/ordalo-virtual-frame bin/ordalo-probe \
    bin/ordalo-rpc include/ordalo/PanoraCore.h lib/sysusers.d/ordalo.conf \
    share/doc/ordalo/README.md
for lib in PanoraCore OrdaloOSXMapper OrdaloOSXPlugin; do
    expect "$libdir/lib$lib.so" "$libdir/pkgconfig/$lib.pc" "include/ordalo/$lib.h"
done
[ -d "$src/OrdaloOSXBridge" ] && expect bin/OrdaloOSXBridge
# Whatever the packaging folder holds is installed, including files other work adds.
for f in "$src"/packaging/udev/*.rules; do expect "lib/udev/rules.d/$(basename "$f")"; done
for f in "$src"/packaging/systemd/*; do
    name=$(basename "$f" .in)
    [ -e "$usr/lib/systemd/system/$name" ] || [ -e "$usr/lib/systemd/user/$name" ] ||
        fail "unit $name not installed"
done
unit=$usr/lib/systemd/system/ordalo-service.service
[ -e "$unit" ] || fail "the service's system unit is not a system unit"
grep -qx 'ExecStart=/usr/bin/OrdaloService --pfile /run/ordalo/OrdaloService.pid' "$unit" ||
    fail "ExecStart does not name the installed program: $(grep ExecStart "$unit")"
if grep -q '@[A-Z_]*@' "$usr"/lib/systemd/*/* "$usr/$libdir"/pkgconfig/*.pc; then
    fail "unconfigured @VARIABLE@ left in an installed file"
fi
grep -q 'ATTRS{idVendor}=="4b5d", ATTRS{idProduct}=="1001".*GROUP="ordalo".*TAG+="uaccess"' \
    "$usr/lib/udev/rules.d/70-ordalo-frame.rules" || fail "udev rule for the frames"

# pkg-config from the staged tree only: its paths are relative to the .pc files.
export PKG_CONFIG_PATH="$usr/$libdir/pkgconfig" PKG_CONFIG_LIBDIR="$usr/$libdir/pkgconfig"
for lib in PanoraCore OrdaloOSXMapper OrdaloOSXPlugin; do
    out=$(pkg-config --cflags --libs "$lib") || fail "pkg-config $lib"
    includes=$(printf '%s\n' $out | sed -n 's/^-I//p' | head -n 1)
    libs=$(printf '%s\n' $out | sed -n 's/^-L//p' | head -n 1)
    [ -n "$includes" ] && [ "$(realpath "$includes")" = "$(realpath "$usr/include/ordalo")" ] &&
        [ -n "$libs" ] && [ "$(realpath "$libs")" = "$(realpath "$usr/$libdir")" ] &&
        printf '%s\n' $out | grep -qx -- "-l$lib" || fail "pkg-config $lib: $out"
done
cat >"$stage/panora.c" <<'C'
#include <PanoraCore.h>
#include <stdio.h>
int main(void) { printf("%d\n", &OrdaloUpdateBlobs != 0 && &OrdaloScreenSetup != 0); return 0; }
C
cat >"$stage/plugin.cpp" <<'C'
#include <OrdaloOSXPlugin.h>
#include <OrdaloOSXMapper.h>
#include <cstdio>
int main() {
    odosxplugin_set_parameter(nullptr, nullptr);
    std::printf("%d\n", &odosxplugin_put_tuio_frame != nullptr && &odosxmapper_put_frame != nullptr);
}
C
# shellcheck disable=SC2046,SC2086
$cc $flags "$stage/panora.c" -o "$stage/panora" $(pkg-config --cflags --libs PanoraCore) ||
    fail "a C program against PanoraCore"
# shellcheck disable=SC2046,SC2086
$cxx -std=c++17 $flags "$stage/plugin.cpp" -o "$stage/plugin" \
    $(pkg-config --cflags --libs OrdaloOSXPlugin) || fail "a program against OrdaloOSXPlugin"
for p in panora plugin; do
    [ "$(LD_LIBRARY_PATH="$usr/$libdir" "$stage/$p")" = 1 ] || fail "running $p"
done
LD_LIBRARY_PATH="$usr/$libdir" "$usr/bin/ordalo-monitor" --help | grep -q -- --lines ||
    fail "the installed ordalo-monitor"

if ! command -v systemd-analyze >/dev/null; then
    echo "SKIPPED: systemd-analyze is not available; the units were not verified"
    exit 77
fi
# Verified as copies whose programs point into the staged tree (systemd-analyze checks that
# ExecStart's program exists) against this machine's own targets.
mkdir "$stage/units"
for kind in system user; do
    for u in "$usr/lib/systemd/$kind"/*; do
        [ -e "$u" ] || continue
        copy=$stage/units/$(basename "$u")
        sed "s|=/usr/bin/|=$usr/bin/|" "$u" >"$copy"
        scope=--system
        [ $kind = user ] && scope=--user
        # A user manager needs a runtime folder of its own, which a build machine may lack.
        out=$(XDG_RUNTIME_DIR=$stage systemd-analyze $scope verify "$copy" 2>&1) ||
            fail "systemd-analyze: $out"
        [ -z "$out" ] || fail "systemd-analyze on $(basename "$u"): $out"
    done
done
echo "installed tree complete; pkg-config and systemd-analyze verify passed"
