#!/bin/sh
# unit_verify.sh SYSTEMD_ANALYZE TEMPLATE PROGRAM: the user unit written as the installation
# writes it, with ExecStart naming PROGRAM; systemd-analyze verify must have nothing to say.
set -eu
analyze=$1 template=$2 program=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

unit="$work/nimbrovator@.service"
sed "s|@NIMBROVATOR_PROGRAM@|$program|g" "$template" >"$unit"
grep -q '@[A-Z_]*@' "$unit" && fail "a placeholder is left: $(grep '@[A-Z_]*@' "$unit")"
grep -qx "ExecStart=$program --watch %I" "$unit" || fail "ExecStart"
grep -qx 'Type=notify' "$unit" || fail "Type=notify"
grep -q '^WatchdogSec=' "$unit" || fail "WatchdogSec"

# The user manager wants a runtime directory of its own; the manual page is checked by the
# package test, where it is installed.
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
verify() {
  XDG_RUNTIME_DIR="$work/runtime" "$analyze" verify --user --man=no "$1" >"$work/said" 2>&1 ||
    { cat "$work/said" >&2; fail "systemd-analyze verify $1"; }
  [ ! -s "$work/said" ] || { cat "$work/said" >&2; fail "systemd-analyze has something to say"; }
}
verify "$unit"
# An instance named as systemd-escape names "Nowy Sącz".
instance="$work/nimbrovator@$(systemd-escape 'Nowy Sącz').service"
cp "$unit" "$instance"
verify "$instance"

# A fault is found: the check can fail.
sed 's|^Type=notify|Type=notfy|' "$unit" >"$work/broken@.service"
XDG_RUNTIME_DIR="$work/runtime" "$analyze" verify --user --man=no "$work/broken@.service" \
  >"$work/said" 2>&1 || true
[ -s "$work/said" ] || fail "a broken unit passed"
echo "unit ok"
