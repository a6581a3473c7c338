#!/usr/bin/env bash
# Installs the Debian packages the Receiver needs to build, test and run.
# Does nothing (and needs no network) when everything is already there.
set -euo pipefail

packages=(g++ cmake make googletest libgtest-dev libpq-dev libssl-dev libwebsocketpp-dev libboost-dev
  libboost-system-dev libjsoncpp-dev libutfcpp-dev postgresql openssl rsyslog
  prometheus-cpp-dev libsystemd-dev prometheus systemd logrotate dpkg-dev fakeroot file lintian haproxy curl jq
  socat scdoc clang)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
