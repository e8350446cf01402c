#!/usr/bin/env bash
# The Debian package, built by scripts/package.sh (which fails on a lintian
# error) into TREE/package/, where the mail-server round trips take it from:
# it holds the three programs, the manual pages, the operator and web guides,
# copyright and changelog, the web pages' systemd unit (not enabled) and the
# default forms as conffiles under /etc, and nothing else.
#
#   package_test.sh SOURCE_DIR TREE
set -euo pipefail
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
src=${1:?usage: package_test.sh SOURCE_DIR TREE} tree=${2:?usage: package_test.sh SOURCE_DIR TREE}
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is not available"; exit 77; }
command -v lintian >/dev/null || fail "lintian is not installed (./run test installs it)"
mkdir -p "$tree"
"$src/scripts/package.sh" "$src" "$tree" >"$tree/package.log" 2>&1 ||
  { cat "$tree/package.log"; fail "the package build or its lintian check failed"; }
deb=$(echo "$tree"/package/*.deb)
work=$(mktemp -d /tmp/sendvetter-package-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Everything but directories (a symlink would enable the unit): exactly these,
# the programs with mode 0755.
formdir=etc/sendvetter/forms
{
  printf -- '-rwxr-xr-x ./usr/bin/%s\n' sendvetter sendvetter-panel sendvetter-web
  printf -- '-rw-r--r-- ./usr/share/man/man8/%s.8.gz\n' sendvetter sendvetter-panel sendvetter-web
  printf -- '-rw-r--r-- ./usr/share/doc/sendvetter/%s\n' operators.md web.md copyright changelog.gz
  echo "-rw-r--r-- ./usr/lib/systemd/system/sendvetter-web.service"
  for f in "$src"/forms/*.txt; do echo "-rw-r--r-- ./$formdir/${f##*/}"; done
} | sort >"$work/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort >"$work/files"
diff -u "$work/expected" "$work/files" || fail "package contents differ from the expected files"
dpkg-deb -e "$deb" "$work/control"
! grep -s -q -E 'systemctl|deb-systemd' "$work/control/postinst" || fail "postinst enables or starts a unit"
diff -u <(sed -n 's|^.* \./\(etc/.*\)$|/\1|p' "$work/expected") <(sort "$work/control/conffiles") ||
  fail "the forms are not exactly the conffiles"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package) $(field Section)" = "sendvetter mail" ] || fail "Package, Section: $(field Package) $(field Section)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[[ $(field Depends) == *libpcre2-8-0* ]] || fail "Depends lacks the PCRE2 library: $(field Depends)"
[[ $(field Maintainer) == *@* && $(field Maintainer) != *@localhost* && -n $(field Description) ]] ||
  fail "Maintainer or Description: $(field Maintainer)"

# Installed by dpkg into a throw-away root: dpkg accepts it, conffiles
# included, and the programs run and use the real host paths.
mkdir -p "$work/root/var/lib/dpkg/"{info,updates,triggers}
touch "$work/root/var/lib/dpkg/status"
dpkg --root="$work/root" --force-depends --force-not-root --force-script-chrootless --no-triggers \
     --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
grep -A3 '^Conffiles:' "$work/root/var/lib/dpkg/status" | grep -q "/$formdir/verify.txt" ||
  fail "dpkg did not register the forms as conffiles"
bin=$work/root/usr/bin
[ "$("$bin/sendvetter" --bincheck)" = "BinCheck ok" ] || fail "sendvetter --bincheck"
status=0
"$bin/sendvetter-panel" SendVetter_nosuchfunction >/dev/null 2>&1 || status=$?
[ $status = 2 ] || fail "sendvetter-panel: unknown function gave status $status, not 2"
! grep -l -a SENDVETTER_HOST_ROOT "$bin"/* || fail "a test build (host paths relocatable)"
for p in sendvetter sendvetter-panel sendvetter-web; do
  page=$work/root/usr/share/man/man8/$p.8.gz
  warnings=$(zcat "$page" | groff -man -ww -z -Tutf8 2>&1)
  [ -z "$warnings" ] || fail "$p.8: $warnings"
  zcat "$page" | groff -man -Tutf8 -P-cbu 2>/dev/null | grep -q 'EXIT STATUS' || fail "$p.8 has no EXIT STATUS section"
done
echo "package ${deb##*/}: $(wc -l <"$work/files") files checked"
