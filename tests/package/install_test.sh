#!/usr/bin/env bash
# tests/package/install_test.sh SOURCE_DIR WORK_DIR: builds the Debian
# package with scripts/package.sh (a release build in WORK_DIR/build) and
# installs it with "apt-get install ./markfit_*.deb" into a throw-away root:
# a minimal Debian system of the host's release, so that apt must bring in
# every library the package depends on (and no recommended package), and a
# missing dependency shows as a program that does not start. Then it uses the installed files as a user
# would: --version, a conversion, the toolbox opened offscreen from the
# installed window library, and takes the package away again.
#
# The minimal system is made once (mmdebstrap, from the mirrors the host's
# apt uses) and kept in WORK_DIR/root; each run lays a fresh overlay over
# it, which is thrown away at the end, and keeps apt's downloads in
# WORK_DIR/archives. It needs root (mounts, chroot) and the network to the
# mirrors. Without root, without the mirrors or without the right to mount
# (a container that forbids it) it stops after the checks of the package
# file and reports itself skipped (exit 77) with the reason: the machine
# lacks something, the package is not at fault.
set -euo pipefail
source_dir="$(cd "$1" && pwd)"
mkdir -p "$2"
work="$(cd "$2" && pwd)"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

package="$("$source_dir/scripts/package.sh" "$work/build" | tail -n 1)"
[ -f "$package" ] || fail "scripts/package.sh made no package"
echo "package: $package ($(stat -c %s "$package") bytes)"

# What the package holds and needs. The window library links Qt and the
# program does not, so the Qt libraries among the dependencies show that
# the library loaded with dlopen was counted.
contents="$(dpkg-deb -c "$package" | awk '{ print $6 }')"
for file in 'bin/markfit' 'lib/([^/]+/)?markfit/libmarkfit_toolbox\.so' \
    'share/applications/org\.example\.markfit\.desktop' 'share/metainfo/org\.example\.markfit\.metainfo\.xml' \
    'share/icons/hicolor/scalable/apps/markfit\.svg' 'share/man/man1/markfit\.1\.gz' \
    'share/bash-completion/completions/markfit'; do
  grep -qE "^\./usr/$file\$" <<<"$contents" || fail "the package lacks /usr/$file"
done
depends="$(dpkg-deb -f "$package" Depends)"
for library in libqt6widgets6 libqt6gui6 libqt6core6 libstdc++6; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

[ "$(id -u)" -eq 0 ] || skip "installing into a throw-away root needs root"
unshare --mount true 2>/dev/null || skip "this machine forbids a mount namespace of our own"

# The minimal system, made once.
root="$work/root"
if [ ! -f "$root/.complete" ]; then
  rm -rf "$root"
  . /etc/os-release
  # The host's Debian mirrors, as its apt knows them (from the package
  # lists it fetched: without any, it fetches them first).
  debian_mirrors() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Origin: Debian' 'Identifier: Packages' |
      sort -u
  }
  [ -n "$(debian_mirrors)" ] || apt-get update -qq || skip "apt-get update on the host failed (no mirror reachable?)"
  mirrors=()
  while read -r uri suite component; do
    mirrors+=("deb $uri $suite $component")
  done < <(debian_mirrors)
  ((${#mirrors[@]})) || skip "the host's apt knows no Debian mirror"
  extra=()
  if printf '%s\n' "${mirrors[@]}" | grep -q 'https:'; then extra+=(--include=ca-certificates); fi
  echo "making a minimal $VERSION_CODENAME system (once)"
  mmdebstrap --quiet --variant=apt --mode=root --skip=cleanup/apt/lists \
    --aptopt='Acquire::Retries "3"' "${extra[@]}" \
    "$VERSION_CODENAME" "$root" "${mirrors[@]}" >"$work/mmdebstrap.log" 2>&1 ||
    { tail -n 20 "$work/mmdebstrap.log" >&2; rm -rf "$root"; skip "mmdebstrap could not make the throw-away root (see above)"; }
  touch "$root/.complete"
fi

layer="$(mktemp -d "$work/layer.XXXXXX")"
trap 'rm -rf "$layer"' EXIT
mkdir -p "$layer/upper" "$layer/work" "$layer/root" "$work/archives/partial"
cp "$package" "$layer/upper.deb"

# Inside a mount namespace of its own: the mounts end with it.
unshare --mount --propagation private bash -euo pipefail -s -- "$root" "$layer" "$work/archives" <<'OUTSIDE'
root="$1" layer="$2" archives="$3"
merged="$layer/root"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$layer/upper,workdir=$layer/work" "$merged" ||
  { echo "SKIP: this machine forbids an overlay mount"; exit 77; }
mount -t proc proc "$merged/proc"
mount --bind "$archives" "$merged/var/cache/apt/archives"
cp -L /etc/resolv.conf "$merged/etc/resolv.conf" 2>/dev/null || true
cp "$layer/upper.deb" "$merged/tmp/markfit_test.deb"
chroot "$merged" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive bash -euo pipefail -s <<'INSIDE'
fail() { echo "FAIL: $*" >&2; exit 1; }
# The mirrors out of reach is the machine's fault, not the package's.
apt-get -q -o Acquire::Retries=3 update >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; echo "SKIP: apt-get update in the throw-away root failed"; exit 77; }
cd /tmp
# Without the recommended packages: what the package depends on must be
# enough. (dpkg's syncs are of no use in a root that is thrown away.)
apt-get -q -y -o Acquire::Retries=3 -o Dpkg::Options::=--force-unsafe-io --no-install-recommends \
  install ./markfit_test.deb >/tmp/apt.log 2>&1 ||
  { tail -n 30 /tmp/apt.log
    if grep -qE '^(E|W): (Failed to fetch|Temporary failure resolving|Could not resolve)' /tmp/apt.log; then
      echo "SKIP: apt-get could not download the dependencies"; exit 77
    fi
    fail "apt-get install ./markfit_test.deb"; }
grep -E '^(Need to get|[0-9]+ upgraded)' /tmp/apt.log

version="$(markfit --version)"
[[ $version =~ ^markfit\ [0-9] ]] || fail "markfit --version printed: $version"
echo "installed: $version"

mkdir -p /tmp/user && cd /tmp/user
printf '<p>Caf\xe9 &amp; co</p>   \r\n<br>\n' >page.htm
markfit convert -m international -i 2 -b "Html('" -a "')" --eol lf page.htm -o page.out
expected=$'  Html(\'<<p>Caf&eacute; &amp; co<</p>\')\n  Html(\'<<br>\')'
[ "$(cat page.out)" = "$expected" ] || fail "markfit convert wrote: $(cat page.out)"

# The toolbox from the installed window library, on Qt's offscreen platform
# (a first start: it makes the data files here).
MARKFIT_PROFILE=/tmp/user/profile.ini QT_QPA_PLATFORM=offscreen timeout 60 \
  markfit --quit-when-shown >toolbox.out 2>toolbox.err || { cat toolbox.err; fail "the toolbox did not open"; }
grep -qx shown toolbox.out || { cat toolbox.out toolbox.err; fail "the toolbox did not say it was shown"; }
[ -f TRANSLAT.KSF ] || fail "the toolbox's first start made no data files"

apt-get -q -y purge markfit >/tmp/apt.log 2>&1 || { tail -n 20 /tmp/apt.log; fail "apt-get purge markfit"; }
[ ! -e /usr/bin/markfit ] || fail "purging left /usr/bin/markfit"
echo "installed, used and removed in a throw-away root"
INSIDE
OUTSIDE
