#!/usr/bin/env bash
# ftp.sh for one server, called as: ftp-pyftpdlib.sh start <dir> <port> | stop <dir>
set -euo pipefail

exec "$(dirname "$0")/ftp.sh" "$1" pyftpdlib "${@:2}"
