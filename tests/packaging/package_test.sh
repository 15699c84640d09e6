#!/bin/sh
# package_test.sh CPACK BUILD_DIR VERSION SANITIZED SOURCE_DIR: makes the build's Debian package,
# checks its name, fields and files, unpacks it and runs the program it holds; lintian must find
# no errors (not run on a sanitizer build, whose program is not one to ship). scripts/package
# refuses to make a package for the build's placeholder host and keys unless asked to.
set -eu
cpack=$1 build=$2 version=$3 sanitized=$4 source=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# What the configuration file gives | what the refusal names as not given
mkdir -p "$work/home/.config/nimbrovator"
while IFS='|' read -r file missing; do
  printf '%b' "$file" >"$work/home/.config/nimbrovator/config"
  refused=0
  env -i PATH="$PATH" HOME="$work/home" bash "$source/scripts/package" >"$work/said" 2>"$work/err" ||
    refused=$?
  [ "$refused" = 2 ] || fail "scripts/package without $missing: status $refused: $(cat "$work/err")"
  grep -q "REFUSED. Not given: $missing\.$" "$work/err" || fail "the refusal: $(cat "$work/err")"
  grep -q -- '--placeholder' "$work/err" || fail "the refusal names no way out"
  [ ! -s "$work/said" ] || fail "a refused run printed a package: $(cat "$work/said")"
done <<CASES
|storm_host storm_key weather_key
storm_host = burze.example\nstorm_key = 0123456789abcdef0123456789abcdef01234567\n|weather_key
CASES

(cd "$build" && "$cpack" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
package=$work/out/nimbrovator_${version}_amd64.deb
[ -f "$package" ] || fail "no $package"

dpkg-deb -f "$package" Section | grep -qx utils || fail "section"
dpkg-deb -f "$package" Maintainer | grep -q '<.*@.*>' || fail "maintainer"
depends=$(dpkg-deb -f "$package" Depends)
for library in libc6 libcurl4 libgsoap libinih1 libjsoncpp libsqlite3 libssl3; do
  echo "$depends" | grep -q "$library" || fail "Depends lacks $library: $depends"
done

dpkg-deb -x "$package" "$work/root"
for file in usr/bin/nimbrovator usr/share/man/man1/nimbrovator.1.gz \
  usr/share/bash-completion/completions/nimbrovator usr/share/zsh/site-functions/_nimbrovator \
  usr/share/doc/nimbrovator/copyright usr/share/doc/nimbrovator/changelog.gz \
  usr/lib/systemd/user/nimbrovator@.service usr/lib/systemd/user/nimbrovator-place@.service \
  usr/lib/systemd/user/nimbrovator-places.service; do
  [ -f "$work/root/$file" ] || fail "missing $file"
done
gzip -dc "$work/root/usr/share/man/man1/nimbrovator.1.gz" | grep -q '^.SH KONFIGURACJA' ||
  fail "manual page without its configuration section"
for unit in "nimbrovator@.service|%I" "nimbrovator-place@.service|--place %I" \
  "nimbrovator-places.service|--all-places"; do
  grep -qx "ExecStart=/usr/bin/nimbrovator --watch ${unit#*|}" \
    "$work/root/usr/lib/systemd/user/${unit%%|*}" || fail "the ExecStart of ${unit%%|*}"
done
[ "$(ASAN_OPTIONS=detect_leaks=0 "$work/root/usr/bin/nimbrovator" --version)" = "nimbrovator $version" ] ||
  fail "the unpacked program's --version"

if [ "$sanitized" = 0 ] && command -v lintian >/dev/null; then
  lintian "$package" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  if grep -q '^E:' "$work/lintian.log"; then
    fail "lintian reports errors"
  fi
fi
echo "package ok: $(basename "$package")"
