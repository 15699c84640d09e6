#!/bin/sh
# unit_verify.sh SYSTEMD_ANALYZE CMAKE SOURCE_DIR PROGRAM: the user units written as the
# installation writes them (cmake/SystemdUnits.cmake), their ExecStart naming PROGRAM;
# systemd-analyze verify must have nothing to say about any of them, and the status the program
# ends with for a place it does not know must be one that the units do not restart on.
set -eu
analyze=$1 cmake=$2 source=$3 program=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/prefix/bin"
ln -s "$program" "$work/prefix/bin/nimbrovator"
HOME=$work/home "$cmake" -DCMAKE_INSTALL_PREFIX="$work/prefix" -DNIMBROVATOR_SOURCE_DIR="$source" \
  -DNIMBROVATOR_BINARY_DIR="$work/build" -DNIMBROVATOR_BINDIR=bin \
  -P "$source/cmake/SystemdUnits.cmake" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "writing the units"; }
units=$work/prefix/lib/systemd/user

# The user manager wants a runtime directory of its own; the manual page is checked by the
# package test, where it is installed.
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
verify() {
  XDG_RUNTIME_DIR="$work/runtime" "$analyze" verify --user --man=no "$1" >"$work/said" 2>&1 ||
    { cat "$work/said" >&2; fail "systemd-analyze verify $1"; }
  [ ! -s "$work/said" ] || { cat "$work/said" >&2; fail "systemd-analyze has something to say"; }
}

# The status of a place the configuration does not name, as a unit would meet it.
mkdir -p "$work/config" "$work/data"
unknown=0
XDG_CONFIG_HOME="$work/config" NIMBROVATOR_DATA_DIR="$work/data" \
  "$program" --watch --place Nigdzie 2>"$work/unknown.err" || unknown=$?
grep -q 'Nigdzie' "$work/unknown.err" || fail "the unknown place is not named: $(cat "$work/unknown.err")"
[ "$unknown" -gt 2 ] || fail "an unknown place ends with $unknown"

# unit|ExecStart's arguments after the program|an instance (none for a unit that is no template)
while IFS='|' read -r unit arguments instance; do
  file=$units/$unit
  [ -f "$file" ] || fail "no $unit"
  grep -q '@[A-Z_]*@' "$file" && fail "$unit: a placeholder is left: $(grep '@[A-Z_]*@' "$file")"
  grep -qx "ExecStart=$work/prefix/bin/nimbrovator $arguments" "$file" || fail "$unit: ExecStart"
  grep -qx 'Type=notify' "$file" || fail "$unit: Type=notify"
  grep -q '^WatchdogSec=' "$file" || fail "$unit: WatchdogSec"
  for status in 2 "$unknown"; do
    grep -Eq "^RestartPreventExitStatus=(.* )?$status( |$)" "$file" ||
      fail "$unit restarts after status $status"
  done
  verify "$file"
  if [ -n "$instance" ]; then
    # An instance named as systemd-escape names it.
    named="$work/${unit%%@*}@$(systemd-escape "$instance").service"
    cp "$file" "$named"
    verify "$named"
  fi
done <<UNITS
nimbrovator@.service|--watch %I|Nowy Sącz
nimbrovator-place@.service|--watch --place %I|Działka Leśna
nimbrovator-places.service|--watch --all-places|
UNITS

# A fault is found: the check can fail.
sed 's|^Type=notify|Type=notfy|' "$units/nimbrovator@.service" >"$work/broken@.service"
XDG_RUNTIME_DIR="$work/runtime" "$analyze" verify --user --man=no "$work/broken@.service" \
  >"$work/said" 2>&1 || true
[ -s "$work/said" ] || fail "a broken unit passed"
echo "units ok"
