#!/usr/bin/env bash
# End-to-end test of the orvel client against a private emulator:
#   cli_test.sh ORVEL EMULATOR EXAMPLE_HELLO SOURCE_DIR LIB_DIR CRAFTED_SERVICE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
orvel=$1 emulator=$2 hello=$3 src=$4 libdir=$5 crafted=$6

scratch
export XDG_CONFIG_HOME=$work/config ORVEL_LOG_DIR=$work/log
unset ORVEL_SERVER ORVEL_SETTINGS_FILE

# expect STATUS CMD...: runs CMD, keeps stdout in $out and stderr in $err.
expect() {
  local want=$1; shift
  out=$("$@" 2>"$work/err"); local got=$?
  err=$(cat "$work/err")
  [[ $got == "$want" ]] || fail "$* -> exit $got, wanted $want; stderr: $err"
}

"$emulator" --listen 127.0.0.1:0 --user alice:secret --user demo:demo >"$work/emulator.out" 2>&1 &
emu_pid=$!
port=$(wait_ready "$work/emulator.out")
[[ -n ${port:-} ]] || { echo "emulator did not start" >&2; exit 1; }
server=127.0.0.1:$port

echo "== sign-in"
# Nothing listens on port 1: the cause follows the result's name.
expect 1 bash -c "echo x | '$orvel' --server 127.0.0.1:1 login alice --password-stdin"
[[ $err == *"E_OV_NETWORK_ERROR (0x80044005): connection refused (127.0.0.1:1) - "* ]] ||
  fail "refused: no cause in '$err'"
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
  # A 60-column terminal: no line of the display is wider than 59 columns.
  script -qec "stty cols 60; '$orvel' put '$work/tty.mp4' '$folder' --name narrow.mp4" /dev/null </dev/null \
    >"$work/narrow.log" 2>&1 || fail "put on a narrow terminal: $(cat "$work/narrow.log")"
  widest=$(tr '\r' '\n' <"$work/narrow.log" | sed 's/\x1b\[K//g' | awk '{ if (length($0) > w) w = length($0) } END { print w }')
  ((widest <= 59)) || fail "a progress line of $widest columns on a 60-column terminal: $(cat -v "$work/narrow.log")"
  grep -q 'upload \[#*-*\]' "$work/narrow.log" || fail "no bar on a narrow terminal: $(cat -v "$work/narrow.log")"
  script -qec "'$orvel' -q put '$work/tty.mp4' '$folder' --name quiet.mp4" /dev/null </dev/null >"$work/quiet.log" 2>&1
  ! grep -q 'upload' "$work/quiet.log" || fail "-q still shows progress: $(cat -v "$work/quiet.log")"
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

echo "== command line"
expect 0 "$orvel" --version
[[ $out =~ ^orvel\ [0-9]+\.[0-9]+\.[0-9]+\ \(liborvelsdk\ [0-9]+\.[0-9]+\.[0-9]+\)$ ]] || fail "--version: $out"
expect 0 "$orvel" put --help
[[ $out == *"Usage: orvel put"* && $out == *LOCAL* && $out == *REMOTE* && $out == *"Example:"* && $out != *login* ]] \
  || fail "put --help: $out"
expect 2 "$orvel" ls --bogus
[[ $err == *"unknown option --bogus"* ]] || fail "unknown option: '$err'"
expect 2 "$orvel" --json ls --bogus
[[ $out == *'"operation":"usage"'* ]] || fail "json unknown option: $out"
expect 0 "$orvel" --server="$server" --json ls /
[[ $out == *'"folderId":"0"'* ]] || fail "--server=VALUE: $out"
expect 2 "$orvel" ls photos
[[ $err == *"neither an id nor a /path"* ]] || fail "ls NAME: '$err'"

