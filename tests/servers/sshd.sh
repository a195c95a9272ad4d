#!/usr/bin/env bash
# Runs a private OpenSSH sshd (SFTP only) on a loopback port for the tests, the demo and the bench.
#
#   sshd.sh start <dir> <port>   configure <dir>, start sshd on 127.0.0.1:<port>, wait until it serves
#   sshd.sh stop  <dir>          stop the sshd started for <dir> and every connection it serves
#   sshd.sh signal <dir> <SIG>   send SIG to that sshd and its connections (STOP/CONT freeze and thaw it)
#
# The host key is <dir>/etc/ssh_host_ed25519_key, generated when missing (delete it to give the
# server a new key). The login is OSTRANE_SFTP_USER / OSTRANE_SFTP_PASSWORD (defaults below), a
# system user made once with useradd; password authentication only, internal-sftp only.
# Needs root (sshd and useradd). Every wait is bounded.
set -euo pipefail
# shellcheck source=limits.sh
. "$(dirname "${BASH_SOURCE[0]}")/limits.sh"

user=${OSTRANE_SFTP_USER:-ostranesftp}
password=${OSTRANE_SFTP_PASSWORD:-Ostrane-Sftp-Test-1}

usage() { echo "usage: $0 start <dir> <port> | stop <dir> | signal <dir> <SIG>" >&2; exit 2; }

fail() { echo "sshd.sh: $*" >&2; exit 1; }

# The listener and all its descendants: sshd puts each connection in a session of its own, so
# a signal to the listener's process group would leave the connections running.
# Read from /proc in one pass, so the script needs no procps and stays quick on a busy machine.
tree_of() {
  # A process that ends between the glob and the read makes cat fail: under pipefail that would
  # end the script in silence.
  { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v root="$1" '
    {
      # The command name may hold blanks and parentheses: the fields after it are state, ppid, ...
      line = $0; pid = $1; sub(/.*\) /, "", line); split(line, field, " "); parent[pid] = field[2]
    }
    END {
      n = 1; list[1] = root
      for (i = 1; i <= n; i++) for (p in parent) if (parent[p] == list[i]) list[++n] = p
      for (i = 1; i <= n; i++) print list[i]
    }'
}

