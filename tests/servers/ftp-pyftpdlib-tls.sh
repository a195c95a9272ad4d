#!/usr/bin/env bash
# ftp.sh for one server, called as: ftp-pyftpdlib-tls.sh start <dir> <port> | stop <dir>
set -euo pipefail
export OSTRANE_FTP_TLS=${OSTRANE_FTP_TLS:-required}
exec "$(dirname "$0")/ftp.sh" "$1" pyftpdlib "${@:2}"
