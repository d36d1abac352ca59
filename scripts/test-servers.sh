# Throwaway test servers for the store tests: one PostgreSQL 15 cluster, one plain Redis and one
# TLS-only Redis, all on 127.0.0.1 at free ports inside a temporary directory.
#
# Meant to be sourced:   source scripts/test-servers.sh; dz_servers_start; ...; dz_servers_stop
# dz_servers_start exports DZ_PG_CONNSTR, DZ_PG_PORT, DZ_PG_SOCKET_DIR, DZ_PG_DATA, DZ_REDIS_CONNSTR,
# DZ_REDIS_PORT, DZ_REDIS_TLS_CONNSTR, DZ_REDIS_TLS_PORT, DZ_REDIS_TLS_CA and DZ_REDIS_TLS_OTHER_CA
# (a certificate that did not sign the server's, for tests of a wrong CA). It returns non-zero,
# with nothing left running, when a server does not come up. dz_servers_stop stops each server by
# its own process id and removes the directory; it is safe to call twice and from a trap.
# The default ports and the distribution's own cluster are never touched. DZ_PG_SERVER_OPTS, when
# set, adds PostgreSQL server options (benchmarks size shared_buffers with it).
#
# Tests that stop or restart a server in place (same port, same data) run the scripts named by
# DZ_PG_CTL, DZ_REDIS_CTL and DZ_REDIS_TLS_CTL with one argument, stop, start or restart; each
# returns once the server is gone or answers again. PostgreSQL keeps its data across a restart
# (fast shutdown); Redis writes a snapshot as it shuts down and loads it as it starts, although it
# keeps none while it runs. Such tests must not run beside other server tests (in ctest they hold
# the test_servers resource lock, as every server test does).

DZ_PG_BIN=${DZ_PG_BIN:-/usr/lib/postgresql/15/bin}

_dz_log() { echo "test-servers: $*" >&2; }

# Prints N distinct free TCP ports on 127.0.0.1. The sockets are held until all are chosen so
# that no port is handed out twice.
_dz_free_ports() {
  /usr/bin/python3 - "$1" <<'PY'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
for s in socks:
    s.close()
PY
}

# Runs a command as the postgres user when we are root (initdb refuses root).
_dz_as_pg() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# A daemon whose parent is gone may linger as a zombie until it is reaped: that is not alive.
_dz_alive() {
  local state
  [ -n "$1" ] && state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

# Waits until "$@" succeeds while process $1 stays alive; at most ~15 s.
_dz_wait_ready() {
  local pid=$1; shift
  local i
  for i in $(seq 1 150); do
    _dz_alive "$pid" || return 1
    if "$@" >/dev/null 2>&1; then
      sleep 0.1
      _dz_alive "$pid" && return 0
      return 1
    fi
    sleep 0.1
  done
  return 1
}

# Sends a signal to a process and waits (bounded) until it has gone.
_dz_stop_pid() {
  local pid=$1 sig=$2 i
  _dz_alive "$pid" || return 0
  kill -"$sig" "$pid" 2>/dev/null || return 0
  for i in $(seq 1 300); do
    _dz_alive "$pid" || break
    sleep 0.1
  done
  if _dz_alive "$pid"; then
    _dz_log "process $pid ignored SIG$sig; killing it"
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null || true
}

# Writes the stop/start/restart script of the PostgreSQL cluster, with the server options given.
_dz_write_pg_ctl() {
  local file=$1 opts=$2 data=$DZ_SERVERS_DIR/pg/data log=$DZ_SERVERS_DIR/pg/postgres.log
  {
    echo '#!/usr/bin/env bash'
    echo '# stop | start | restart the test cluster in place; returns once it is gone or answers.'
    echo 'as_pg() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }'
    printf 'ctl() { as_pg %q -D %q -w -t 30 "$@" </dev/null >>%q 2>&1; }\n' \
      "$DZ_PG_BIN/pg_ctl" "$data" "$DZ_SERVERS_DIR/pg_ctl.log"
    echo 'case "${1:-}" in'
    echo '  stop) ctl -m fast stop ;;'
    printf '  start) ctl -l %q -o %q start ;;\n' "$log" "$opts"
    printf '  restart) ctl -m fast -l %q -o %q restart ;;\n' "$log" "$opts"
    echo '  *) echo "usage: $0 stop|start|restart" >&2; exit 2 ;;'
    echo 'esac'
  } >"$file"
  chmod 755 "$file"
}

# Writes the stop/start/restart script of one Redis server: its data dir (where its pid file and
# snapshot live), the redis-cli arguments that reach it (split on spaces), then the server's own
# arguments.
_dz_write_redis_ctl() {
  local file=$1 data=$2 cli=$3
  shift 3
  {
    echo '#!/usr/bin/env bash'
    echo '# stop | start | restart one test Redis server in place; returns once it is gone or answers.'
    printf 'pidfile=%q\n' "$data/redis.pid"
    printf 'cli() { redis-cli %s "$@" </dev/null 2>/dev/null; }\n' "$cli"
    printf 'server_args=('
    printf ' %q' "$@"
    printf ' )\n'
    cat <<'EOF'
# A daemon's parent is gone, so it may linger as a zombie until someone reaps it: that is not running.
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ $state != Z* ]]
}
stop() {
  [ -f "$pidfile" ] || return 0
  local pid i
  pid=$(head -n1 "$pidfile")
  running "$pid" || return 0
  # SHUTDOWN SAVE writes the snapshot that the next start loads.
  cli shutdown save >/dev/null
  for i in $(seq 1 500); do running "$pid" || return 0; sleep 0.02; done
  kill -KILL "$pid" 2>/dev/null
  return 1
}
start() {
  local i
  redis-server "${server_args[@]}" --daemonize yes --pidfile "$pidfile" </dev/null >/dev/null 2>&1 || return 1
  for i in $(seq 1 500); do
    [ "$(cli ping)" = PONG ] && return 0
    sleep 0.02
  done
  return 1
}
case "${1:-}" in
  stop) stop ;;
  start) start ;;
  restart) stop && start ;;
  *) echo "usage: $0 stop|start|restart" >&2; exit 2 ;;
