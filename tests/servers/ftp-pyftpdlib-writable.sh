#!/usr/bin/env bash
# The pyftpdlib server of ftp_pyftpdlib.py with a user that may also write (make folders, store,
# rename, delete), for the FTP provider's file operations. No TLS.
#
#   ftp-pyftpdlib-writable.sh start <dir> <port>   serve <dir>/root on 127.0.0.1:<port>
#   ftp-pyftpdlib-writable.sh stop <dir>
set -euo pipefail
# shellcheck source=limits.sh
. "$(dirname "${BASH_SOURCE[0]}")/limits.sh"

user=${OSTRANE_FTP_USER:-ostraneftp}
password=${OSTRANE_FTP_PASSWORD:-Ostrane-Ftp-Test-1}
python=/usr/bin/python3
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "ftp-pyftpdlib-writable.sh: $*" >&2; exit 1; }

stop_server() {
  local pidfile="$1/run/pyftpdlib-writable.pid" pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  rm -f "$pidfile"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 -- "-$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL -- "-$pid" 2>/dev/null || true
}

case "${1:-}" in
  start)
    [ $# -eq 3 ] || fail "usage: start <dir> <port>"
    dir=$2 port=$3
    [[ "$port" =~ ^[0-9]+$ ]] || fail "bad port: $port"
    mkdir -p "$dir/root" "$dir/run" "$dir/log"
    dir=$(cd "$dir" && pwd)
    stop_server "$dir"
    # The stock server with every write permission given to its one user.
    setsid "$python" -c '
import runpy, sys
from pyftpdlib.authorizers import DummyAuthorizer
add_user = DummyAuthorizer.add_user
DummyAuthorizer.add_user = lambda self, name, password, home, perm="elr", **kw: add_user(self, name, password, home, perm="elradfmwMT", **kw)
sys.argv = [sys.argv[1]] + sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
' "$here/ftp_pyftpdlib.py" "$dir/root" "$port" "$user" "$password" --log "$dir/log/pyftpdlib.log" \
      </dev/null >>"$dir/log/pyftpdlib.out" 2>&1 &
    echo $! >"$dir/run/pyftpdlib-writable.pid"
    deadline=$(start_deadline)
    while (( SECONDS < deadline )); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then exit 0; fi
      kill -0 "$(cat "$dir/run/pyftpdlib-writable.pid")" 2>/dev/null || { tail -n 20 "$dir/log/pyftpdlib.out" >&2; fail "pyftpdlib exited during start"; }
      sleep 0.1
    done
    stop_server "$dir"
    fail "pyftpdlib did not listen on 127.0.0.1:$port within ${start_limit} s"
    ;;
  stop)
    [ $# -eq 2 ] || fail "usage: stop <dir>"
    [ -d "$2" ] && stop_server "$(cd "$2" && pwd)"
    ;;
  *) fail "usage: start <dir> <port> | stop <dir>" ;;
esac