# A killed process whose parent (init, for a detached server) has not reaped it yet is gone all the same.
running() {
  local line
  line=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  line=${line##*) }
  [ "${line%% *}" != Z ]
}

signal_server() {
  local dir=$1 signal=$2 pid
  [ -f "$dir/run/sshd.listener" ] || fail "no sshd runs for $dir"
  pid=$(cat "$dir/run/sshd.listener")
  [[ "$pid" =~ ^[0-9]+$ ]] || fail "bad listener pid: $pid"
  kill -"$signal" $(tree_of "$pid")
}

stop_server() {
  local dir=$1 pid pids
  [ -f "$dir/run/sshd.listener" ] || return 0
  pid=$(cat "$dir/run/sshd.listener")
  rm -f "$dir/run/sshd.listener"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  # Stop the listener first so no new connection starts, then end the ones it served.
  pids=$(tree_of "$pid")
  kill -STOP $pids 2>/dev/null || true
  pids=$(tree_of "$pid")
  kill -KILL $pids 2>/dev/null || true
  for _ in $(seq 50); do
    local alive=0 p
    for p in $pids; do running "$p" && alive=1; done
    [ $alive -eq 0 ] && return 0
    sleep 0.1
  done
  fail "sshd processes $pids did not stop"
}

password_is_set() {
  local hash salt
  hash=$(getent shadow "$user" | cut -d: -f2)
  [[ "$hash" == '$6$'* ]] || return 1
  salt=$(printf '%s' "$hash" | cut -d'$' -f3)
  [ "$(printf '%s\n' "$password" | openssl passwd -6 -salt "$salt" -stdin)" = "$hash" ]
}

write_config() {
  local dir=$1 port=$2
  cat >"$dir/etc/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $dir/etc/ssh_host_ed25519_key
PidFile $dir/run/sshd.pid
AuthorizedKeysFile none
PubkeyAuthentication no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PermitEmptyPasswords no
UsePAM no
PermitRootLogin no
AllowUsers $user
UseDNS no
X11Forwarding no
AllowTcpForwarding no
AllowAgentForwarding no
PermitTunnel no
PermitTTY no
MaxStartups 100
MaxSessions 100
LoginGraceTime 30
Subsystem sftp internal-sftp
ForceCommand internal-sftp
LogLevel VERBOSE
CONF
}

start_server() {
  local dir=$1 port=$2
  [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || fail "bad port: $port"
  [ "$(id -u)" -eq 0 ] || fail "sshd and useradd need root"
  [ -x /usr/sbin/sshd ] || fail "sshd is not installed (scripts/setup installs openssh-server)"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop_server "$dir"
  mkdir -p "$dir"/{etc,run,log}
  # The login user reads what the tests put under <dir>: it must be able to pass through.
  chmod 0755 "$dir"
  chmod 0700 "$dir/etc"
  # sshd refuses to run without its privilege separation folder.
  mkdir -p /run/sshd
  chmod 0755 /run/sshd

  if [ ! -f "$dir/etc/ssh_host_ed25519_key" ]; then
    ssh-keygen -q -t ed25519 -N '' -C ostrane-test -f "$dir/etc/ssh_host_ed25519_key" >/dev/null
  fi
  chmod 0600 "$dir/etc/ssh_host_ed25519_key"

  id -u "$user" >/dev/null 2>&1 || useradd --no-create-home --home-dir / --shell /usr/sbin/nologin "$user"
  # Rewriting the password database while another sshd checks a login could fail that login:
  # write it only when the password differs.
  if ! password_is_set; then
    printf '%s:%s\n' "$user" "$password" | chpasswd -c SHA512
  fi
  write_config "$dir" "$port"
  /usr/sbin/sshd -t -f "$dir/etc/sshd_config" >>"$dir/log/sshd.out" 2>&1 \
    || { tail -n 20 "$dir/log/sshd.out" >&2; fail "sshd refused its configuration"; }

  setsid /usr/sbin/sshd -D -f "$dir/etc/sshd_config" -E "$dir/log/sshd.log" \
    </dev/null >>"$dir/log/sshd.out" 2>&1 &
  echo $! >"$dir/run/sshd.listener"

  local ready=0
  local deadline
  deadline=$(start_deadline)
  while (( SECONDS < deadline )); do
    if ! kill -0 "$(cat "$dir/run/sshd.listener")" 2>/dev/null; then
      tail -n 20 "$dir/log/sshd.out" "$dir/log/sshd.log" >&2 2>/dev/null || true
      rm -f "$dir/run/sshd.listener"
      fail "sshd exited during start"
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then ready=1; break; fi
    sleep 0.1
  done
  if [ $ready -ne 1 ]; then
    stop_server "$dir"
    fail "sshd did not listen on 127.0.0.1:$port within ${start_limit} s"
  fi
  # Listening is not serving yet on a slow machine: one key exchange, bounded.
  local ok=0
  while (( SECONDS < deadline )); do
    if timeout 10 ssh-keyscan -T 5 -t ed25519 -p "$port" 127.0.0.1 </dev/null 2>/dev/null | grep -q ssh-ed25519; then
      ok=1; break
    fi
    sleep 0.25
  done
  if [ $ok -ne 1 ]; then
    stop_server "$dir"
    fail "sshd on 127.0.0.1:$port did not answer a key exchange"
  fi
}

[ $# -ge 2 ] || usage
case "$1" in
  start) [ $# -eq 3 ] || usage; start_server "$2" "$3" ;;
  stop) [ $# -eq 2 ] || usage; [ -d "$2" ] && stop_server "$(cd "$2" && pwd)" ;;
  signal) [ $# -eq 3 ] || usage; [[ "$3" =~ ^[A-Z0-9]+$ ]] || usage; signal_server "$(cd "$2" && pwd)" "$3" ;;
  *) usage ;;
esac
