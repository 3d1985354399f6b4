#!/bin/sh
# Packs the build with cpack and checks the Debian package: its files, its declared runtime
# dependencies, and what its postinst does on a machine without the service user (run with
# stand-ins for adduser, getent, udevadm and the systemd helpers). Usage: deb_test.sh BUILD
set -eu
build=$1
work=$(mktemp -d /tmp/ordalo-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v dpkg-deb >/dev/null || { echo "SKIPPED: no dpkg-deb"; exit 77; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack"; }
set -- "$work"/out/ordalo_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "no single ordalo_*.deb made: $*"
deb=$1

dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/contents"
for f in usr/bin/OrdaloService usr/bin/ordalo-monitor usr/lib/systemd/system/ordalo-service.service \
    usr/lib/udev/rules.d/70-ordalo-frame.rules usr/lib/sysusers.d/ordalo.conf \
    usr/lib/pkgconfig/PanoraCore.pc usr/lib/pkgconfig/OrdaloOSXMapper.pc \
    usr/lib/pkgconfig/OrdaloOSXPlugin.pc usr/include/ordalo/PanoraCore.h \
    usr/share/doc/ordalo/changelog.gz; do
    grep -qx "\./$f" "$work/contents" || fail "$f is not in the package"
done
for lib in PanoraCore OrdaloOSXMapper OrdaloOSXPlugin; do
    grep -q "^\./usr/lib/lib$lib\.so\.0$" "$work/contents" || fail "lib$lib.so.0 is not in the package"
done

depends=$(dpkg-deb -f "$deb" Depends)
for d in adduser libhidapi-hidraw0 libboost-thread liboscpack1 libtinyxml2.6.2v5 libc6; do
    case "$depends" in *"$d"*) ;; *) fail "Depends lacks $d: $depends" ;; esac
done

dpkg-deb -e "$deb" "$work/control"
for s in postinst prerm postrm; do
    [ -x "$work/control/$s" ] || fail "$s missing or not executable"
    sh -n "$work/control/$s" || fail "$s is not valid shell"
done
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"

# postinst with stand-ins that record their arguments: no user "ordalo" yet.
mkdir "$work/bin"
for tool in adduser udevadm deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$work" >"$work/bin/$tool"
done
printf '#!/bin/sh\nexit 2\n' >"$work/bin/getent"
chmod +x "$work"/bin/*
PATH="$work/bin:$PATH" "$work/control/postinst" configure || fail "postinst configure failed"
grep -qx 'adduser --system --group --home /var/lib/ordalo --no-create-home --gecos Ordalo touch-frame service ordalo' \
    "$work/calls" || fail "postinst did not create the system user: $(cat "$work/calls")"
if [ -d /run/udev ]; then
    grep -qx 'udevadm control --reload-rules' "$work/calls" ||
        fail "postinst did not reload udev: $(cat "$work/calls")"
fi
# An existing user is kept.
: >"$work/calls"
printf '#!/bin/sh\necho "ordalo:x:999:999::/var/lib/ordalo:/usr/sbin/nologin"\n' >"$work/bin/getent"
PATH="$work/bin:$PATH" "$work/control/postinst" configure || fail "second postinst failed"
if grep -q '^adduser' "$work/calls"; then fail "postinst made the user twice"; fi
echo "package $(basename "$deb") checked"