echo "== paths"
expect 0 "$orvel" mkdir -p /tree/a/b
b_id=$out
expect 0 "$orvel" mkdir -p /tree/a/b
[[ $out == "$b_id" ]] || fail "mkdir -p again gave $out, wanted $b_id"
expect 0 "$orvel" mkdir -p /tree/./a/./b
[[ $out == "$b_id" ]] || fail "mkdir -p with . parts gave $out, wanted $b_id"
expect 0 "$orvel" --json ls /tree
[[ $out != *'"name":"."'* ]] || fail "mkdir made a folder '.': $out"
expect 1 "$orvel" mkdir /nowhere/x
[[ $err == *E_OV_TARGET_NOT_EXISTS* && $err == *"no /nowhere"* ]] || fail "mkdir without -p: '$err'"
expect 0 "$orvel" mkdir /tree/c
expect 0 "$orvel" --json ls /tree/a
[[ $out == *'"name":"b"'* ]] || fail "ls /tree/a: $out"
expect 1 "$orvel" ls /tree/zz
[[ $err == *"no /tree/zz"* ]] || fail "ls missing path: '$err'"
printf 'alpha' >"$work/a.txt"
expect 0 "$orvel" put "$work/a.txt" /tree/a
expect 0 "$orvel" put "$work/a.txt" /tree/a/renamed.txt
expect 0 "$orvel" ls -h /tree/a
[[ $out == *"5 B"* && $out == *a.txt* && $out == *renamed.txt* ]] || fail "ls -h: $out"
[[ $out =~ [0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9:]{8}\ [+-][0-9]{4} ]] || fail "ls time without zone: $out"
mkdir "$work/into"
expect 0 "$orvel" get /tree/a/a.txt "$work/into"
[[ $(cat "$work/into/a.txt") == alpha ]] || fail "get into a folder"
a_id=$("$orvel" --json ls /tree/a | grep -o '{[^}]*"name":"a.txt"[^}]*}' | grep -o '"id":"[0-9]*"' | cut -d'"' -f4)
expect 1 "$orvel" get "$a_id" "$work/into"
[[ $err == *"exists; kept"* ]] || fail "existing local file: '$err'"
printf 'changed' >"$work/into/a.txt"
expect 0 "$orvel" get --force "$a_id" "$work/into"
[[ $(cat "$work/into/a.txt") == alpha ]] || fail "get --force by id into a folder"
expect 0 "$orvel" rename /tree/a/renamed.txt r.txt
expect 0 "$orvel" mv /tree/a/r.txt /tree/c
expect 0 "$orvel" --json ls /tree/c/r.txt
[[ $out == *'"name":"r.txt"'* && $(grep -o '"name"' <<<"$out" | wc -l) == 1 ]] || fail "ls of a file: $out"
expect 1 "$orvel" put "$work/a.txt" /tree/nowhere/x.txt
[[ $err == *E_OV_PARENT_NOT_EXIST* ]] || fail "put under a missing folder: '$err'"
expect 1 "$orvel" put "$work/a.txt" /tree/c/r.txt/x.txt
[[ $err == *E_OV_PARENT_NOT_EXIST* ]] || fail "put under a file: '$err'"
expect 0 "$orvel" --json ls /tree/c
[[ $out == *'"name":"r.txt"'* ]] || fail "rename and mv by path: $out"

echo "== standard input and output"
expect 0 bash -c "printf 'from stdin' | '$orvel' put - /tree/c/in.txt"
[[ $("$orvel" get /tree/c/in.txt -) == "from stdin" ]] || fail "get - after put -"
expect 2 bash -c "printf x | '$orvel' put - /tree/c"
[[ $err == *"--name"* ]] || fail "put - without a name: '$err'"

echo "== whole folders"
mkdir -p "$work/up/sub/deeper" "$work/up/empty"
printf 'one' >"$work/up/1.txt"
head -c 300000 /dev/urandom >"$work/up/sub/2.bin"
printf 'three' >"$work/up/sub/deeper/3.txt"
ln -s .. "$work/up/sub/deeper/back-up"  # a link that leads back up the tree
expect 0 "$orvel" put -r "$work/up" /tree
[[ $out == *"Uploaded 3 file(s)"* ]] || fail "put -r summary: $out"
expect 0 "$orvel" --json ls /tree/up/sub/deeper
[[ $out == *'"name":"3.txt"'* ]] || fail "put -r into an existing folder keeps the name: $out"
expect 0 "$orvel" --json put -r "$work/up" /copy
[[ $out == *'"files":3'* && $out == *'"folders":4'* && $out == *'"failed":0'* && $out == *'"to":"/copy"'* ]] \
  || fail "put -r json: $out"
expect 0 "$orvel" -v ls /copy/sub
[[ $err == *"/copy/sub is id "* ]] || fail "-v: '$err'"
expect 0 "$orvel" --json ls /copy/sub
[[ $out == *'"name":"2.bin"'* ]] || fail "put -r to a new path: $out"
expect 0 "$orvel" get -r /tree/up "$work/down"
rm "$work/up/sub/deeper/back-up"
diff -r "$work/up" "$work/down" >/dev/null || fail "get -r to a new folder differs"
mkdir "$work/downs"
expect 0 "$orvel" get -r /tree/up "$work/downs"
diff -r "$work/up" "$work/downs/up" >/dev/null || fail "get -r into an existing folder differs"
expect 1 "$orvel" get -r /tree/up "$work/downs"
[[ $err == *"exists; kept"* && $out == *"kept as they were"* ]] || fail "get -r over existing files: $out / $err"
expect 1 "$orvel" --json get -r /tree/up "$work/downs"
[[ $out == *'"bytes":0,'* && $out == *'"files":0,'* ]] || fail "get -r over existing files counted their bytes: $out"
expect 1 "$orvel" rm /copy
[[ $err == *E_OV_FOLDER_NON_EMPTY* ]] || fail "rm non-empty: '$err'"
expect 1 bash -c "echo n | '$orvel' rm -r /copy"
expect 0 "$orvel" ls /copy/sub
expect 0 bash -c "echo y | '$orvel' rm -r /copy"
expect 1 "$orvel" ls /copy
expect 0 "$orvel" rm -r --yes /tree/up
[[ $out == *"items"* ]] || fail "rm -r --yes: $out"

