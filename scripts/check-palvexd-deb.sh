#!/usr/bin/env bash
# Checks a built palvexd package: unpacked into a throwaway root it holds exactly its files, its
# /etc files are conffiles and its unit starts the packaged program; lintian reports no error;
# systemd-analyze verifies the unit with the packaged program and man page in place (bound over
# /usr/sbin and the man8 directory in a mount namespace of its own: the machine is not touched).
# Needs root (the mount namespace), lintian and systemd. Usage: scripts/check-palvexd-deb.sh DEB
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

want="./etc/default/palvexd ./etc/logrotate.d/palvexd ./usr/lib/systemd/system/palvexd.service \
./usr/sbin/palvexd ./usr/share/doc/palvexd/changelog.gz ./usr/share/doc/palvexd/copyright \
./usr/share/man/man8/palvexd.8.gz ./usr/share/palvexd/palvexd.rules.yml"
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')
[[ "$got" == "$want " ]] || { echo "$deb: files: $got" >&2; exit 1; }
[[ $(dpkg-deb -I "$deb" conffiles) == $'/etc/default/palvexd\n/etc/logrotate.d/palvexd' ]] ||
  { echo "$deb: conffiles" >&2; exit 1; }
grep -qx 'ExecStart=/usr/sbin/palvexd --record /var/log/palvexd/records.jsonl $PALVEXD_OPTS' \
  "$root/usr/lib/systemd/system/palvexd.service" || { echo "$deb: ExecStart" >&2; exit 1; }
"$root/usr/sbin/palvexd" --version

# Each remaining lintian warning would be explained here; today there are none.
lintian --fail-on error,warning "$deb"
unshare --mount --propagation private sh -ec '
  mount --bind "$1/usr/sbin" /usr/sbin
  mount --bind "$1/usr/share/man/man8" /usr/share/man/man8
  systemd-analyze verify "$1/usr/lib/systemd/system/palvexd.service"
' check "$root"
dpkg-deb -I "$deb" | grep -E 'Package|Version|Architecture|Depends'
