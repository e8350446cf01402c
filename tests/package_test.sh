#!/usr/bin/env bash
# The Debian package, built by scripts/package.sh (which fails on a lintian
# error): it holds the three programs, the manual pages, the operator and web
# guides, copyright and changelog, the web pages' systemd unit (not enabled)
# and the default forms as conffiles under /etc, and nothing else; nothing
# under /usr/local.
#
#   package_test.sh --build SOURCE_DIR TREE   configure and build TREE (the
#                                             Release build the mail-server
#                                             test uses)
#   package_test.sh SOURCE_DIR TREE           build the package in TREE, check it
set -euo pipefail

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

if [ "${1:-}" = --build ]; then
  src=$2 tree=$3
  cmake -S "$src" -B "$tree" -DCMAKE_BUILD_TYPE=Release -DSENDVETTER_SANDBOX_HOST_PATHS=OFF \
        -DSENDVETTER_TESTS=OFF -DSENDVETTER_BENCH=OFF -DSENDVETTER_SANITIZE=OFF >/dev/null
  cmake --build "$tree" -j 2
  exit 0
fi

src=${1:?usage: package_test.sh SOURCE_DIR TREE} tree=${2:?usage: package_test.sh SOURCE_DIR TREE}
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is not available"; exit 77; }
command -v lintian >/dev/null || fail "lintian is not installed (./run test installs it)"
out=$tree/package
mkdir -p "$tree"
"$src/scripts/package.sh" "$src" "$tree" >"$tree/package.log" 2>&1 ||
  { cat "$tree/package.log"; fail "the package build or its lintian check failed"; }
debs=("$out"/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one package in $out, found: ${debs[*]}"
deb=${debs[0]}

work=$(mktemp -d /tmp/sendvetter-package-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Regular files: exactly the expected ones.
formdir=etc/sendvetter/forms
{
  echo ./usr/bin/sendvetter
  echo ./usr/bin/sendvetter-panel
  echo ./usr/bin/sendvetter-web
  echo ./usr/share/man/man8/sendvetter.8.gz
  echo ./usr/share/man/man8/sendvetter-panel.8.gz
  echo ./usr/share/man/man8/sendvetter-web.8.gz
  echo ./usr/share/doc/sendvetter/operators.md
  echo ./usr/share/doc/sendvetter/web.md
  echo ./usr/lib/systemd/system/sendvetter-web.service
  echo ./usr/share/doc/sendvetter/copyright
  echo ./usr/share/doc/sendvetter/changelog.gz
  for f in "$src"/forms/*.txt; do echo "./$formdir/$(basename "$f")"; done
} | sort >"$work/expected"
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sort >"$work/files"
diff -u "$work/expected" "$work/files" || fail "package contents differ from the expected files"
dpkg-deb -c "$deb" | awk '{print $6}' | grep -q '^\./usr/local' && fail "the package has paths under /usr/local"
for f in verify blacklist returnverify; do
  grep -q -x "./$formdir/$f.txt" "$work/files" || fail "default form $f.txt missing"
done
dpkg-deb -c "$deb" | grep -E ' \./usr/bin/sendvetter(-panel|-web)?$' | grep -q -v '^-rwxr-xr-x' &&
  fail "a program is not installed with mode 0755"

# The web pages' unit is shipped switched off: nothing enables or starts it.
dpkg-deb -c "$deb" | grep -q ' \./etc/systemd/' && fail "the package enables a systemd unit"
dpkg-deb -e "$deb" "$work/scripts"
[ ! -e "$work/scripts/postinst" ] || ! grep -q -E 'systemctl|deb-systemd' "$work/scripts/postinst" ||
  fail "postinst enables or starts a unit"

# Control data.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sendvetter ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = mail ] || fail "Section: $(field Section)"
field Depends | grep -q 'libpcre2-8-0' || fail "Depends lacks the PCRE2 library: $(field Depends)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "Maintainer or Description missing"
field Maintainer | grep -q -v '@localhost' || fail "Maintainer: $(field Maintainer)"
dpkg-deb -e "$deb" "$work/control"
for f in "$src"/forms/*.txt; do
  grep -q -x "/$formdir/$(basename "$f")" "$work/control/conffiles" ||
    fail "form $(basename "$f") is not a conffile"
done

# Installed by dpkg into a throw-away root: dpkg accepts it (conffiles
# included), and the programs run and use the real host paths.
mkdir -p "$work/root/var/lib/dpkg/info" "$work/root/var/lib/dpkg/updates" "$work/root/var/lib/dpkg/triggers"
touch "$work/root/var/lib/dpkg/status"
dpkg --root="$work/root" --force-depends --force-not-root --force-script-chrootless --no-triggers \
     --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
grep -A3 '^Conffiles:' "$work/root/var/lib/dpkg/status" | grep -q "/$formdir/verify.txt" ||
  fail "dpkg did not register the forms as conffiles"
[ "$("$work/root/usr/bin/sendvetter" --bincheck)" = "BinCheck ok" ] || fail "sendvetter --bincheck"
status=0
"$work/root/usr/bin/sendvetter-panel" SendVetter_nosuchfunction >/dev/null 2>&1 || status=$?
[ $status = 2 ] || fail "sendvetter-panel: unknown function gave status $status, not 2"
for p in sendvetter sendvetter-panel sendvetter-web; do
  ! grep -q -a SENDVETTER_HOST_ROOT "$work/root/usr/bin/$p" ||
    fail "$p is a test build (host paths relocatable)"
done
if command -v groff >/dev/null; then
  for p in sendvetter sendvetter-panel sendvetter-web; do
    warnings=$(zcat "$work/root/usr/share/man/man8/$p.8.gz" | groff -man -ww -z -Tutf8 2>&1)
    [ -z "$warnings" ] || fail "$p.8: $warnings"
    zcat "$work/root/usr/share/man/man8/$p.8.gz" | groff -man -Tutf8 -P-cbu 2>/dev/null | grep -q 'EXIT STATUS' ||
      fail "$p.8 has no EXIT STATUS section"
  done
fi
echo "package $(basename "$deb"): $(wc -l <"$work/files") files checked"
