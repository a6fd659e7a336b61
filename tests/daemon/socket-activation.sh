#!/usr/bin/env bash
# pld-engined started as its systemd socket unit starts it: systemd-socket-activate makes the
# socket, starts the daemon at the first connection and hands it the listener (LISTEN_FDS=1,
# descriptor 3). The first client is answered through it; the daemon serves the socket it was
# given, not its --socket option's, and leaves the file, which is not its own, at its stop.
# Usage: socket-activation.sh PLD_ENGINED PLDCTL WORK_PARENT
set -euo pipefail

daemon=$1 pldctl=$2
command -v systemd-socket-activate >/dev/null ||
    { echo "systemd-socket-activate is missing (it comes with systemd)"; exit 77; }
mkdir -p "$3"
work=$(mktemp -d "$3/socket-activation.XXXXXX")
launcher=
cleanup() {
    [[ -z $launcher ]] || kill "$launcher" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
sock=$work/engine.sock

systemd-socket-activate --listen="$sock" "$daemon" --socket "$work/own.sock" \
    >"$work/out" 2>"$work/err" &
launcher=$!
for _ in $(seq 100); do
    [[ -S $sock ]] && break
    sleep 0.1
done
[[ -S $sock ]] || { cat "$work/err"; exit 1; }

# The first connection starts the daemon; it answers the request that came with it.
timeout 30 "$pldctl" --engine "unix:$sock" set 1 101 42
[[ $(timeout 30 "$pldctl" --engine "unix:$sock" get 1 101) == *42* ]] ||
    { echo "the value written is not read back" >&2; cat "$work/err"; exit 1; }
grep -qx "READY $sock seed=[0-9]*" "$work/out" || { cat "$work/out" "$work/err"; exit 1; }
[[ ! -e $work/own.sock ]] || { echo "the daemon made a socket of its own" >&2; exit 1; }

kill -TERM "$launcher"
status=0
wait "$launcher" || status=$?
launcher=
[[ $status == 0 ]] || { echo "the daemon stopped with $status" >&2; cat "$work/err"; exit 1; }
[[ -S $sock ]] || { echo "the daemon removed the socket it was given" >&2; exit 1; }
echo "socket activation: served on $sock, left in place"
