#!/usr/bin/env bash
# Builds the Debian package quelm-receiver_VERSION_ARCH.deb with CPack and
# checks it with lintian, which must report no error. The last line printed
# is the package's path.
#   package.sh                 builds in ./build-package
#   BUILD_DIR=DIR package.sh   builds in DIR
# lintian's report is also kept in BUILD_DIR/lintian.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-package}
case $build in /*) ;; *) build=$PWD/$build ;; esac

"$root/scripts/install-deps.sh"

# Debian's compiler and linker flags, every hardening feature included, as
# a Debian build would use them (read by CMake when it first configures).
cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DQUELM_DEB_LAYOUT=ON \
  -DQUELM_BUILD_TESTS=OFF -DQUELM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -f "$build"/quelm-receiver_*.deb
(cd "$build" && cpack --config CPackConfig.cmake >"$build/cpack.log") ||
  { cat "$build/cpack.log"; echo "package.sh: cpack failed" >&2; exit 1; }
debs=("$build"/quelm-receiver_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: cpack made no single package" >&2; exit 1; }
deb=${debs[0]}

# Errors fail the script; warnings and the rest are shown.
status=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$build/lintian.log" 2>&1 || status=$?
cat "$build/lintian.log"
if [ $status -ne 0 ]; then
  echo "package.sh: lintian failed (status $status) on $deb" >&2
  exit 1
fi
echo "$deb"
