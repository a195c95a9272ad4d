#!/usr/bin/env bash
# Runs a private Apache with mod_dav on a loopback port for the WebDAV tests and the demo.
#
#   apache-dav-webdav.sh start <dir> <port>   configure <dir>, start Apache on 127.0.0.1:<port>, wait until it serves
#   apache-dav-webdav.sh stop  <dir>          stop the Apache started for <dir>
#
# <dir>/dav (a folder, or a link to one) is served at /dav/ with Digest authentication (realm "ostrane") for the user
# OSTRANE_DAV_USER / OSTRANE_DAV_PASSWORD (defaults below), and Depth infinity allowed; <dir>/plain
# is served at /plain/ without WebDAV. When <dir>/dav does not exist it is made with a little
# sample content. Every wait is bounded.
set -euo pipefail
# shellcheck source=limits.sh
. "$(dirname "${BASH_SOURCE[0]}")/limits.sh"

user=${OSTRANE_DAV_USER:-ostranedav}
password=${OSTRANE_DAV_PASSWORD:-Ostrane-Dav-Test-1}
realm=ostrane
modules=/usr/lib/apache2/modules

usage() { echo "usage: $0 start <dir> <port> | stop <dir>" >&2; exit 2; }
fail() { echo "apache-dav-webdav.sh: $*" >&2; exit 1; }

stop_server() {
  local dir=$1 pid
  [ -f "$dir/run/httpd.pid" ] || return 0
  pid=$(cat "$dir/run/httpd.pid" 2>/dev/null || true)
  [[ "$pid" =~ ^[0-9]+$ ]] || { rm -f "$dir/run/httpd.pid"; return 0; }
  kill -TERM "$pid" 2>/dev/null || { rm -f "$dir/run/httpd.pid"; return 0; }
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$dir/run/httpd.pid"; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  pkill -KILL -P "$pid" 2>/dev/null || true
  rm -f "$dir/run/httpd.pid"
}

start_server() {
  local dir=$1 port=$2 run_user run_group dav
  mkdir -p "$dir/etc" "$dir/run" "$dir/log" "$dir/lock" "$dir/plain"
  if [ ! -d "$dir/dav" ]; then
    mkdir -p "$dir/dav/Movies"
    printf 'WebDAV sample\n' >"$dir/dav/readme.txt"
    head -c 65536 /dev/urandom >"$dir/dav/Movies/sample.mkv"
  fi
  # <dir>/dav may be a link to the folder to serve.
  dav=$(readlink -f "$dir/dav")
  if [ "$(id -u)" = 0 ]; then
    run_user=www-data; run_group=www-data
    # The folder may be private to root (mkdtemp); the server user must reach its files.
    chmod o+x "$dir"
    chown -R "$run_user:$run_group" "$dav" "$dir/lock" "$dir/run" "$dir/log"
  else
    run_user=$(id -un); run_group=$(id -gn)
  fi
  # htdigest asks for the password on the terminal; the digest file is simple enough to write.
  local hash
  hash=$(printf '%s' "$user:$realm:$password" | md5sum | cut -d' ' -f1)
  printf '%s:%s:%s\n' "$user" "$realm" "$hash" >"$dir/etc/digest"
  cat >"$dir/etc/httpd.conf" <<CONF
ServerRoot "$dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$dir/run/httpd.pid"
ErrorLog "$dir/log/error.log"
LogLevel warn
User $run_user
Group $run_group
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule auth_digest_module $modules/mod_auth_digest.so
LoadModule mime_module $modules/mod_mime.so
LoadModule alias_module $modules/mod_alias.so
LoadModule dav_module $modules/mod_dav.so
LoadModule dav_fs_module $modules/mod_dav_fs.so
TypesConfig /etc/mime.types
DavLockDB "$dir/lock/DavLock"
Timeout 60
KeepAlive On
MaxKeepAliveRequests 0
StartServers 1
ServerLimit 2
ThreadsPerChild 25
MaxRequestWorkers 50
LimitXMLRequestBody 0
Alias /plain "$dir/plain"
<Directory "$dir/plain">
  Options None
  AllowOverride None
  Require all granted
</Directory>
Alias /dav "$dav"
<Directory "$dav">
  Dav On
  DavDepthInfinity On
  Options None
  AllowOverride None
  AuthType Digest
  AuthName "$realm"
  AuthDigestProvider file
  AuthUserFile "$dir/etc/digest"
  Require valid-user
</Directory>
CONF
  apache2 -f "$dir/etc/httpd.conf" -k start >"$dir/log/start.log" 2>&1 || { cat "$dir/log/start.log" >&2; fail "apache2 did not start"; }
  local deadline
  deadline=$(start_deadline)
  while (( SECONDS < deadline )); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  cat "$dir/log/error.log" >&2 || true
  stop_server "$dir"
  fail "apache2 is not serving on port $port"
}

[ $# -ge 2 ] || usage
case $1 in
  start) [ $# -eq 3 ] || usage; stop_server "$2"; start_server "$2" "$3" ;;
  stop) stop_server "$2" ;;
  *) usage ;;
esac
