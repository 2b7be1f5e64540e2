#!/usr/bin/env bash
# Checks the built .deb as a user's system would see it: lintian finds no error or warning in
# it; it unpacks and holds both programs, the desktop entry, icon, metainfo, both man pages and
# the changelog; its Depends came from the binaries; the desktop entry names the window's class
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
         usr/share/doc/taln/copyright usr/share/doc/taln/changelog.gz; do
    [ -e "$root/$f" ] || { echo "check_package: $f is missing from $deb" >&2; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libavformat libqt6widgets6 libsdl2 libfftw3-single; do
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
for program in taln taln-clean; do
    got=$("$root/usr/bin/$program" --version)
    grep -q "$version" <<<"$got" || { echo "check_package: $program --version says '$got'" >&2; exit 1; }
done
for page in taln taln-clean; do
    man -l "$root/usr/share/man/man1/$page.1.gz" >/dev/null
done
echo "check_package: $deb ($(du -h "$deb" | cut -f1)) Depends: $depends"
