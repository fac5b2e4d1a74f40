# Sourced by the real-session checks (usage: SCRIPT PATH/TO/OrvaneBridgeApp): a work directory with
# the app's data and runtime directories, a free port; start (ended on exit), await, fail, skip.
set -euo pipefail
app=$1 here=$(dirname "$0")
work=$(mktemp -d)
started=()
# Last started, first ended: an app stops its bridge while its display still runs.
cleanup() {
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill "${started[i]}" 2>/dev/null && await gone "${started[i]}"
  done
  rm -rf "$work"
}
trap cleanup EXIT
start() { "$@" >/dev/null 2>&1 & started+=($!); }
fail() { echo "FAILED: $*" >&2; exit 1; }
skip() { echo "skipped: $* (scripts/setup --tests)"; exit 77; }
needs() { for tool; do command -v "$tool" >/dev/null || skip "no $tool"; done; }
# Polls "$@" every 0.1 s for at most 30 s.
await() { local by=$((SECONDS + 30)); until "$@"; do ((SECONDS < by)) || return; sleep 0.1; done; }
# Exited, maybe a zombie nobody has reaped yet.
gone() { [[ $(ps -o stat= -p "$1" || echo Z) == Z* ]]; }

mkdir -m 0700 "$work/runtime"
export ORVANE_DIR=$work/data XDG_RUNTIME_DIR=$work/runtime
# The first free port from ORVANE_PORT on, or from a random one.
export ORVANE_PORT=${ORVANE_PORT:-$((20000 + RANDOM % 40000))}
while (exec 3<>"/dev/tcp/127.0.0.1/$ORVANE_PORT") 2>/dev/null; do ((ORVANE_PORT++)); done
