#!/usr/bin/env bash
# scripts/package.sh [BUILD_DIR]: builds the Debian package of markfit
# (markfit_VERSION_ARCH.deb) from a release build in BUILD_DIR (default
# build/package), checks it with lintian, and prints its path (alone on
# standard output; the build's messages go to standard error).
# Install it with: sudo apt-get install ./markfit_VERSION_ARCH.deb
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build/package}"
"$here/scripts/setup.sh" >&2

# Installed under /usr, the window library goes to Debian's folder for a
# program's private libraries, /usr/lib/<multiarch triplet>/markfit/. The
# compiler and linker flags are Debian's, with every hardening it offers
# (without -g: the package holds stripped files).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# The manual page's date: the last commit's, so that a build of the same
# sources makes the same page.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)"
  export SOURCE_DATE_EPOCH
fi
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
flags="${flags/-g /}"
link="$(dpkg-buildflags --get LDFLAGS)"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARKFIT_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$link" \
  -DCMAKE_MODULE_LINKER_FLAGS="$link" -DCMAKE_SHARED_LINKER_FLAGS="$link" >/dev/null
cmake --build "$build" >&2
rm -f "$build"/markfit_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
package="$(ls "$build"/markfit_*.deb)"
# What a Debian archive would refuse. A package made by CPack has no
# changelog or copyright file of Debian's own making; those tags alone are
# let pass.
lintian --fail-on error,warning --suppress-tags \
  no-copyright-file,no-changelog,debian-changelog-file-missing \
  "$package" >&2
echo "$package"