esac
EOF
  } >"$file"
  chmod 755 "$file"
}

# The process id a server wrote to its pid file, else the one it was started with: a restart in
# place gives it a new one.
_dz_current_pid() {
  local file=$1 fallback=$2 pid=""
  [ -n "$file" ] && [ -f "$file" ] && pid=$(head -n1 "$file" 2>/dev/null)
  echo "${pid:-$fallback}"
}

dz_servers_stop() {
  local dir=${DZ_SERVERS_DIR:-}
  _dz_stop_pid "$(_dz_current_pid "${dir:+$dir/redis-tls/redis.pid}" "${DZ_REDIS_TLS_PID:-}")" TERM
  _dz_stop_pid "$(_dz_current_pid "${dir:+$dir/redis/redis.pid}" "${DZ_REDIS_PID:-}")" TERM
  # SIGINT is PostgreSQL's fast shutdown.
  _dz_stop_pid "$(_dz_current_pid "${dir:+$dir/pg/data/postmaster.pid}" "${DZ_PG_PID:-}")" INT
  if [ -n "${DZ_SERVERS_DIR:-}" ] && [ -d "$DZ_SERVERS_DIR" ]; then
    rm -rf "$DZ_SERVERS_DIR"
  fi
  unset DZ_REDIS_TLS_PID DZ_REDIS_PID DZ_PG_PID DZ_SERVERS_DIR
  unset DZ_PG_CONNSTR DZ_PG_PORT DZ_PG_SOCKET_DIR DZ_PG_DATA DZ_REDIS_CONNSTR DZ_REDIS_PORT \
        DZ_REDIS_TLS_CONNSTR DZ_REDIS_TLS_PORT DZ_REDIS_TLS_CA DZ_REDIS_TLS_OTHER_CA \
        DZ_PG_CTL DZ_REDIS_CTL DZ_REDIS_TLS_CTL
  return 0
}

