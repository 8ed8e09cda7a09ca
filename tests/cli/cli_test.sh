#!/usr/bin/env bash
# End-to-end test of the orvel client against a private emulator:
#   cli_test.sh ORVEL EMULATOR EXAMPLE_HELLO SOURCE_DIR LIB_DIR
set -uo pipefail
orvel=$1 emulator=$2 hello=$3 src=$4 libdir=$5

work=$(mktemp -d)
emu_pid=
cleanup() {
  [[ -n $emu_pid ]] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config ORVEL_LOG_DIR=$work/log
unset ORVEL_SERVER ORVEL_SETTINGS_FILE

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect STATUS CMD...: runs CMD, keeps stdout in $out and stderr in $err.
expect() {
  local want=$1; shift
  out=$("$@" 2>"$work/err"); local got=$?
  err=$(cat "$work/err")
  [[ $got == "$want" ]] || fail "$* -> exit $got, wanted $want; stderr: $err"
}

"$emulator" --listen 127.0.0.1:0 --user alice:secret --user demo:demo >"$work/emulator.out" 2>&1 &
emu_pid=$!
for _ in $(seq 200); do
  port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$work/emulator.out" | cut -d: -f2)
  [[ -n $port ]] && break
  sleep 0.05
done
[[ -n ${port:-} ]] || { echo "emulator did not start" >&2; exit 1; }
server=127.0.0.1:$port

echo "== sign-in"
expect 1 bash -c "echo wrong | '$orvel' --server $server login alice --password-stdin"
[[ $err == *E_OV_* && $err == *0x8004* ]] || fail "wrong password: no result name in '$err'"
expect 1 "$orvel" space
[[ $err == *E_OV_CLIENT_NO_LOGIN* ]] || fail "no session: '$err'"
expect 0 bash -c "echo secret | '$orvel' --server $server login alice --password-stdin"
mode=$(stat -c %a "$XDG_CONFIG_HOME/orvel/session")
[[ $mode == 600 ]] || fail "session file mode $mode"
expect 0 "$orvel" relogin
expect 0 "$orvel" --json space
[[ $out == *'"totalMiB":'* ]] || fail "space json: $out"

echo "== folders"
expect 0 "$orvel" mkdir e2e
folder=$out
expect 1 "$orvel" mkdir 0 e2e
[[ $err == *"E_OV_TARGET_EXISTS (0x8004101a)"* && $err == *"existing id $folder"* ]] || fail "mkdir taken: '$err'"
expect 0 "$orvel" mkdir "$folder" sub
sub=$out
expect 0 "$orvel" rename "$sub" renamed
expect 0 "$orvel" --json ls "$folder"
[[ $out == *'"name":"renamed"'* ]] || fail "ls after rename: $out"
expect 0 "$orvel" mv "$sub" 0
expect 0 "$orvel" ls
[[ $out == *renamed* && $out == *e2e* ]] || fail "ls root: $out"
expect 0 "$orvel" rm "$sub"
# A name that is not UTF-8 keeps its good characters; the bad bytes become U+FFFD.
expect 0 "$orvel" mkdir "$folder" $'bad\xc3A\x80'
expect 0 "$orvel" ls "$folder"
[[ $out == *$'bad\xef\xbf\xbdA\xef\xbf\xbd'* ]] || fail "name with bad bytes: $out"
expect 1 "$orvel" rm 999999
[[ $err == *E_OV_TARGET_NOT_EXISTS* ]] || fail "rm unknown id: '$err'"

echo "== transfers"
head -c 5000000 /dev/urandom >"$work/data.mp4"
expect 0 "$orvel" put "$work/data.mp4" "$folder" --name data.mp4
file=$(echo "$out" | grep -o 'as [0-9]*' | cut -d' ' -f2)
[[ -n $file ]] || fail "put printed no id: $out"
expect 0 "$orvel" ls "$folder"
[[ $out == *data.mp4* && $out == *5000000* ]] || fail "ls after put: $out"
expect 0 "$orvel" get "$file" "$work/back.mp4"
cmp -s "$work/data.mp4" "$work/back.mp4" || fail "downloaded bytes differ"
echo "second version" >"$work/v2.txt"
expect 0 "$orvel" put "$work/v2.txt" --update "$file"
expect 0 "$orvel" get "$file" "$work/current.txt"
cmp -s "$work/v2.txt" "$work/current.txt" || fail "current version differs"
expect 0 "$orvel" get "$file" "$work/previous.mp4" --previous
cmp -s "$work/data.mp4" "$work/previous.mp4" || fail "previous version differs"
expect 1 "$orvel" put "$work/no-such-file" "$folder"
[[ $err == *"No such file"* ]] || fail "missing file: '$err'"
expect 1 "$orvel" get 424242 "$work/nothing.bin"
[[ $err == *E_OV_* ]] || fail "get unknown id: '$err'"
[[ ! -e $work/nothing.bin ]] || fail "failed download left a file"
expect 1 "$orvel" --json put "$work/data.mp4" "$folder" --name data.mp4
[[ $out == *'"name":"E_OV_TARGET_EXISTS"'* ]] || fail "json error: $out"
expect 2 "$orvel" frobnicate
expect 2 "$orvel" --json mv only-one-id
[[ $out == *'"operation":"usage"'* ]] || fail "json usage error: $out"

echo "== progress bar on a terminal"
if command -v script >/dev/null; then
  head -c 3000000 /dev/urandom >"$work/tty.mp4"
  script -qec "'$orvel' put '$work/tty.mp4' '$folder'" /dev/null </dev/null >"$work/tty.log" 2>&1 \
    || fail "put on a terminal: $(cat "$work/tty.log")"
  grep -q 'upload \[#*-*\] *100%' "$work/tty.log" || fail "no progress bar: $(cat "$work/tty.log")"
fi

echo "== cancel"
# A capped speed keeps the transfer running long enough to be interrupted.
printf '[Tavik]\nServerRoot=%s\nUploadSpeed=300000\n[Debug]\nUploadSpeed=300000\n' "$server" >"$work/slow.ini"
head -c 12000000 /dev/urandom >"$work/slow.mp4"
ORVEL_SETTINGS_FILE=$work/slow.ini "$orvel" put "$work/slow.mp4" "$folder" >"$work/slow.out" 2>&1 &
put_pid=$!
for _ in $(seq 100); do grep -q 'upload:' "$work/slow.out" && break; sleep 0.1; done
kill -INT "$put_pid"
wait "$put_pid"; status=$?
[[ $status == 130 ]] || fail "cancelled put exit $status: $(cat "$work/slow.out")"
grep -q E_OV_CANCELLED "$work/slow.out" || fail "no cancel report: $(cat "$work/slow.out")"

echo "== block files"
expect 0 "$orvel" block encode "$work/v2.txt" --output "$work/block.bmf" --name v2.txt
key=$(echo "$out" | awk '/key/ {print $2}')
expect 0 "$orvel" --json block info "$work/block.bmf"
[[ $out == *'"format":"BMF0"'* && $out == *'"plainSize":15'* ]] || fail "block info: $out"
expect 0 "$orvel" block decode "$work/block.bmf" --key "$key" --output "$work/block.plain"
cmp -s "$work/v2.txt" "$work/block.plain" || fail "decoded block differs"
expect 1 "$orvel" block decode "$work/block.bmf" --key "$(printf '0%.0s' {1..64})" --output "$work/bad.plain"

echo "== logout"
expect 0 "$orvel" logout
[[ ! -e $XDG_CONFIG_HOME/orvel/session ]] || fail "session file left after logout"

echo "== the C example"
ORVEL_SETTINGS_FILE=$work/slow.ini
printf '[Tavik]\nServerRoot=%s\nSvrCommandRoot=%s\n[TavikShell]\nWebServerRoot=%s\n' "$server" "$server" "$server" \
  >"$work/hello.ini"
expect 0 env ORVEL_SETTINGS_FILE="$work/hello.ini" "$hello"
[[ $out == *"root folder:"* ]] || fail "example output: $out"
# And compiled by hand, as the README shows (a sanitized library wants a sanitized program).
# shellcheck disable=SC2086
if cc -std=c11 ${ORVEL_EXAMPLE_CFLAGS:-} -I"$src/include" "$src/examples/hello.c" -L"$libdir" -lorvelsdk -Wl,-rpath,"$libdir" \
     -o "$work/hello" 2>"$work/cc.err"; then
  expect 0 env ORVEL_SETTINGS_FILE="$work/hello.ini" "$work/hello"
else
  fail "example does not compile: $(cat "$work/cc.err")"
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all CLI checks passed"
