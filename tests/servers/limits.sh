# Sourced by the server scripts: how long a server may take to come up and serve before its start
# counts as hung. A machine busy with other builds is slow, never this slow; the same limit as the
# tests' own hang limit (tests/support/Wait.hpp).
start_limit=${OSTRANE_SERVER_START_LIMIT:-120}

# The moment, in bash's SECONDS, after which a start that began now has hung.
start_deadline() { echo $((SECONDS + start_limit)); }
