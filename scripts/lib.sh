# Shared shell functions of the set-up scripts. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${AMBRIX_BUILD_DIR:-$ROOT/build}"
LOCAL_DIR="$ROOT/.local"
DB_USER=ambrix
DB_PASSWORD=ambrix-dev
# The build type of every tree the scripts configure, the package's included.
BUILD_OPTIONS="-DCMAKE_BUILD_TYPE=RelWithDebInfo"

ensure_packages() {
    local missing=()
    local pkg
    while read -r pkg; do
        [[ -z "$pkg" || "$pkg" == \#* ]] && continue
        if [[ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" != "install ok installed" ]]; then
            missing+=("$pkg")
        fi
    done < "$ROOT/scripts/packages.list"
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        # No daemon of these packages is started: the scripts start what the tests need, each in
        # a directory of its own. Without systemd as PID 1 the packages' init scripts would
        # otherwise leave a MariaDB and a prometheus (here for promtool alone) running.
        local policy=/usr/sbin/policy-rc.d added=""
        if [[ ! -e "$policy" ]]; then
            printf '#!/bin/sh\nexit 101\n' >"$policy"
            chmod 755 "$policy"
            added=1
        fi
        local status=0
        apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
        [[ -n "$added" ]] && rm -f "$policy"
        # Nor at the next boot.
        if [[ " ${missing[*]} " == *" prometheus "* ]]; then
            deb-systemd-helper disable prometheus.service >/dev/null 2>&1 || true
            update-rc.d prometheus disable >/dev/null 2>&1 || true
        fi
        return "$status"
    fi
}

# The system account the server serves as once its privileged side runs (the package makes it
# with systemd-sysusers); a server started as root without it refuses to start.
ensure_serving_account() {
    getent passwd ambrix-server >/dev/null && return 0
    echo "Creating the system account ambrix-server"
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin --comment "Ambrix Server (serving process)" ambrix-server
}

# Compiler cache outside the clone: a fresh clone still builds without it, only slower.
# Sets CCACHE_LAUNCHER to the cmake options that use it, or to nothing.
use_ccache() {
    CCACHE_LAUNCHER=
    command -v ccache >/dev/null || return 0
    export CCACHE_DIR="${CCACHE_DIR:-/var/cache/ambrix-server-build/ccache}"
    # Relative paths in the cache keys, so that clones and worktrees share hits.
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$ROOT")}"
    mkdir -p "$CCACHE_DIR" 2>/dev/null || return 0
    CCACHE_LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
}

# build [CMAKE-OPTION...]: configures BUILD_DIR with the options the first time, then builds it.
build() {
    use_ccache
    if [[ ! -f "$BUILD_DIR/build.ninja" ]]; then
        # shellcheck disable=SC2086
        cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja $BUILD_OPTIONS $CCACHE_LAUNCHER "$@" >/dev/null
    fi
    cmake --build "$BUILD_DIR" -j "$(nproc)"
}

# run_suite [CTEST-ARGUMENT...]: runs the tests of BUILD_DIR against a fresh private MariaDB.
run_suite() {
    local db_dir="$LOCAL_DIR/test-db-$BASHPID-$RANDOM"
    rm -rf "$db_dir"
    # shellcheck disable=SC2064
    trap "stop_db; rm -rf '$db_dir'" EXIT
    start_db "$db_dir" "$(free_port)"
    local status=0
    (
        export AMBRIX_TEST_DB_HOST=127.0.0.1
        export AMBRIX_TEST_DB_PORT="$DB_PORT"
        export AMBRIX_TEST_DB_USER="$DB_USER"
        export AMBRIX_TEST_DB_PASSWORD="$DB_PASSWORD"
        export AMBRIX_TEST_DB_SOCKET="$DB_SOCKET"
        cd "$BUILD_DIR"
        ctest --output-on-failure "$@"
    ) || status=$?
    # Nothing a test started may outlive it (tests tie their processes to themselves): one left
    # behind is a fault, reported and ended here.
    local left
    left=$(pgrep -f -- "^$BUILD_DIR/" || true)
    if [[ -n "$left" ]]; then
        echo "Processes the tests left behind:" >&2
        ps -o pid=,args= -p "$(paste -sd, <<<"$left")" >&2 || true
        # shellcheck disable=SC2086
        kill -9 $left 2>/dev/null || true
        status=1
    fi
    stop_db
    rm -rf "$db_dir"
    trap - EXIT
    return "$status"
}

# package_deb OUTPUT_DIR: the Debian packages (debian/), built by dpkg-buildpackage from a copy
# of the source: what git would commit, without the build trees. Leaves the .debs (stripped, as
# ever: no debug symbol packages), the .buildinfo and the .changes in OUTPUT_DIR; prints the paths
# of the .debs. The copy
# keeps its path from one build to the next, so that the compiler cache finds its objects.
package_deb() {
    local out="$1" work="$BUILD_DIR/deb-source"
    local src="$work/ambrix-server"
    use_ccache
    rm -rf "$work"
    mkdir -p "$src" "$out"
    git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
        tar -C "$ROOT" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$src" -xf -
    if ! (cd "$src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$(nproc)" \
        AMBRIX_CMAKE_OPTIONS="$BUILD_OPTIONS $CCACHE_LAUNCHER" dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
        tail -40 "$work/build.log" >&2
        echo "dpkg-buildpackage failed; see $work/build.log" >&2
        return 1
    fi
    rm -f "$out"/ambrix-*.deb "$out"/ambrix-server_*.buildinfo "$out"/ambrix-server_*.changes
    mv "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out/"
    rm -rf "$src"
    ls "$out"/*.deb
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

free_port() {
    local port=$((20000 + RANDOM % 20000))
    while port_in_use "$port"; do port=$((port + 1)); done
    echo "$port"
}

# A free port below the range of outgoing ports (32768 up), for a listener that must find its
# port again after a restart while many outgoing connections come and go.
free_listen_port() {
    local port=$((20000 + RANDOM % 12000))
    while port_in_use "$port"; do port=$((port + 1)); done
    echo "$port"
}

# start_db DIR PORT [MARIADBD-OPTION...]: a private MariaDB in DIR on 127.0.0.1:PORT with the
# schema and the sample catalogue loaded; extra options override the defaults below. When PORT
# cannot be bound (a port that nothing listens on may still be the local port of an outgoing
# connection), it starts again on another free port. Sets DB_PID, DB_PORT and DB_SOCKET.
start_db() {
    run_db "$@" || return 1
    db_sql < "$ROOT/db/schema.sql"
    db_sql < "$ROOT/db/sample.sql"
    db_sql <<SQL
CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
GRANT ALL PRIVILEGES ON ambrix.* TO '$DB_USER'@'127.0.0.1';
FLUSH PRIVILEGES;
SQL
}

# run_db DIR PORT [MARIADBD-OPTION...]: start_db without loading anything; returns once the
# server answers. Moves to another port as start_db does; RUN_DB_SAME_PORT=1 forbids that (a
# restart that clients must find again).
run_db() {
    local dir="$1"
    DB_PORT="$2"
    shift 2
    DB_SOCKET="$dir/mysqld.sock"
    mkdir -p "$dir"
    if [[ ! -d "$dir/data/mysql" ]]; then
        mariadb-install-db --no-defaults --datadir="$dir/data" --user=root \
            --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1
    fi
    local attempt
    for attempt in 1 2 3 4 5; do
        if launch_db "$dir" "$@"; then
            return 0
        fi
        if ((attempt == 5)) || [[ "${RUN_DB_SAME_PORT:-}" == 1 ]] \
            || ! grep -q "Address already in use" "$dir/error.log" 2>/dev/null; then
            echo "MariaDB did not start; see $dir/error.log" >&2
            return 1
        fi
        echo "Port $DB_PORT is taken; MariaDB tries another." >&2
        DB_PORT=$(free_port)
    done
}

# launch_db DIR [MARIADBD-OPTION...]: starts mariadbd on DB_PORT; false when it ended before
# answering (its error log says why).
launch_db() {
    local dir="$1"
    shift
    # Only this start's lines are looked at.
    : > "$dir/error.log"
    # Tests and benchmarks open many connections of their own besides the server's pool.
    mariadbd --no-defaults --user=root --datadir="$dir/data" --socket="$DB_SOCKET" \
        --port="$DB_PORT" --bind-address=127.0.0.1 --pid-file="$dir/mysqld.pid" \
        --log-error="$dir/error.log" --skip-name-resolve --max-connections=1000 \
        --skip-log-bin "$@" >/dev/null 2>&1 &
    DB_PID=$!
    local i
    for i in $(seq 1 150); do
        if mariadb-admin --no-defaults --socket="$DB_SOCKET" -uroot ping >/dev/null 2>&1; then
            return 0
        fi
        if ! kill -0 "$DB_PID" 2>/dev/null; then
            wait "$DB_PID" 2>/dev/null || true
            DB_PID=
            return 1
        fi
        sleep 0.2
    done
    return 0
}

db_sql() {
    mariadb --no-defaults --socket="$DB_SOCKET" -uroot "$@"
}

stop_db() {
    if [[ -n "${DB_PID:-}" ]] && kill -0 "$DB_PID" 2>/dev/null; then
        kill "$DB_PID"
        # The pid file goes before the process does: wait on the process itself.
        wait "$DB_PID" 2>/dev/null || true
    fi
    DB_PID=
}

# write_settings FILE: the server's settings for the private database.
write_settings() {
    mkdir -p "$(dirname "$1")"
    cat > "$1" <<INI
[Server]
MySqlServerAddress=127.0.0.1
MySqlServerPort=$DB_PORT
MySqlUsername=$DB_USER
MySqlPassword=$DB_PASSWORD
INI
}
