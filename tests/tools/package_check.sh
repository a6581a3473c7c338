#!/usr/bin/env bash
# Builds the Debian package with scripts/package.sh (lintian must report no
# error), installs it with dpkg into a throwaway root whose maintainer
# scripts run without a chroot (they honour DPKG_ROOT), and checks what it
# put there: the programs, the unit, the conffiles, the quelm account and
# its log directory, the logrotate file, the documentation. The logrotate
# file is parsed and then made to rotate twice in a private mount namespace
# that sees the throwaway root's account and an empty /var/log; the SIGHUP
# command it runs is recorded by a stand-in for systemctl, as there is no
# systemd to receive it here. Then an administrator's change to the
# configuration survives a reinstall, and a purge removes the configuration
# and the logs.
#   package_check.sh SOURCE_DIR PACKAGE_BUILD_DIR
# The package is built as the caller; the installation needs root (dpkg into
# a root, chown, mount namespace): for another user it runs under sudo when
# sudo asks no password, and is skipped (status 77) otherwise.
set -uo pipefail
failed=0
fail() { echo "PACKAGE CHECK FAILED: $1"; failed=1; }

# The rotation part, run by the main part below in its own mount namespace:
#   package_check.sh --rotate ROOT TMP
if [ "${1:-}" = --rotate ]; then
  root=$2 tmp=$3
  conf=$root/etc/logrotate.d/quelm-receiver
  # The host's accounts plus the throwaway root's quelm, so that logrotate
  # finds the user and group the package made; the host's /var/log is
  # hidden behind an empty one. Both only inside this namespace.
  { cat /etc/passwd; grep '^quelm:' "$root/etc/passwd"; } >"$tmp/passwd"
  { cat /etc/group; grep '^quelm:' "$root/etc/group"; } >"$tmp/group"
  mount --bind "$tmp/passwd" /etc/passwd && mount --bind "$tmp/group" /etc/group &&
    mount -t tmpfs tmpfs /var/log || { echo "PACKAGE CHECK FAILED: mounts in the namespace"; exit 1; }
  ids=$(awk -F: '$1 == "quelm" { print $3 }' "$root/etc/passwd"):$(awk -F: '$1 == "quelm" { print $3 }' "$root/etc/group")
  mkdir -m 0750 /var/log/quelm && chown "$ids" /var/log/quelm
  echo "first week" >/var/log/quelm/receiver.log && chown "$ids" /var/log/quelm/receiver.log && chmod 0640 /var/log/quelm/receiver.log

  timeout 60 logrotate -d -s "$tmp/state" "$conf" >"$tmp/debug.log" 2>&1 || fail "logrotate -d failed: $(cat "$tmp/debug.log")"
  grep '^error' "$tmp/debug.log" && fail "logrotate -d reported errors"
  grep -q 'rotating pattern: /var/log/quelm/\*.log  weekly (8 rotations)' "$tmp/debug.log" ||
    fail "logrotate -d did not read a weekly rotation keeping 8: $(cat "$tmp/debug.log")"
  grep -q 'considering log /var/log/quelm/receiver.log' "$tmp/debug.log" || fail "logrotate -d did not consider receiver.log"
  grep -q 'empty log files are not rotated' "$tmp/debug.log" || fail "logrotate -d would rotate empty logs"
  grep -q "switching euid from 0 to ${ids%:*} and egid from 0 to ${ids#*:} " "$tmp/debug.log" ||
    fail "logrotate -d would not work as quelm in the log directory"
  [ "$(cat /var/log/quelm/receiver.log)" = "first week" ] || fail "logrotate -d changed the log"

  # The daemon's SIGHUP goes through systemctl; the stand-in records how it
  # was called and by whom.
  mkdir -m 0755 "$tmp/bin" && printf '#!/bin/sh\necho "$(id -u) $*" >>%s/systemctl.calls\n' "$tmp" >"$tmp/bin/systemctl" &&
    chmod 0755 "$tmp/bin/systemctl" && touch "$tmp/systemctl.calls" && chmod 0666 "$tmp/systemctl.calls" && chmod 0755 "$tmp"
  PATH=$tmp/bin:$PATH timeout 60 logrotate -f -s "$tmp/state" "$conf" >"$tmp/rotate.log" 2>&1 || fail "logrotate -f failed: $(cat "$tmp/rotate.log")"
  [ "$(cat /var/log/quelm/receiver.log.1 2>/dev/null)" = "first week" ] || fail "the first rotation did not keep the log as receiver.log.1"
  [ "$(stat -c '%u:%g %a %s' /var/log/quelm/receiver.log 2>/dev/null)" = "$ids 640 0" ] ||
    fail "the new log is not an empty 0640 file of quelm: $(stat -c '%u:%g %a %s' /var/log/quelm/receiver.log 2>&1)"
  grep -qx '[0-9]* kill --kill-whom=main -s HUP quelm-receiver.service' "$tmp/systemctl.calls" ||
    fail "postrotate did not signal the daemon: '$(cat "$tmp/systemctl.calls")'"
  echo "second week" >/var/log/quelm/receiver.log
  PATH=$tmp/bin:$PATH timeout 60 logrotate -f -s "$tmp/state" "$conf" >>"$tmp/rotate.log" 2>&1 || fail "the second logrotate -f failed: $(cat "$tmp/rotate.log")"
  [ "$(cat /var/log/quelm/receiver.log.1 2>/dev/null)" = "second week" ] || fail "the second rotation did not move the log to receiver.log.1"
  [ "$(gzip -dc /var/log/quelm/receiver.log.2.gz 2>/dev/null)" = "first week" ] ||
    fail "the older log was not compressed to receiver.log.2.gz: $(ls /var/log/quelm)"
  [ "$(wc -l <"$tmp/systemctl.calls")" -eq 2 ] || fail "the daemon was not signalled once per rotation: '$(cat "$tmp/systemctl.calls")'"
  # No log at all (the daemon never started) is no error.
  rm -f /var/log/quelm/*
  PATH=$tmp/bin:$PATH timeout 60 logrotate -f -s "$tmp/state" "$conf" >"$tmp/rotate.log" 2>&1 || fail "logrotate -f without logs failed: $(cat "$tmp/rotate.log")"
  exit $failed
fi

if [ "${1:-}" != --install ]; then
  src=$1 build=$2
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT

  # The package and lintian's verdict on it.
  if ! BUILD_DIR=$build timeout 1500 "$src/scripts/package.sh" >"$tmp/package.log" 2>&1; then
    tail -n 40 "$tmp/package.log"
    echo "PACKAGE CHECK FAILED: scripts/package.sh"
    exit 1
  fi
  deb=$(tail -n 1 "$tmp/package.log")
  [ -f "$deb" ] || { echo "PACKAGE CHECK FAILED: package.sh printed '$deb', not a package"; exit 1; }
  echo "package: $deb ($(stat -c %s "$deb") bytes)"
  [ -f "$build/lintian.log" ] && [ ! "$build/lintian.log" -ot "$deb" ] || fail "no lintian report for this package"
  grep '^E: ' "$build/lintian.log" && fail "lintian reported errors"
  grep '^W: ' "$build/lintian.log" && fail "lintian reported warnings"

  [ "$(dpkg-deb -f "$deb" Package)" = quelm-receiver ] || fail "the package is not named quelm-receiver"
  [[ "$(dpkg-deb -f "$deb" Maintainer)" == *" <"*"@"*">" ]] || fail "no maintainer with an address"
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in adduser libc6 libssl3 libpq5; do
    [[ ", $depends" == *", $needed"[\ ,]* || ", $depends" == *", $needed" ]] || fail "Depends lacks $needed: $depends"
  done

  # The rest as root.
  if [ "$(id -u)" -eq 0 ]; then
    "$0" --install "$src" "$deb" || failed=1
  elif timeout 10 sudo -n true 2>/dev/null; then
    sudo -n "$0" --install "$src" "$deb" || failed=1
  else
    echo "SKIPPED: installing the package needs root or sudo without a password"
    exit 77
  fi
  [ $failed -eq 0 ] && echo "package check passed"
  exit $failed
fi

# The installation checks, as root:
#   package_check.sh --install SOURCE_DIR DEB
src=$2 deb=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# An empty dpkg database in a throwaway root; the libraries the package
# depends on are the host's, so dependencies are not checked there.
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
dpkg_root() {
  timeout 120 dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends "$@" >"$tmp/dpkg.log" 2>&1 ||
    { grep -v '^ \|depends on\|dependency problems' "$tmp/dpkg.log"; fail "dpkg $*"; }
}
query() { dpkg-query --admindir="$root/var/lib/dpkg" -W -f="$1" quelm-receiver 2>/dev/null; }
dpkg_root --install "$deb"
[ "$(query '${Status}')" = "install ok installed" ] || fail "not installed: '$(query '${Status}')'"

for program in quelm-receiver quelm-notify quelm-check-syslog; do
  [ -x "$root/usr/bin/$program" ] || fail "/usr/bin/$program not installed"
  file -b "$root/usr/bin/$program" | grep -q ', stripped' || fail "/usr/bin/$program is not stripped"
done
answer=$(echo '{"fromhost":"fw01","message":"link down"}' | env -i "$root/usr/bin/quelm-check-syslog" -c down)
[ "$answer" = "CRITICAL: fw01: link down" ] || fail "the installed quelm-check-syslog answered '$answer'"
grep -qx 'ExecStart=/usr/bin/quelm-receiver -f /etc/quelm/receiver.conf' "$root/lib/systemd/system/quelm-receiver.service" ||
  fail "no unit starting /usr/bin/quelm-receiver in /lib/systemd/system"
cmp -s "$src/packaging/receiver.conf" "$root/etc/quelm/receiver.conf" || fail "/etc/quelm/receiver.conf is not the sample"
cmp -s "$src/packaging/logrotate.conf" "$root/etc/logrotate.d/quelm-receiver" || fail "/etc/logrotate.d/quelm-receiver is not packaging/logrotate.conf"
conffiles=$(query '${Conffiles}\n')
for conffile in /etc/quelm/receiver.conf /etc/logrotate.d/quelm-receiver; do
  grep -qE "^ $conffile [0-9a-f]{32}$" <<<"$conffiles" || fail "$conffile is not a conffile: '$conffiles'"
done
doc=$root/usr/share/doc/quelm-receiver
grep -qF 'binary="/usr/bin/quelm-notify ' "$doc/examples/rsyslog-quelm.conf" || fail "no rsyslog example running /usr/bin/quelm-notify"
grep -q '^Copyright: ' "$doc/copyright" || fail "no copyright file"
gzip -dc "$doc/changelog.Debian.gz" 2>/dev/null | head -n 1 | grep -qF "quelm-receiver ($(dpkg-deb -f "$deb" Version))" ||
  fail "changelog.Debian.gz does not start with this version"

# The maintainer scripts made the account and the log directory below the
# root, not on the host.
postinst=$root/var/lib/dpkg/info/quelm-receiver.postinst
grep -qF 'adduser --system --group --no-create-home --home /nonexistent' "$postinst" &&
  grep -qF 'systemd-sysusers ${DPKG_ROOT:+--root="$DPKG_ROOT"} quelm-receiver.conf' "$postinst" ||
  fail "the postinst does not create the quelm account"
[ -x "$root/var/lib/dpkg/info/quelm-receiver.postrm" ] || fail "no postrm"
account=$(grep '^quelm:' "$root/etc/passwd")
[[ "$account" == quelm:*:*:*:*:/nonexistent:/usr/sbin/nologin ]] || fail "no quelm system account in the root: '$account'"
uid=$(cut -d: -f3 <<<"$account")
gid=$(awk -F: '$1 == "quelm" { print $3 }' "$root/etc/group")
[ -n "$uid" ] && [ "$uid" -lt 1000 ] && [ -n "$gid" ] || fail "quelm is not a system user with its group (uid '$uid', gid '$gid')"
[ "$(stat -c '%u:%g %a' "$root/var/log/quelm" 2>&1)" = "$uid:$gid 750" ] ||
  fail "/var/log/quelm is not quelm's 0750: $(stat -c '%u:%g %a' "$root/var/log/quelm" 2>&1)"
[ "$(stat -c '%u:%g %a' "$root/etc/quelm/receiver.conf")" = "0:$gid 640" ] ||
  fail "receiver.conf is not root:quelm 0640: $(stat -c '%u:%g %a' "$root/etc/quelm/receiver.conf")"

# logrotate on the shipped file, in a private mount namespace. Where none
# can be made (a container without the right), the file is only parsed,
# with the host's root standing in for the quelm account.
if timeout 10 unshare --mount true 2>/dev/null; then
  timeout 180 unshare --mount "$0" --rotate "$root" "$tmp" || fail "the rotation checks"
else
  echo "NOTE: no mount namespace here; logrotate only parses the file, as root"
  sed 's/quelm quelm$/root root/' "$root/etc/logrotate.d/quelm-receiver" >"$tmp/logrotate.conf"
  timeout 60 logrotate -d -s "$tmp/state" "$tmp/logrotate.conf" >"$tmp/debug.log" 2>&1 || fail "logrotate -d failed: $(cat "$tmp/debug.log")"
  grep -q '^error' "$tmp/debug.log" && fail "logrotate -d reported errors: $(cat "$tmp/debug.log")"
fi

# An administrator's change to the configuration survives a reinstall.
echo "# changed by the administrator" >>"$root/etc/quelm/receiver.conf"
dpkg_root --install "$deb"
[ "$(tail -n 1 "$root/etc/quelm/receiver.conf")" = "# changed by the administrator" ] || fail "the reinstall replaced the changed receiver.conf"
[ ! -e "$root/etc/quelm/receiver.conf.dpkg-new" ] && [ ! -e "$root/etc/quelm/receiver.conf.dpkg-old" ] ||
  fail "the reinstall left a second configuration: $(ls "$root/etc/quelm")"

# A purge removes programs, configuration and logs, and forgets the package.
dpkg_root --purge quelm-receiver
[ -z "$(query '${Status}')" ] || [ "$(query '${Status}')" = "unknown ok not-installed" ] || fail "still known after the purge: '$(query '${Status}')'"
for gone in usr/bin/quelm-receiver etc/quelm/receiver.conf etc/logrotate.d/quelm-receiver var/log/quelm lib/systemd/system/quelm-receiver.service; do
  [ ! -e "$root/$gone" ] || fail "/$gone is left after the purge"
done

exit $failed
