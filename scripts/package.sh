#!/usr/bin/env bash
# The Debian package, built the one way both `./run package` and the package
# test use: a Release build with the real host paths, the distribution's
# hardening flags (dpkg-buildflags) and the forms under /etc, packed by
# CPack and checked by lintian, whose errors fail the build.
#
#   package.sh SOURCE_DIR TREE    writes TREE/package/sendvetter_<version>_<arch>.deb
set -euo pipefail
src=${1:?usage: package.sh SOURCE_DIR TREE} tree=${2:?usage: package.sh SOURCE_DIR TREE}

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# No debug information: CPack strips the programs, and it is a third of the
# compile time.
export DEB_CXXFLAGS_MAINT_STRIP=-g
# CMake reads no CPPFLAGS: the preprocessor flags (_FORTIFY_SOURCE) go with
# the compiler's.
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$src" -B "$tree" -DCMAKE_BUILD_TYPE=Release -DSENDVETTER_SANDBOX_HOST_PATHS=OFF \
      -DSENDVETTER_TESTS=OFF -DSENDVETTER_BENCH=OFF -DSENDVETTER_SANITIZE=OFF \
      -DSENDVETTER_FORM_DIR=/etc/sendvetter/forms \
      -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$tree" -j 2 >"$tree/build.log" 2>&1 || { cat "$tree/build.log"; exit 1; }

rm -rf "$tree/package"
(cd "$tree" && cpack -G DEB -B "$tree/package" >"$tree/cpack.log" 2>&1) ||
  { cat "$tree/cpack.log"; echo "cpack failed" >&2; exit 1; }
debs=("$tree"/package/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "expected one package, found: ${debs[*]}" >&2; exit 1; }

lintian --fail-on error "${debs[0]}"
echo "${debs[0]}"
