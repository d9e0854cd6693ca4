# A private PostgreSQL server for the extension's regression test and its benchmark,
# sourced by both: a copy of the system's PostgreSQL 15 tree in a temporary folder, with
# the extension installed into the copy (DESTDIR), so the system's folders are never
# written. The server locates its share and library folders relative to its own executable,
# which is why a copy, and not a link, of it is made. A cluster of it listens on a Unix
# socket in that folder only, and runs as an unprivileged user, since the server refuses
# to run as root.

# kavex_pg_tree WORK BUILD BINDIR PKGLIBDIR SHAREDIR: the server tree in WORK/tree, at the
# same paths as the system's, with the extension of BUILD installed into it.
kavex_pg_tree() {
  local work=$1 build=$2 bindir=$3 pkglibdir=$4 sharedir=$5
  local tree=$work/tree
  mkdir -p "$tree$bindir" "$tree$pkglibdir" "$(dirname "$tree$sharedir")"
  cp "$bindir/postgres" "$bindir/initdb" "$bindir/pg_ctl" "$tree$bindir/"
  cp "$pkglibdir"/*.so "$tree$pkglibdir/"
  cp -r "$sharedir" "$tree$sharedir"
  DESTDIR=$tree cmake --install "$build" --component postgresql >"$work/install.log" ||
    { cat "$work/install.log"; return 1; }
}

# kavex_pg_start BIN DATA SOCKET LOG USER [SETTING ...]: a new cluster in DATA, started on
# the Unix socket folder SOCKET only; each SETTING is a "-c name=value" of the server.
kavex_pg_start() {
  local bin=$1 data=$2 socket=$3 log=$4 user=$5
  shift 5
  mkdir -p "$socket"
  "$bin/initdb" -D "$data" -E UTF8 --locale=C -A trust -U "$user" >"$log.initdb" 2>&1 ||
    { cat "$log.initdb"; return 1; }
  "$bin/pg_ctl" -D "$data" -l "$log" -w -t 60 \
      -o "-c listen_addresses='' -c unix_socket_directories='$socket' -c jit=off -c fsync=off $*" \
      start >/dev/null || { cat "$log"; return 1; }
}

# kavex_pg_stop BIN DATA: stops the cluster, if it runs.
kavex_pg_stop() {
  if [ -f "$2/postmaster.pid" ]; then
    "$1/pg_ctl" -D "$2" -m immediate -w stop >/dev/null 2>&1 || true
  fi
}

# kavex_pg_unprivileged WORK COMMAND...: COMMAND as it is, or, as root, as the user postgres
# (or nobody), who is given WORK.
kavex_pg_unprivileged() {
  local work=$1
  shift
  if [ "$(id -u)" = 0 ]; then
    local user=postgres
    id -u "$user" >/dev/null 2>&1 || user=nobody
    chown -R "$user" "$work"
    runuser -u "$user" -- "$@"
  else
    "$@"
  fi
}
