#!/bin/sh
# Builds the .deb from the build tree and checks what a user installs: the
# control fields and dependencies, the file list, the programs run from the
# unpacked tree, and the desktop entry, metainfo, man pages and user unit
# through their own validators.
# usage: package.sh BUILD_DIR CPACK VERSION
set -eu
build=$1 cpack=$2 version=$3
work=$(mktemp -d "$build/package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack could not build the package"; }
set -- "$work"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one .deb, got: $*"
deb=$1

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sivo ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the project is $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for dep in libavformat libavcodec libavutil libswscale libswresample libsdl2-2.0 libqt6core6 libqt6widgets6 \
           libasound2 fonts-wqy-microhei; do
    echo "$depends" | grep -Eq "(^|[ ,|])$dep" || fail "Depends lacks $dep: $depends"
done

# Files: root-owned, all under /usr or /etc, the expected ones present.
dpkg-deb --fsys-tarfile "$deb" | tar -tv >"$work/list"
awk '$2 != "root/root"' "$work/list" | grep . && fail "files not owned by root"
awk '{print $6}' "$work/list" | grep -Ev '^\./((usr|etc)/.*)?$' && fail "files outside /usr and /etc"
for f in usr/bin/sivo usr/bin/sivo-play usr/bin/sivo-server usr/lib/sivo/sivo usr/lib/sivo/Skin/main/bg-color.png \
         usr/lib/sivo/Skin/Common/SysBtn usr/share/applications/sivo.desktop \
         usr/share/icons/hicolor/32x32/apps/sivo.png usr/share/icons/hicolor/128x128/apps/sivo.png \
         usr/share/metainfo/io.github.sivo.metainfo.xml usr/lib/systemd/user/sivo-server.service \
         usr/share/man/man1/sivo.1.gz usr/share/man/man1/sivo-play.1.gz usr/share/man/man1/sivo-server.1.gz; do
    grep -q " \./$f/\?\( ->.*\)\?$" "$work/list" || fail "missing $f"
done

# The unpacked programs run with the libraries the dependencies name.
root=$work/root
dpkg-deb -x "$deb" "$root"
for tool in sivo sivo-play sivo-server; do
    out=$("$root/usr/bin/$tool" --version) || fail "$tool --version failed"
    [ "$out" = "$tool $version" ] || fail "$tool --version says '$out', the package is $version"
done
[ "$(readlink -f "$root/usr/bin/sivo")" = "$root/usr/lib/sivo/sivo" ] || fail "the sivo launcher points elsewhere"
readelf -S "$root/usr/bin/sivo-play" | grep -q '\.debug_info' && fail "sivo-play is not stripped"

# Desktop entry and metainfo.
app=$root/usr/share/applications/sivo.desktop
desktop-file-validate "$app" || fail "desktop-file-validate"
grep -q '^MimeType=.*video/mp4;.*audio/mpeg;' "$app" || fail "the desktop entry lists no media types"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.sivo.metainfo.xml" >"$work/as.log" 2>&1 ||
    { cat "$work/as.log" >&2; fail "appstreamcli validate"; }

# Man pages render without warnings.
if command -v man >/dev/null; then
    for page in "$root"/usr/share/man/man1/*.1.gz; do
        warn=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$warn" ] || fail "$page: $warn"
    done
fi

# The unit runs the packaged server; systemd reads every line of it.
unit=$root/usr/lib/systemd/user/sivo-server.service
grep -q '^ExecStart=/usr/bin/sivo-server --share-root ${SIVO_SHARE_ROOT}$' "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
if command -v systemd-analyze >/dev/null; then
    mkdir -m 700 "$work/xdg"
    # The server is looked up inside the unpacked tree.
    sed "s|^ExecStart=/usr|ExecStart=$root/usr|" "$unit" >"$work/sivo-server.service"
    warn=$(cd "$work" && XDG_RUNTIME_DIR=$work/xdg systemd-analyze verify --user --man=no sivo-server.service 2>&1) ||
        fail "systemd-analyze verify: $warn"
    [ -z "$warn" ] || fail "systemd-analyze verify: $warn"
else
    echo "systemd-analyze is not installed: the unit was not verified"
fi
echo "package $(basename "$deb") checked"