echo "== an expired session renews itself"
curl -s -X POST -d '{"advance":7200}' "http://$server/_emulator/clock" >/dev/null
old_token=$(grep '^token=' "$XDG_CONFIG_HOME/orvel/session")
expect 0 "$orvel" ls /tree
new_token=$(grep '^token=' "$XDG_CONFIG_HOME/orvel/session")
[[ $old_token != "$new_token" ]] || fail "the renewed token was not stored"
expect 0 "$orvel" space

echo "== the download cache"
export XDG_CACHE_HOME=$work/cache
mkdir -p "$XDG_CACHE_HOME/orvel/dl-1-stale" "$XDG_CACHE_HOME/orvel/dl-2-fresh"
touch -d '8 days ago' "$XDG_CACHE_HOME/orvel/dl-1-stale"
expect 0 "$orvel" get /tree/c/in.txt "$work/cached.txt"
[[ ! -e $XDG_CACHE_HOME/orvel/dl-1-stale ]] || fail "a stale cache folder was kept"
[[ -e $XDG_CACHE_HOME/orvel/dl-2-fresh ]] || fail "a fresh cache folder was swept"
[[ $(ls "$XDG_CACHE_HOME/orvel") == dl-2-fresh ]] || fail "a finished download left its cache folder: $(ls "$XDG_CACHE_HOME/orvel")"
expect 1 "$orvel" get 999999 "$work/never.txt"
[[ $(ls "$XDG_CACHE_HOME/orvel" | wc -l) == 2 ]] || fail "a failed download kept no cache folder"
rm -rf "$XDG_CACHE_HOME/orvel/dl-999999-"*
# An interrupted download keeps its folder; the rerun that succeeds removes it.
head -c 2000000 /dev/urandom >"$work/big.bin"
expect 0 "$orvel" put "$work/big.bin" /tree/c
printf '[Tavik]\nServerRoot=%s\nDownloadSpeed=200000\n[Debug]\nDownloadSpeed=200000\n' "$server" >"$work/slow-dl.ini"
ORVEL_SETTINGS_FILE=$work/slow-dl.ini "$orvel" get /tree/c/big.bin "$work/big.back" >"$work/slow-dl.out" 2>&1 &
get_pid=$!
for _ in $(seq 100); do grep -q 'download:' "$work/slow-dl.out" && break; sleep 0.1; done
kill -INT "$get_pid"
wait "$get_pid"; status=$?
[[ $status == 130 ]] || fail "interrupted get exit $status: $(cat "$work/slow-dl.out")"
[[ $(ls "$XDG_CACHE_HOME/orvel" | grep -c '^dl-') == 2 ]] || fail "the interrupted download kept no folder"
[[ ! -e $work/big.back ]] || fail "an interrupted download left a file"
expect 0 "$orvel" get /tree/c/big.bin "$work/big.back"
cmp -s "$work/big.bin" "$work/big.back" || fail "the rerun's bytes differ"
[[ $(ls "$XDG_CACHE_HOME/orvel") == dl-2-fresh ]] || fail "the rerun left its folder: $(ls "$XDG_CACHE_HOME/orvel")"
unset XDG_CACHE_HOME
# A folder whose listing fails is no file: the failure is reported.
tree_c=$("$orvel" --json ls /tree | grep -o '"id":"[0-9]*","[^}]*"name":"c"' | grep -o '^"id":"[0-9]*"' | grep -o '[0-9]*')
curl -s -X POST -d '{"path":"/osvr/dir/","result":"clientTokenExpired","times":0}' "http://$server/_emulator/faults" >/dev/null
expect 1 "$orvel" get -r "$tree_c" "$work/never-tree"
[[ $err == *E_OV_CLIENT_TOKEN_EXPIRED* && $err != *"is a file"* ]] || fail "get -r, listing failed: '$err'"
[[ -n $tree_c ]] || fail "no id for /tree/c"
curl -s -X DELETE "http://$server/_emulator/faults" >/dev/null
# A file's id: the service refuses its listing.
in_txt=$("$orvel" --json ls /tree/c | grep -o '"id":"[0-9]*","[^}]*"name":"in.txt"' | grep -o '^"id":"[0-9]*"' | grep -o '[0-9]*')
expect 1 "$orvel" get -r "$in_txt" "$work/never-tree"
[[ -n $in_txt && $err == *"is a file (get without -r)"* ]] || fail "get -r of a file id: '$err'"
# Ctrl-C while get -r still lists the tree: cancelled, nothing copied.
curl -s -X POST -d '{"path":"/osvr/dir/","delayMs":1500}' "http://$server/_emulator/faults" >/dev/null
"$orvel" get -r /tree/c "$work/never-tree" >"$work/int-tree.out" 2>&1 &
get_pid=$!
sleep 0.5  # real time: the interrupt must come while the delayed listing is under way
kill -INT "$get_pid"
wait "$get_pid"; status=$?
[[ $status == 130 ]] || fail "get -r interrupted while listing: exit $status: $(cat "$work/int-tree.out")"
[[ ! -e $work/never-tree ]] || fail "get -r interrupted while listing made $work/never-tree"
curl -s -X DELETE "http://$server/_emulator/faults" >/dev/null

