#!/usr/bin/env bash
# ftp.sh for one server, called as: ftp-pyftpdlib-implicit.sh start <dir> <port> | stop <dir>
set -euo pipefail
export OSTRANE_FTP_TLS=implicit
exec "$(dirname "$0")/ftp.sh" "$1" pyftpdlib "${@:2}"