_dz_start_fail() {
  _dz_log "$1"
  local f
  for f in "$DZ_SERVERS_DIR"/*.log; do
    [ -f "$f" ] && { _dz_log "--- $f"; tail -n 20 "$f" >&2; }
  done
  dz_servers_stop
  return 1
}

dz_servers_start() {
  if [ -n "${DZ_SERVERS_DIR:-}" ]; then
    _dz_log "servers already started in $DZ_SERVERS_DIR"
    return 0
  fi
  local dir
  dir=$(mktemp -d /tmp/dz-servers.XXXXXX) || return 1
  export DZ_SERVERS_DIR=$dir
  chmod 755 "$dir"

  local ports pg_port redis_port tls_port
  ports=$(_dz_free_ports 3) || { _dz_start_fail "no free ports"; return 1; }
  read -r pg_port redis_port tls_port <<<"$ports"

  # --- PostgreSQL: trust authentication, no fsync, TCP on 127.0.0.1 and a private socket dir.
  mkdir -p "$dir/pg/data" "$dir/pg/sock"
  if [ "$(id -u)" = 0 ]; then chown -R postgres:postgres "$dir/pg"; fi
  chmod 700 "$dir/pg/data"
  _dz_as_pg "$DZ_PG_BIN/initdb" -D "$dir/pg/data" -U postgres -A trust -E UTF8 --locale=C \
      --no-sync >"$dir/initdb.log" 2>&1 || { _dz_start_fail "initdb failed"; return 1; }
  local pg_opts="-c listen_addresses=127.0.0.1 -p $pg_port -k $dir/pg/sock -c fsync=off"
  pg_opts+=" -c synchronous_commit=off -c full_page_writes=off -c max_connections=200"
  # Benchmarks size the server for their data (e.g. "-c shared_buffers=1GB"); tests never set it.
  pg_opts+="${DZ_PG_SERVER_OPTS:+ $DZ_PG_SERVER_OPTS}"
  _dz_as_pg "$DZ_PG_BIN/pg_ctl" -D "$dir/pg/data" -l "$dir/pg/postgres.log" -w -t 30 -o "$pg_opts" \
      start >"$dir/pg_ctl.log" 2>&1 || {
        cp "$dir/pg/postgres.log" "$dir/postgres.log" 2>/dev/null
        _dz_start_fail "PostgreSQL did not start"; return 1; }
  export DZ_PG_PID
  DZ_PG_PID=$(head -n1 "$dir/pg/data/postmaster.pid" 2>/dev/null)
  export DZ_PG_PORT=$pg_port
  export DZ_PG_SOCKET_DIR=$dir/pg/sock
  export DZ_PG_DATA=$dir/pg/data
  export DZ_PG_CONNSTR="host=127.0.0.1 port=$pg_port dbname=postgres user=postgres"
  _dz_wait_ready "$DZ_PG_PID" psql -X "$DZ_PG_CONNSTR" -Atqc 'SELECT 1' ||
    { _dz_start_fail "PostgreSQL does not answer on port $pg_port"; return 1; }
  _dz_write_pg_ctl "$dir/pg-ctl.sh" "$pg_opts"
  export DZ_PG_CTL=$dir/pg-ctl.sh

  # --- Redis, plain: no persistence.
  mkdir -p "$dir/redis" "$dir/redis-tls"
  _dz_write_redis_ctl "$dir/redis-ctl.sh" "$dir/redis" "-h 127.0.0.1 -p $redis_port" \
      --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no \
      --dir "$dir/redis" --logfile "$dir/redis.log"
  export DZ_REDIS_CTL=$dir/redis-ctl.sh
  export DZ_REDIS_PORT=$redis_port
  export DZ_REDIS_CONNSTR="host:127.0.0.1,port:$redis_port,db:0"
  "$DZ_REDIS_CTL" start || { _dz_start_fail "Redis does not answer on port $redis_port"; return 1; }
  export DZ_REDIS_PID
  DZ_REDIS_PID=$(_dz_current_pid "$dir/redis/redis.pid" "")

  # --- Redis, TLS only, with a self-signed certificate valid for localhost and 127.0.0.1.
  local tls=$dir/tls
  mkdir -p "$tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
      -keyout "$tls/server.key" -out "$tls/server.pem" -subj "/CN=localhost" \
      -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >"$dir/openssl.log" 2>&1 &&
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
      -keyout "$tls/other.key" -out "$tls/other.pem" -subj "/CN=localhost" \
      -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >>"$dir/openssl.log" 2>&1 ||
    { _dz_start_fail "could not make the TLS certificates"; return 1; }
  chmod 644 "$tls"/*.pem
  _dz_write_redis_ctl "$dir/redis-tls-ctl.sh" "$dir/redis-tls" \
      "-h 127.0.0.1 -p $tls_port --tls --cacert $tls/server.pem" \
      --port 0 --tls-port "$tls_port" --bind 127.0.0.1 --save '' --appendonly no \
      --tls-cert-file "$tls/server.pem" --tls-key-file "$tls/server.key" \
      --tls-ca-cert-file "$tls/server.pem" --tls-auth-clients no \
      --dir "$dir/redis-tls" --logfile "$dir/redis-tls.log"
  export DZ_REDIS_TLS_CTL=$dir/redis-tls-ctl.sh
  export DZ_REDIS_TLS_PORT=$tls_port
  export DZ_REDIS_TLS_CA=$tls/server.pem
  export DZ_REDIS_TLS_OTHER_CA=$tls/other.pem
  export DZ_REDIS_TLS_CONNSTR="host:127.0.0.1,port:$tls_port,db:0,ssl:true,ca_cert:$tls/server.pem"
  "$DZ_REDIS_TLS_CTL" start || { _dz_start_fail "TLS Redis does not answer on port $tls_port"; return 1; }
  export DZ_REDIS_TLS_PID
  DZ_REDIS_TLS_PID=$(_dz_current_pid "$dir/redis-tls/redis.pid" "")

  _dz_log "PostgreSQL on $pg_port, Redis on $redis_port, TLS Redis on $tls_port ($dir)"
  return 0
}
