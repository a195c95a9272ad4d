#!/usr/bin/env bash
# Runs a private Apache with mod_dav and Digest authentication on a loopback port, for the tests.
#
#   apache-dav.sh start <dir> <port>   configure <dir>, start apache2 on 127.0.0.1:<port>, wait until it serves
#   apache-dav.sh stop  <dir>          stop the apache2 started for <dir> and its children
#
# The WebDAV root is <dir>/dav (made, with a little sample content, when it does not exist); it is
# served at "/" with "DavDepthInfinity On". The login is OSTRANE_DAV_USER / OSTRANE_DAV_PASSWORD
# (defaults below) in the Digest realm OSTRANE_DAV_REALM ("ostrane"). Run as root, the server's
# children run as www-data, which is given <dir>/dav. Every wait is bounded.
set -euo pipefail
# shellcheck source=limits.sh
. "$(dirname "${BASH_SOURCE[0]}")/limits.sh"

user=${OSTRANE_DAV_USER:-ostranedav}
password=${OSTRANE_DAV_PASSWORD:-Ostrane-Dav-Test-1}
realm=${OSTRANE_DAV_REALM:-ostrane}
modules=/usr/lib/apache2/modules

usage() { echo "usage: $0 start <dir> <port> | stop <dir>" >&2; exit 2; }

fail() { echo "apache-dav.sh: $*" >&2; exit 1; }

stop_server() {
  local dir=$1 pid
  [ -f "$dir/run/apache.group" ] || return 0
  pid=$(cat "$dir/run/apache.group")
  rm -f "$dir/run/apache.group"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  # apache2 was started as the leader of its own process group; its children share it.
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
  fail "apache2 process group $pid did not stop"
}

write_config() {
  local dir=$1 port=$2 run_as=""
  if [ "$(id -u)" -eq 0 ]; then
    run_as="User www-data
Group www-data"
  fi
  cat >"$dir/etc/httpd.conf" <<CONF
ServerRoot "$dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$dir/run/httpd.pid"
ErrorLog "$dir/log/error.log"
LogLevel warn
$run_as

LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule auth_digest_module $modules/mod_auth_digest.so
LoadModule mime_module $modules/mod_mime.so
LoadModule dav_module $modules/mod_dav.so
LoadModule dav_fs_module $modules/mod_dav_fs.so

TypesConfig /etc/mime.types
LogFormat "%h \"%r\" %>s %b" brief
CustomLog "$dir/log/access.log" brief

Timeout 60
KeepAlive On
MaxKeepAliveRequests 0
KeepAliveTimeout 5
StartServers 1
ServerLimit 2
ThreadsPerChild 16
MaxRequestWorkers 32
LimitRequestBody 0

DavLockDB "$dir/lock/DavLock"
DocumentRoot "$dir/dav"
<Directory />
  Require all denied
  AllowOverride None
</Directory>
<Directory "$dir/dav">
  Dav On
  DavDepthInfinity On
  Options None
  AllowOverride None
  AuthType Digest
  AuthName "$realm"
  AuthDigestProvider file
  AuthUserFile "$dir/etc/htdigest"
  Require valid-user
</Directory>
CONF
}

sample_content() {
  local root=$1
  mkdir -p "$root/Movies" "$root/Music/Album One" "$root/Empty"
  printf 'Sample WebDAV root of the Ostrane test server.\n' >"$root/README.txt"
  printf 'not a real movie\n' >"$root/Movies/trailer.mkv"
  printf 'not a real song\n' >"$root/Music/Album One/01 Intro.flac"
}

start_server() {
  local dir=$1 port=$2
  [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || fail "bad port: $port"
  command -v apache2 >/dev/null || fail "apache2 is not installed (scripts/setup installs apache2)"
  [ -f "$modules/mod_dav_fs.so" ] && [ -f "$modules/mod_auth_digest.so" ] || fail "mod_dav_fs or mod_auth_digest missing"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop_server "$dir"
  mkdir -p "$dir"/{etc,run,log,lock}
  if [ ! -d "$dir/dav" ]; then
    mkdir -p "$dir/dav"
    sample_content "$dir/dav"
  fi
  # The Digest user file: user:realm:MD5(user:realm:password), as htdigest writes it.
  printf '%s:%s:%s\n' "$user" "$realm" "$(printf '%s:%s:%s' "$user" "$realm" "$password" | md5sum | cut -d' ' -f1)" \
    >"$dir/etc/htdigest"
  if [ "$(id -u)" -eq 0 ]; then
    chown -R www-data:www-data "$dir/dav" "$dir/lock"
    chmod 0755 "$dir"
    chmod 0644 "$dir/etc/htdigest"
  fi
  write_config "$dir" "$port"
  apache2 -t -f "$dir/etc/httpd.conf" >"$dir/log/configtest.out" 2>&1 || { cat "$dir/log/configtest.out" >&2; fail "bad configuration"; }

  setsid apache2 -f "$dir/etc/httpd.conf" -DFOREGROUND </dev/null >>"$dir/log/apache.out" 2>&1 &
  echo $! >"$dir/run/apache.group"

  local ready=0 code
  local deadline
  deadline=$(start_deadline)
  while (( SECONDS < deadline )); do
    if ! kill -0 "$(cat "$dir/run/apache.group")" 2>/dev/null; then
      tail -n 20 "$dir/log/apache.out" "$dir/log/error.log" >&2 2>/dev/null || true
      rm -f "$dir/run/apache.group"
      fail "apache2 exited during start"
    fi
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 --digest -u "$user:$password" \
             -X PROPFIND -H 'Depth: 0' "http://127.0.0.1:$port/" 2>/dev/null || true)
    if [ "$code" = "207" ]; then ready=1; break; fi
    sleep 0.1
  done
  if [ $ready -ne 1 ]; then
    tail -n 20 "$dir/log/error.log" >&2 2>/dev/null || true
    stop_server "$dir"
    fail "apache2 did not answer PROPFIND on 127.0.0.1:$port within ${start_limit} s"
  fi
}

[ $# -ge 2 ] || usage
case "$1" in
  start) [ $# -eq 3 ] || usage; start_server "$2" "$3" ;;
  stop) [ $# -eq 2 ] || usage; [ -d "$2" ] && stop_server "$(cd "$2" && pwd)" ;;
  *) usage ;;
esac
