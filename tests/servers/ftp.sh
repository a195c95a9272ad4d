#!/usr/bin/env bash
# Runs a private FTP server on a loopback port for the tests and the demo.
#
#   ftp.sh start pyftpdlib|vsftpd <dir> <port>   serve <dir>/root on 127.0.0.1:<port>, wait until it serves
#   ftp.sh stop  pyftpdlib|vsftpd <dir>          stop the server started for <dir>
#
# The login is OSTRANE_FTP_USER / OSTRANE_FTP_PASSWORD (defaults below). pyftpdlib needs no system
# user; for vsftpd the user is made once with useradd (no shell, no home) and checked through a
# PAM service of its own. OSTRANE_FTP_TLS=optional|required gives pyftpdlib AUTH TLS with a
# self-signed certificate for 127.0.0.1, kept as <dir>/tls/cert.pem (the client's trust file).
# When <dir>/root does not exist it is made with a little sample content. Every wait is bounded.
set -euo pipefail
# shellcheck source=limits.sh
. "$(dirname "${BASH_SOURCE[0]}")/limits.sh"

user=${OSTRANE_FTP_USER:-ostraneftp}
password=${OSTRANE_FTP_PASSWORD:-Ostrane-Ftp-Test-1}
tls=${OSTRANE_FTP_TLS:-off}
python=/usr/bin/python3
here=$(cd "$(dirname "$0")" && pwd)

usage() { echo "usage: $0 start pyftpdlib|vsftpd <dir> <port> | stop pyftpdlib|vsftpd <dir>" >&2; exit 2; }
fail() { echo "ftp.sh: $*" >&2; exit 1; }

