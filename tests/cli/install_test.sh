#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs what was installed from
# there: the tools find the installed library by their RUNPATH, and the
# installed library logs into the user's state folder, never into the prefix.
#   install_test.sh BUILD_DIR LIBDIR(relative) BINDIR(relative)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build=$1 libdir=$2 bindir=$3

scratch

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
orvel=$prefix/$bindir/orvel emulator=$prefix/$bindir/orvel-emulator
[[ -x $orvel && -x $emulator ]] || { echo "orvel or orvel-emulator not installed" >&2; exit 1; }
runpath=$(readelf -d "$orvel" | grep -E 'RUNPATH|RPATH')
[[ $runpath == *'$ORIGIN/../'"$libdir"* ]] || fail "orvel's RUNPATH: $runpath"
[[ $runpath != *"$build"* ]] || fail "orvel's RUNPATH points into the build tree: $runpath"

# Nothing but the installed tree and a fresh home.
run() { env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" "$@"; }
version=$(run "$orvel" --version 2>&1) || fail "installed orvel --version: $version"
[[ $version =~ ^orvel\ [0-9]+\.[0-9]+\.[0-9]+\ \(liborvelsdk\ [0-9]+\.[0-9]+\.[0-9]+\)$ ]] || fail "version: $version"
run "$emulator" --help | grep -q -- '--listen' || fail "installed emulator --help"

# Started without the shell function: `env` becomes the emulator, so the pid
# the cleanup kills is the emulator's own (a function would run in a subshell
# whose end left the emulator running).
env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
  "$emulator" --listen 127.0.0.1:0 --user alice:secret >"$work/emulator.out" 2>&1 &
emu_pid=$!
port=$(wait_ready "$work/emulator.out")
[[ -n ${port:-} ]] || { echo "installed emulator did not start: $(cat "$work/emulator.out")" >&2; exit 1; }

out=$(echo secret | run "$orvel" --server "127.0.0.1:$port" login alice --password-stdin 2>&1) || fail "login: $out"
out=$(echo secret | run "$orvel" --server "127.0.0.1:1" login alice --password-stdin 2>&1) && fail "login to a closed port"
logs=$(ls "$work/home/.local/state/orvelsdk/log/"sdkrd_*.log 2>/dev/null)
[[ -n $logs ]] || fail "no log in ~/.local/state/orvelsdk/log"
[[ ! -e $prefix/$libdir/log ]] || fail "the installed library wrote $prefix/$libdir/log"
grep -q secret $logs && fail "the password reached the log"

# XDG_STATE_HOME and ORVEL_LOG_DIR move it.
run env XDG_STATE_HOME="$work/state" "$orvel" --server "127.0.0.1:$port" space >/dev/null 2>&1
compgen -G "$work/state/orvelsdk/log/sdkrd_*.log" >/dev/null || fail "no log under XDG_STATE_HOME"
run env ORVEL_LOG_DIR="$work/own-log" "$orvel" --server "127.0.0.1:$port" space >/dev/null 2>&1
compgen -G "$work/own-log/sdkrd_*.log" >/dev/null || fail "no log under ORVEL_LOG_DIR"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install checks passed"
