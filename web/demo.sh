#!/usr/bin/env bash
# The demo instrument: a fresh instrument root, the simulated peers and lighttpd
# serving web/ beside upgrade.cgi, state.cgi and form-echo.cgi on 127.0.0.1,
# until Ctrl-C.
#
#   web/demo.sh check   says so and fails when a demo of this build tree runs
#   web/demo.sh run     makes the root, starts everything, waits for Ctrl-C
#
# Settings come from the environment (the Makefile passes its variables):
#   BUILD       build tree, relative to the source tree or absolute (build)
#   BOARD       1: NOR image regions, 2: NAND drive (1)
#   FLASH       chip code 0xC8, 0x93, 0xA3 or 0x53 (0x93)
#   LOADER_GEN  CINT loader generation 3 or 4, 0 or empty: loader region erased (4)
#   PORT        TCP port on 127.0.0.1 (8080)
#   PEERS       options for `instrument peers`, split at spaces (none)
set -u
shopt -u patsub_replacement 2>/dev/null || true  # keep '&' literal in ${x//a/b}

mode=${1:-run}
web_dir=$(cd "$(dirname "$0")" && pwd)
src_dir=$(dirname "$web_dir")
build_rel=${BUILD:-build}
case $build_rel in /*) build=$build_rel ;; *) build=$src_dir/$build_rel ;; esac
BOARD=${BOARD:-1}
FLASH=${FLASH:-0x93}
LOADER_GEN=${LOADER_GEN-4}
PORT=${PORT:-8080}
PEERS=${PEERS:-}
read -r -a peers_options <<<"$PEERS"

bin=$build/bin
run_dir=$build/demo
root=$build/demo-root
lock=$run_dir/demo.lock
info=$run_dir/demo.info
address=http://127.0.0.1:$PORT/

fail() { echo "make demo: $*" >&2; exit 1; }

# The lock is held by the running demo script for as long as it lives, so a
# demo killed without cleanup never blocks the next one.
take_lock() {
    mkdir -p "$run_dir" || fail "cannot create $run_dir"
    exec 9>>"$lock" || fail "cannot open $lock"
    if ! flock -n 9; then
        local pid="" addr=""
        [ -r "$info" ] && read -r pid addr <"$info"
        echo "make demo: a demo is already running${pid:+ (pid $pid)}${addr:+ at $addr}" >&2
        echo "Stop it with Ctrl-C in its terminal${pid:+ (or kill $pid)}, then run make demo again." >&2
        exit 1
    fi
}

check_settings() {
    case $BOARD in 1|2) ;; *) fail "BOARD is 1 or 2 (got '$BOARD')" ;; esac
    case $FLASH in 0xC8|0xc8|0x93|0xA3|0xa3|0x53) ;; *) fail "FLASH is 0xC8, 0x93, 0xA3 or 0x53 (got '$FLASH')" ;; esac
    case $LOADER_GEN in ''|0|3|4) ;; *) fail "LOADER_GEN is 3, 4, or 0 for none (got '$LOADER_GEN')" ;; esac
    case $PORT in ''|*[!0-9]*) fail "PORT is a number (got '$PORT')" ;; esac
    [ "$PORT" -ge 1 ] && [ "$PORT" -le 65535 ] || fail "PORT is 1 to 65535 (got '$PORT')"
    case $build in *'"'*|*\\*) fail "the build tree's path may not hold \" or \\: $build" ;; esac
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
        fail "port $PORT on 127.0.0.1 is in use by another program; choose another: make demo PORT=8081"
    fi
}

if [ "$mode" = check ]; then
    take_lock
    check_settings
    exit 0
fi
[ "$mode" = run ] || fail "usage: web/demo.sh check|run"

take_lock
check_settings
lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)
[ -x "$lighttpd_bin" ] || fail "lighttpd is not installed (make deps installs it)"
for p in instrument upgrade.cgi state.cgi form-echo.cgi; do
    [ -x "$bin/$p" ] || fail "$bin/$p is missing: build first (make build)"
done

peers_pid=""
httpd_pid=""
stopping=""

# Stops what this script started, by pid, giving each a moment to end cleanly.
cleanup() {
    [ -n "$stopping" ] && return
    stopping=1
    trap '' INT TERM HUP
    for pid in $httpd_pid $peers_pid; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in $httpd_pid $peers_pid; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -f "$info"
    [ -n "$httpd_pid$peers_pid" ] && echo "demo stopped"
}
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM HUP
trap cleanup EXIT

# ---- a fresh instrument root ----
rm -rf "$root" "$run_dir/uploads"
mkdir -p "$run_dir/uploads"
init_args=(init "$root" --board "$BOARD" --flash "$FLASH")
case $FLASH in
    0xC8|0xc8)
        # The loader region lies past the end of the 2 MiB chip.
        [ -n "$LOADER_GEN" ] && [ "$LOADER_GEN" != 0 ] &&
            echo "make demo: the 2 MiB chip 0xC8 has no loader region; LOADER_GEN=$LOADER_GEN is not used"
        LOADER_GEN=0 ;;
esac
case $LOADER_GEN in 3|4) init_args+=(--loader-generation "$LOADER_GEN") ;; esac
"$bin/instrument" "${init_args[@]}" || fail "instrument ${init_args[*]} failed"

# ---- the peers "firmware" and "loader" ----
"$bin/instrument" peers "$root" "${peers_options[@]}" >"$run_dir/peers.out" 2>&1 9>&- &
peers_pid=$!
for _ in $(seq 100); do
    [ -S "$root/dev/name/local/firmware" ] && [ -S "$root/dev/name/local/loader" ] && break
    kill -0 "$peers_pid" 2>/dev/null || break
    sleep 0.05
done
if ! kill -0 "$peers_pid" 2>/dev/null; then
    cat "$run_dir/peers.out" >&2
    peers_pid=""
    fail "instrument peers${PEERS:+ $PEERS} did not start (its output is above)"
fi

# ---- lighttpd ----
conf=$(<"$web_dir/lighttpd.conf.in")
conf=${conf//@PORT@/$PORT}
conf=${conf//@WEB_DIR@/$web_dir}
conf=${conf//@RUN_DIR@/$run_dir}
conf=${conf//@BIN_DIR@/$bin}
conf=${conf//@ROOT@/$root}
printf '%s\n' "$conf" >"$run_dir/lighttpd.conf"
: >"$run_dir/lighttpd-error.log"
"$lighttpd_bin" -tt -f "$run_dir/lighttpd.conf" >/dev/null || fail "lighttpd refuses $run_dir/lighttpd.conf"
"$lighttpd_bin" -D -f "$run_dir/lighttpd.conf" 9>&- &
httpd_pid=$!
up=""
for _ in $(seq 100); do
    kill -0 "$httpd_pid" 2>/dev/null || break
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then up=1; break; fi
    sleep 0.05
done
if [ -z "$up" ]; then
    cat "$run_dir/lighttpd-error.log" >&2
    fail "lighttpd did not start on 127.0.0.1:$PORT (its log is above)"
fi

echo "$$ $address" >"$info"
case $LOADER_GEN in 3|4) loader_words=$LOADER_GEN ;; *) loader_words="none, region erased" ;; esac
cat <<EOF

  Demo instrument (board $BOARD, flash $FLASH, loader generation $loader_words):

      $address

  Peers: ${PEERS:-every message accepted}
  Root: $root
  Logs: $run_dir/ (lighttpd-error.log, peers.out)
  Stop: Ctrl-C

EOF

# Ends when Ctrl-C arrives (the trap) or when one of the two stops by itself.
wait -n "$peers_pid" "$httpd_pid"
if kill -0 "$httpd_pid" 2>/dev/null; then
    echo "make demo: instrument peers stopped; see $run_dir/peers.out" >&2
else
    echo "make demo: lighttpd stopped; see $run_dir/lighttpd-error.log" >&2
fi
exit 1