stop_server() {
  local dir=$1 kind=$2 pid
  local pidfile="$dir/run/$kind.pid"
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  rm -f "$pidfile"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  # Only the server started for this folder: a stale pid may belong to another process by now.
  { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qF "$dir/" || return 0
  # The server leads its own process group (setsid); each vsftpd session leads a group of its
  # own, so the sessions are stopped by their groups too, and before the server answers no more.
  local groups=("$pid") child
  for child in $(pgrep -P "$pid" 2>/dev/null || true); do groups+=("$child"); done
  local g alive
  for g in "${groups[@]}"; do kill -TERM -- "-$g" 2>/dev/null || kill -TERM "$g" 2>/dev/null || true; done
  for _ in $(seq 50); do
    alive=0
    for g in "${groups[@]}"; do kill -0 -- "-$g" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && return 0
    sleep 0.1
  done
  for g in "${groups[@]}"; do kill -KILL -- "-$g" 2>/dev/null || true; done
  for _ in $(seq 20); do
    alive=0
    for g in "${groups[@]}"; do kill -0 -- "-$g" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && return 0
    sleep 0.1
  done
  fail "$kind process group $pid did not stop"
}

sample_content() {
  local root=$1
  mkdir -p "$root/Movies" "$root/Music/Album One" "$root/Empty"
  printf 'Sample root of the Ostrane FTP test server.\n' >"$root/README.txt"
  printf 'not a real movie\n' >"$root/Movies/trailer.mkv"
  printf 'not a real song\n' >"$root/Music/Album One/01 Intro.flac"
  printf 'hidden\n' >"$root/.hidden"
}

make_certificate() {
  local dir=$1
  [ -s "$dir/tls/cert.pem" ] && return 0
  mkdir -p "$dir/tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1" -addext "basicConstraints=critical,CA:TRUE" \
    -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" >/dev/null 2>&1 || fail "openssl could not make a certificate"
  cat "$dir/tls/key.pem" "$dir/tls/cert.pem" >"$dir/tls/server.pem"
  chmod 0600 "$dir/tls/key.pem" "$dir/tls/server.pem"
}

ensure_user() {
  id -u "$user" >/dev/null 2>&1 || useradd --no-create-home --home-dir / --shell /usr/sbin/nologin "$user"
  printf '%s:%s\n' "$user" "$password" | chpasswd
  # vsftpd enters the home before local_root, so the home must exist.
  usermod -d / "$user" >/dev/null 2>&1 || true
  # Only the password is checked: the account has no login shell, which Debian's vsftpd PAM stack refuses.
  if [ ! -f /etc/pam.d/ostrane-ftp-test ]; then
    printf 'auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_permit.so\n' \
      >/etc/pam.d/ostrane-ftp-test
  fi
}

write_vsftpd_config() {
  local dir=$1 port=$2
  cat >"$dir/etc/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=NO
local_root=$dir/root
chroot_local_user=NO
pam_service_name=ostrane-ftp-test
userlist_enable=NO
secure_chroot_dir=$dir/empty
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
force_dot_files=YES
use_localtime=NO
seccomp_sandbox=NO
isolate_network=NO
xferlog_enable=NO
vsftpd_log_file=$dir/log/vsftpd.log
dual_log_enable=NO
ftpd_banner=Ostrane test server ready.
max_clients=64
idle_session_timeout=120
data_connection_timeout=120
CONF
}

wait_ready() {
  local dir=$1 kind=$2 port=$3 scheme=ftp extra=()
  local pid
  pid=$(cat "$dir/run/$kind.pid")
  local ready=0
  local deadline
  deadline=$(start_deadline)
  while (( SECONDS < deadline )); do
    if ! kill -0 "$pid" 2>/dev/null; then
      tail -n 20 "$dir/log/$kind.out" "$dir/log/"*.log >&2 2>/dev/null || true
      rm -f "$dir/run/$kind.pid"
      fail "$kind exited during start"
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then ready=1; break; fi
    sleep 0.1
  done
  if [ $ready -ne 1 ]; then
    stop_server "$dir" "$kind"
    fail "$kind did not listen on 127.0.0.1:$port within ${start_limit} s"
  fi
  # Listening is not serving yet: one real login and listing, bounded.
  if [ "$tls" != off ] && [ "$kind" = pyftpdlib ]; then extra=(--ssl-reqd --cacert "$dir/tls/cert.pem"); fi
  local ok=0
  while (( SECONDS < deadline )); do
    if curl -s --max-time 10 "${extra[@]}" --user "$user:$password" "$scheme://127.0.0.1:$port/" >/dev/null; then
      ok=1; break
    fi
    sleep 0.25
  done
  if [ $ok -ne 1 ]; then
    stop_server "$dir" "$kind"
    fail "$kind on 127.0.0.1:$port refused the test login"
  fi
}

start_server() {
  local kind=$1 dir=$2 port=$3
  [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || fail "bad port: $port"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop_server "$dir" "$kind"
  mkdir -p "$dir"/{etc,run,log,empty}
  if [ ! -d "$dir/root" ]; then
    mkdir -p "$dir/root"
    sample_content "$dir/root"
  fi
  case "$kind" in
    pyftpdlib)
      "$python" -c 'import pyftpdlib' 2>/dev/null || fail "pyftpdlib is not installed for $python (scripts/setup)"
      local args=("$dir/root" "$port" "$user" "$password" --log "$dir/log/pyftpdlib.log")
      case "$tls" in
        off) ;;
        optional|required) make_certificate "$dir"; args+=(--tls "$tls" --cert "$dir/tls/server.pem") ;;
        *) fail "OSTRANE_FTP_TLS must be off, optional or required" ;;
      esac
      setsid "$python" "$here/ftp_pyftpdlib.py" "${args[@]}" </dev/null >>"$dir/log/pyftpdlib.out" 2>&1 &
      echo $! >"$dir/run/pyftpdlib.pid"
      ;;
    vsftpd)
      [ "$(id -u)" -eq 0 ] || fail "vsftpd and useradd need root"
      command -v vsftpd >/dev/null || [ -x /usr/sbin/vsftpd ] || fail "vsftpd is not installed (scripts/setup)"
      ensure_user
      # The user reads what it serves: every folder on the way must be searchable.
      local d=$dir/root
      while [ "$d" != / ]; do chmod o+x "$d" 2>/dev/null || true; d=$(dirname "$d"); done
      chmod -R o+rX "$dir/root"
      chmod 0755 "$dir/empty"
      write_vsftpd_config "$dir" "$port"
      setsid /usr/sbin/vsftpd "$dir/etc/vsftpd.conf" </dev/null >>"$dir/log/vsftpd.out" 2>&1 &
      echo $! >"$dir/run/vsftpd.pid"
      ;;
    *) usage ;;
  esac
  wait_ready "$dir" "$kind" "$port"
}

[ $# -ge 3 ] || usage
case "$1" in
  start) [ $# -eq 4 ] || usage; start_server "$2" "$3" "$4" ;;
  stop) [ $# -eq 3 ] || usage; case "$2" in pyftpdlib|vsftpd) ;; *) usage ;; esac
        [ -d "$3" ] && stop_server "$(cd "$3" && pwd)" "$2" ;;
  *) usage ;;
esac
