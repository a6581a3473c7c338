#!/usr/bin/env bash
# fetch-syslog-ng.sh DIR
#
# Puts a private, unpacked copy of Debian's syslog-ng (syslog-ng-core +
# syslog-ng-mod-http) into DIR, without installing the syslog-ng packages
# themselves (they conflict with rsyslog, which must stay installed).
# Only the missing shared-library *dependencies* of the two .debs are
# installed with apt-get (e.g. libivykis0, libnet1 on a clean Debian 12).
#
# Idempotent: if DIR already holds a working unpacked tree it only checks the
# libraries and exits. Installing uses sudo when not run as root. Prints
# nothing on success except one summary line.
#
# The tests run the binary as
#   LD_LIBRARY_PATH=DIR/usr/lib/syslog-ng DIR/usr/sbin/syslog-ng -F -e \
#     --no-caps -f CONF -R PERSIST -p PID -c CTL \
#     --module-path=DIR/usr/lib/syslog-ng/3.38
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
DIR=$1
PKGS="syslog-ng-core syslog-ng-mod-http"
SBIN="$DIR/usr/sbin/syslog-ng"
LIBDIR="$DIR/usr/lib/syslog-ng"
STAMP="$DIR/.unpacked-ok"
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo DEBIAN_FRONTEND=noninteractive)
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# run a command quietly; on failure show its output and stop
quiet() {
    if ! "$@" >"$log" 2>&1; then
        echo "fetch-syslog-ng: failed: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}

did_unpack=no
if [ -f "$STAMP" ] && [ -x "$SBIN" ] && ls "$LIBDIR"/*/libhttp.so >/dev/null 2>&1; then
    :   # already there
else
    mkdir -p "$DIR"
    dl=$(mktemp -d)
    # apt-get download needs package lists; update once if they are absent
    # or if the first download attempt fails (stale lists).
    if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
        quiet "${sudo_cmd[@]}" apt-get update -q
    fi
    if ! (cd "$dl" && apt-get download -q $PKGS) >"$log" 2>&1; then
        quiet "${sudo_cmd[@]}" apt-get update -q
        (cd "$dl" && quiet apt-get download -q $PKGS)
    fi
    rm -rf "$DIR/usr" "$DIR/etc" "$DIR/lib" "$DIR/debs"
    mkdir -p "$DIR/debs"
    for deb in "$dl"/*.deb; do
        dpkg-deb -x "$deb" "$DIR"
        mv "$deb" "$DIR/debs/"
    done
    rmdir "$dl"
    did_unpack=yes
fi

# --- dependencies: the Depends of both .debs, minus the syslog-ng packages
# themselves and the init-script helper (sysvinit-utils | lsb-base), which
# the unpacked binary does not need. First alternative of each, no versions.
deps=$(for deb in "$DIR"/debs/*.deb; do dpkg-deb -f "$deb" Depends; done |
    tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g' |
    grep -v -e '^$' -e '^syslog-ng' -e '^sysvinit-utils$' -e '^lsb-base$' |
    sort -u)
missing=""
for p in $deps; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    # refuse anything that would remove a package (e.g. rsyslog)
    sim=$(apt-get install -s -y --no-install-recommends $missing 2>&1 || true)
    if ! echo "$sim" | grep -q '^Inst '; then
        quiet "${sudo_cmd[@]}" apt-get update -q
        sim=$(apt-get install -s -y --no-install-recommends $missing 2>&1 || true)
    fi
    if echo "$sim" | grep -q '^Remv '; then
        echo "fetch-syslog-ng: installing$missing would remove packages:" >&2
        echo "$sim" | grep '^Remv ' >&2
        exit 1
    fi
    quiet "${sudo_cmd[@]}" apt-get install -q -y --no-install-recommends $missing
fi

# --- check that the binary and the http module resolve all their libraries
bad=$(for f in "$SBIN" "$LIBDIR"/*/libhttp.so "$LIBDIR"/*/libafsocket.so "$LIBDIR"/*/libdisk-buffer.so; do
        LD_LIBRARY_PATH="$LIBDIR" ldd "$f" | grep 'not found' || true
      done)
if [ -n "$bad" ]; then
    echo "fetch-syslog-ng: unresolved libraries:" >&2
    echo "$bad" | sort -u >&2
    exit 1
fi
touch "$STAMP"
ver=$(LD_LIBRARY_PATH="$LIBDIR" "$SBIN" --version 2>/dev/null | sed -n 's/^Installer-Version: *//p' | head -1)
if [ "$did_unpack" = yes ] || [ -n "$missing" ]; then
    echo "syslog-ng ${ver:-?} unpacked in $DIR${missing:+ (installed:$missing)}"
fi
