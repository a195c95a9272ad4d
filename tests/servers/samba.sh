#!/usr/bin/env bash
# Runs a private smbd on a loopback port for the tests and the demo.
#
#   samba.sh start <dir> <port>   configure <dir>, start smbd on 127.0.0.1:<port>, wait until it serves
#   samba.sh stop  <dir>          stop the smbd started for <dir> and every process it forked
#
# The share "share" is <dir>/share; when that folder does not exist it is made with a little
# sample content. The login is OSTRANE_SMB_USER / OSTRANE_SMB_PASSWORD (defaults below); the
# system user is made once with useradd, its SMB password lives in <dir>'s own passdb.
# Needs root (smbd and useradd). Every wait is bounded.
set -euo pipefail
# shellcheck source=limits.sh
. "$(dirname "${BASH_SOURCE[0]}")/limits.sh"

user=${OSTRANE_SMB_USER:-ostranesmb}
password=${OSTRANE_SMB_PASSWORD:-Ostrane-Smb-Test-1}

usage() { echo "usage: $0 start <dir> <port> | stop <dir>" >&2; exit 2; }

fail() { echo "samba.sh: $*" >&2; exit 1; }

stop_server() {
  local dir=$1 pid
  [ -f "$dir/run/smbd.group" ] || return 0
  pid=$(cat "$dir/run/smbd.group")
  rm -f "$dir/run/smbd.group"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  # A stale file may name a number that is someone else's by now: only our smbd is stopped.
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "-s $dir/etc/smb.conf" || return 0
  # smbd was started as the leader of its own process group; its connection children share it.
  kill -TERM -- "-$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 -- "-$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || true
  for _ in $(seq 20); do
    kill -0 -- "-$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  fail "smbd process group $pid did not stop"
}

write_config() {
  local dir=$1 port=$2
  cat >"$dir/etc/smb.conf" <<CONF
[global]
  server role = standalone server
  netbios name = OSTRANETEST
  workgroup = WORKGROUP
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server min protocol = SMB2_02
  map to guest = never
  passdb backend = tdbsam:$dir/private/passdb.tdb
  private dir = $dir/private
  lock directory = $dir/lock
  state directory = $dir/state
  cache directory = $dir/cache
  pid directory = $dir/run
  ncalrpc dir = $dir/ncalrpc
  log file = $dir/log/smbd.log
  max log size = 0
  log level = 1
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  rpc start on demand helpers = no
  usershare path =
  kernel oplocks = no
  store dos attributes = no
  ea support = no
  map archive = no
  unix charset = UTF-8

[share]
  path = $dir/share
  valid users = $user
  read only = no
  browseable = yes
  hide dot files = no
CONF
}

sample_content() {
  local share=$1
  mkdir -p "$share/Movies" "$share/Music/Album One" "$share/Empty"
  printf 'Sample share of the Ostrane test server.\n' >"$share/README.txt"
  printf 'not a real movie\n' >"$share/Movies/trailer.mkv"
  printf 'not a real song\n' >"$share/Music/Album One/01 Intro.flac"
  printf 'hidden\n' >"$share/.hidden"
}

start_server() {
  local dir=$1 port=$2
  [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || fail "bad port: $port"
  [ "$(id -u)" -eq 0 ] || fail "smbd and useradd need root"
  command -v smbd >/dev/null || fail "smbd is not installed (scripts/setup installs samba)"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop_server "$dir"
  mkdir -p "$dir"/{etc,private,lock,state,cache,run,ncalrpc,log}
  chmod 0700 "$dir/private"
  if [ ! -d "$dir/share" ]; then
    mkdir -p "$dir/share"
    sample_content "$dir/share"
  fi
  # The login user only reads: everything on the way to the share must be searchable.
  chmod 0755 "$dir" "$dir/share"
  local up=$dir
  while up=$(dirname "$up") && [ "$up" != / ]; do
    [ $(( 0$(stat -c %a "$up") & 1 )) -eq 1 ] || fail "$up is not searchable by other users; smbd cannot serve below it"
  done

  id -u "$user" >/dev/null 2>&1 || useradd --no-create-home --shell /usr/sbin/nologin "$user"
  write_config "$dir" "$port"
  local out
  out=$(printf '%s\n%s\n' "$password" "$password" | smbpasswd -c "$dir/etc/smb.conf" -s -a "$user" 2>&1) \
    || fail "smbpasswd could not add $user: $out"
  out=$(smbpasswd -c "$dir/etc/smb.conf" -e "$user" 2>&1) || fail "smbpasswd could not enable $user: $out"

  setsid smbd --foreground --no-process-group -s "$dir/etc/smb.conf" \
    </dev/null >>"$dir/log/smbd.out" 2>&1 &
  echo $! >"$dir/run/smbd.group"

  local ready=0
  local deadline
  deadline=$(start_deadline)
  while (( SECONDS < deadline )); do
    if ! kill -0 "$(cat "$dir/run/smbd.group")" 2>/dev/null; then
      tail -n 20 "$dir/log/smbd.out" "$dir/log/smbd.log" >&2 2>/dev/null || true
      rm -f "$dir/run/smbd.group"
      fail "smbd exited during start"
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then ready=1; break; fi
    sleep 0.1
  done
  if [ $ready -ne 1 ]; then
    stop_server "$dir"
    fail "smbd did not listen on 127.0.0.1:$port within ${start_limit} s"
  fi
  # Listening is not serving yet on a slow machine: one real login, bounded.
  if command -v smbclient >/dev/null; then
    local ok=0
    while (( SECONDS < deadline )); do
      if PASSWD="$password" timeout 10 smbclient "//127.0.0.1/share" -p "$port" -U "$user" \
           -c 'ls' </dev/null >/dev/null 2>&1; then ok=1; break; fi
      sleep 0.25
    done
    if [ $ok -ne 1 ]; then
      stop_server "$dir"
      fail "smbd on 127.0.0.1:$port refused the test login"
    fi
  fi
}

[ $# -ge 2 ] || usage
case "$1" in
  start) [ $# -eq 3 ] || usage; start_server "$2" "$3" ;;
  stop) [ $# -eq 2 ] || usage; [ -d "$2" ] && stop_server "$(cd "$2" && pwd)" ;;
  *) usage ;;
esac