echo "== block files"
expect 0 "$orvel" block encode "$work/v2.txt" --output "$work/block.bmf" --name v2.txt
key=$(echo "$out" | awk '/key/ {print $2}')
expect 0 "$orvel" --json block info "$work/block.bmf"
[[ $out == *'"format":"BMF0"'* && $out == *'"plainSize":15'* ]] || fail "block info: $out"
expect 0 "$orvel" block decode "$work/block.bmf" --key "$key" --output "$work/block.plain"
cmp -s "$work/v2.txt" "$work/block.plain" || fail "decoded block differs"
expect 1 "$orvel" block decode "$work/block.bmf" --key "$(printf '0%.0s' {1..64})" --output "$work/bad.plain"

echo "== names from the service that are no file names"
"$crafted" >"$work/crafted.out" 2>&1 &
crafted_pid=$!
crafted_port=$(wait_ready "$work/crafted.out")
if [[ -n ${crafted_port:-} ]]; then
  mkdir -p "$work/crafted-config/orvel" "$work/jail/inside"
  printf 'user=x\nuserId=1\ntoken=t\ndeviceId=d\nserver=127.0.0.1:%s\n' "$crafted_port" \
    >"$work/crafted-config/orvel/session"
  before=$(find "$work" -path "$work/jail" -prune -o -print | sort)
  expect 1 env XDG_CONFIG_HOME="$work/crafted-config" "$orvel" get -r 15 "$work/jail/inside/copy"
  [[ $err == *"no file name ('../../escape'"* && $err == *"no file name ('..'"* ]] || fail "bad names: '$err'"
  [[ -d $work/jail/inside/copy && -z $(ls -A "$work/jail/inside/copy") ]] || fail "bad names wrote: $(ls -A "$work/jail/inside/copy")"
  [[ ! -e $work/jail/escape && ! -e $work/escape && ! -e $work/jail/up ]] || fail "a name reached outside the folder"
  [[ $(find "$work" -path "$work/jail" -prune -o -print | sort) == "$before" ]] || fail "files appeared outside the folder"
  expect 1 env XDG_CONFIG_HOME="$work/crafted-config" "$orvel" get 13 "$work/jail"
  [[ $err == *"no file name"* ]] || fail "get of 'a/b' into a folder: '$err'"
  [[ -z $(ls -A "$work/jail/inside/copy") && ! -e $work/jail/a ]] || fail "get of 'a/b' wrote something"
  # An id that is no number names no download cache folder.
  mkdir -p "$work/crafted-cache/orvel/dl-.."
  expect 1 env XDG_CONFIG_HOME="$work/crafted-config" XDG_CACHE_HOME="$work/crafted-cache" "$orvel" get -r 19 "$work/jail/odd-id"
  [[ $(ls -A "$work/crafted-cache") == orvel && $(ls -A "$work/crafted-cache/orvel") == dl-.. ]] ||
    fail "an odd id made a cache folder: $(find "$work/crafted-cache")"
  # A folder that holds itself ends with a failure, not an endless tree.
  expect 1 env XDG_CONFIG_HOME="$work/crafted-config" "$orvel" get -r 18 "$work/jail/loop"
  [[ $err == *"nested more than 256 deep"* ]] || fail "looping folder: '$err'"
  [[ ! -e $work/jail/loop ]] || fail "a looping folder left a local folder"
else
  fail "the crafted service did not start"
fi

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
