#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests of the shared record store.
#   pg-test-server.sh start DIR PORT   prints the connection string
#   pg-test-server.sh stop DIR
#   pg-test-server.sh pause DIR        stops the server, keeping its data
#   pg-test-server.sh resume DIR PORT  starts it again
# The server lives in DIR, listens only on a socket in DIR (on PORT, never
# the system's 5432) and trusts local connections. With MX_PG_TEST_TCP=1 it
# also listens on 127.0.0.1:PORT and names that, for programs without the socket
# (Windows ones under Wine). initdb refuses root, so as root the server runs
# as the unprivileged user nobody.
set -euo pipefail
action=${1:?start or stop}
dir=${2:?the folder of the server}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "pg-test-server: PostgreSQL is not installed (Debian: postgresql)" >&2; exit 1; }

as_owner=()
[ "$(id -u)" -eq 0 ] && as_owner=(runuser -u nobody --)

listen=''
host=$dir
if [ "${MX_PG_TEST_TCP:-}" = 1 ]; then
  listen=127.0.0.1
  host=127.0.0.1
fi

start_server() {
  "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
    -o "-k $dir -p $1 -c listen_addresses='$listen' -c fsync=off" start >/dev/null
}

case $action in
  start)
    port=${3:?the port of the server}
    "$0" stop "$dir" 2>/dev/null || true
    rm -rf "$dir"
    mkdir -p "$dir"
    chmod 755 "$dir"
    [ "$(id -u)" -eq 0 ] && chown nobody "$dir"
    "${as_owner[@]}" "$bin/initdb" -D "$dir/data" -U mx -A trust --no-sync -E UTF8 >"$dir/initdb.log"
    start_server "$port"
    "$bin/createdb" -h "$host" -p "$port" -U mx mx_test
    echo "host=$host port=$port user=mx dbname=mx_test"
    ;;
  stop)
    [ -d "$dir/data" ] || exit 0
    "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  pause)
    "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
  resume)
    start_server "${3:?the port of the server}"
    ;;
  *)
    echo "pg-test-server: start, stop, pause or resume" >&2
    exit 2
    ;;
esac
