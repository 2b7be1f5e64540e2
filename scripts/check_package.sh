#!/usr/bin/env bash
# Checks the built .deb as a user's system would see it: lintian finds no error or warning in
# it; it unpacks and holds the three programs, the LV2 bundle, taln-mic's user unit (not
# enabled), the desktop entry, icon, metainfo, the man pages and the changelog; lv2ls lists the
# unpacked bundle; its Depends came from the binaries; the desktop entry names the window's class
# and validates, as the metainfo does; the packaged programs report the one version.
set -euo pipefail
build=${1:-build}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/taln_${version}_amd64.deb"
[ -f "$deb" ] || { echo "check_package: $deb was not built" >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for f in usr/bin/taln usr/bin/taln-clean \
         usr/share/applications/org.taln.Taln.desktop \
         usr/share/icons/hicolor/scalable/apps/org.taln.Taln.svg \
         usr/share/metainfo/org.taln.Taln.metainfo.xml \
         usr/share/man/man1/taln.1.gz usr/share/man/man1/taln-clean.1.gz \
         usr/bin/taln-mic usr/share/man/man1/taln-mic.1.gz usr/lib/systemd/user/taln-mic.service \
         usr/lib/lv2/taln.lv2/manifest.ttl usr/lib/lv2/taln.lv2/taln.ttl usr/lib/lv2/taln.lv2/taln.so \
         usr/share/doc/taln/copyright usr/share/doc/taln/changelog.gz; do
    [ -e "$root/$f" ] || { echo "check_package: $f is missing from $deb" >&2; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libavformat libqt6widgets6 libsdl2 libfftw3-single libpipewire-0.3; do
    grep -q "$lib" <<<"$depends" || { echo "check_package: Depends lacks $lib: $depends" >&2; exit 1; }
done
# Lintian's errors and warnings fail the check; its informational tags are printed only.
lintian --fail-on error,warning "$deb"
desktop="$root/usr/share/applications/org.taln.Taln.desktop"
desktop-file-validate "$desktop"
# The window's WM_CLASS is its application name (main.cpp), which docks match the entry by.
grep -qx 'StartupWMClass=Taln' "$desktop" ||
    { echo "check_package: the desktop entry lacks StartupWMClass=Taln" >&2; exit 1; }
appstreamcli validate --no-net --explain "$root/usr/share/metainfo/org.taln.Taln.metainfo.xml"
# taln-mic's unit is installed, not enabled: nothing links it into a target.
if dpkg-deb -c "$deb" | grep -q '\.wants/'; then
    echo "check_package: $deb enables a unit" >&2; exit 1
fi
# The installed LV2 bundle, stripped, is what a host finds in the system folder.
plugins=$(LV2_PATH="$root/usr/lib/lv2" lv2ls)
for uri in urn:taln:clean-mono urn:taln:clean-stereo; do
    grep -qx "$uri" <<<"$plugins" || { echo "check_package: lv2ls lacks $uri: $plugins" >&2; exit 1; }
done
for program in taln taln-clean taln-mic; do
    got=$("$root/usr/bin/$program" --version)
    grep -q "$version" <<<"$got" || { echo "check_package: $program --version says '$got'" >&2; exit 1; }
done
for page in taln taln-clean taln-mic; do
    man -l "$root/usr/share/man/man1/$page.1.gz" >/dev/null
done
echo "check_package: $deb ($(du -h "$deb" | cut -f1)) Depends: $depends"
