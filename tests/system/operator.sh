#!/usr/bin/env bash
# The operators' part of README.md, step by step, on a Debian 12 booted with systemd in a
# container: MariaDB with the catalogue, the freshly built packages (dpkg-buildpackage) installed
# with apt, first as a previous build, the serving account, settings, registration, the service
# (its two processes and its sandbox as /proc and systemd-analyze see them, status, journal, debug
# switch, stop, kill, restart, the upgrade to this build, reboot), uploads, a platform program's
# mount, a user's RDP session (xrdp with xorgxrdp, FreeRDP as the client) with a file opened in it
# and its logoff, logrotate, remove and purge.
#
# The root file system (Debian 12 minbase with systemd, MariaDB, logrotate, the package's
# dependencies, and an application server's xrdp with a client for it) comes from the Debian archive once and is kept between runs in
# $AMBRIX_SYSTEM_CACHE (default /var/cache/ambrix-server-build/system-root-HASH); a run uses it
# read-only below an overlay. The container boots with a private network, so the database and
# the server listen only inside it. Needs root, debootstrap and systemd-nspawn.
# Run from the build directory: ctest -L system --output-on-failure
source "$(dirname "$0")/../../scripts/lib.sh"

if ((EUID != 0)); then
    echo "SKIP: the system test needs root"
    exit 77
fi

MIRROR="${AMBRIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
SECURITY_MIRROR="${AMBRIX_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}"
CACHE_DIR="${AMBRIX_SYSTEM_CACHE:-/var/cache/ambrix-server-build}"
DB_SECRET=operator-secret
ALICE_PASSWORD=alice-host-password
BOB_PASSWORD=bob-host-password

WORK=""
NSPAWN_PID=""
CT_PID1=""
PARTIAL_ROOT=""
LONG_PID=""
START=$SECONDS

step() { printf '[%4ds] %s\n' $((SECONDS - START)) "$*"; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# check WHAT ACTUAL EXPECTED
check() {
    [[ "$2" == "$3" ]] || fail "$1: got '$2', expected '$3'"
}
# check_has WHAT TEXT PATTERN (grep -E)
check_has() {
    grep -qE -- "$3" <<<"$2" || fail "$1: no '$3' in: $2"
}

# ct SCRIPT: runs SCRIPT in the container as root with an operator's plain environment; the
# helpers of ops.sh (below) are at hand.
ct() {
    timeout 300 nsenter -t "$CT_PID1" -a -- /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb /bin/bash -c "set -euo pipefail; source /root/ops.sh; $1" </dev/null
}

# wait_ct SECONDS SCRIPT: polls until SCRIPT succeeds in the container.
wait_ct() {
    local deadline=$((SECONDS + $1))
    until ct "$2" >/dev/null 2>&1; do
        if ((SECONDS >= deadline)); then
            ct "$2" || true
            fail "not within $1 s: $2"
        fi
        sleep 0.2
    done
}

# long LOG COMMAND...: runs COMMAND, output appended to LOG, in a process group of its own,
# which cleanup() ends at once when this script is stopped (bash would wait for a command in
# the foreground).
long() {
    local log="$1"
    shift
    setsid "$@" </dev/null >>"$log" 2>&1 &
    LONG_PID=$!
    local status=0
    wait "$LONG_PID" || status=$?
    LONG_PID=""
    return "$status"
}

# Every mount at or below DIR, deepest first.
unmount_below() {
    local m
    awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r |
        while read -r m; do umount -l "$m" || true; done
}

# The root file system: what an operator's Debian 12 already has, and what the operator fetches
# from the archive before the package (MariaDB, logrotate of a standard installation, the
# package's dependencies, what README.md names for an application server's remote desktops), and
# an RDP client on a virtual display. Its text is part of the cache's name.
prepare_root() {
    local dir="$1" depends="$2"
    long "$WORK/prepare.log" timeout 900 \
        debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$dir" "$MIRROR" ||
        { tail -20 "$WORK/prepare.log"; fail "debootstrap"; }
    cat >"$dir/etc/apt/sources.list" <<SRC
deb $MIRROR bookworm main
deb $MIRROR bookworm-updates main
deb $SECURITY_MIRROR bookworm-security main
SRC
    # Nothing starts while packages install outside a booted system, and a root that is thrown
    # away if this fails needs no fsync.
    printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
    chmod 755 "$dir/usr/sbin/policy-rc.d"
    echo force-unsafe-io >"$dir/etc/dpkg/dpkg.cfg.d/system-test-unsafe-io"
    long "$WORK/prepare.log" timeout 900 systemd-nspawn -q --register=no --keep-unit --as-pid2 -D "$dir" \
        /usr/bin/env DEBIAN_FRONTEND=noninteractive DEPENDS="$depends" /bin/bash -c '
            set -e
            apt-get update -qq
            apt-get install -y -qq --no-install-recommends mariadb-server logrotate
            apt-get install -y -qq --no-install-recommends xrdp xorgxrdp xauth libpam-systemd xdg-utils file \
                freerdp2-x11 xvfb
            apt-get satisfy -y -qq --no-install-recommends "$DEPENDS"
            apt-get clean
            # MariaDB'"'"'s maintainer script creates its system tables with the output sent to a
            # syslog, which is missing here: a failure shows only as an empty directory.
            [ -d /var/lib/mysql/mysql ]' || { tail -40 "$WORK/prepare.log"; fail "apt-get in the root"; }
    rm -f "$dir/usr/sbin/policy-rc.d" "$dir/etc/dpkg/dpkg.cfg.d/system-test-unsafe-io"
}

boot() {
    systemd-nspawn -q --register=no --keep-unit -D "$WORK/root" --boot --private-network \
        --hostname=ambrix-system-test --console=read-only </dev/null >>"$WORK/console.log" 2>&1 &
    NSPAWN_PID=$!
    local deadline=$((SECONDS + 60)) pid
    CT_PID1=""
    while [[ -z "$CT_PID1" ]]; do
        kill -0 "$NSPAWN_PID" 2>/dev/null || { tail -20 "$WORK/console.log"; fail "the container ended"; }
        ((SECONDS < deadline)) || fail "no systemd in the container within 60 s"
        for pid in $(pgrep -P "$NSPAWN_PID" || true); do
            [[ "$(cat "/proc/$pid/comm" 2>/dev/null)" == systemd ]] && CT_PID1=$pid
        done
        sleep 0.1
    done
    wait_ct 120 '[[ "$(systemctl is-system-running)" =~ ^(running|degraded)$ ]]'
    check "units that failed at boot" "$(ct 'systemctl list-units --failed --plain --no-legend')" ""
}

halt() {
    [[ -n "$NSPAWN_PID" ]] || return 0
    # systemd-nspawn passes SIGTERM on as a power-off request.
    kill -TERM "$NSPAWN_PID" 2>/dev/null || true
    local deadline=$((SECONDS + 60))
    while kill -0 "$NSPAWN_PID" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
    kill -KILL "$NSPAWN_PID" 2>/dev/null || true
    wait "$NSPAWN_PID" 2>/dev/null || true
    # Its init ends the container's whole PID namespace with it.
    if [[ -n "$CT_PID1" && "$(cat "/proc/$CT_PID1/comm" 2>/dev/null)" == systemd ]]; then
        kill -KILL "$CT_PID1" 2>/dev/null || true
    fi
    NSPAWN_PID=""
    CT_PID1=""
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if ((status != 0)) && [[ -n "$CT_PID1" ]]; then
        ct 'systemctl status ambrix-server --no-pager -n 30 || true; journalctl -b -n 60 --no-pager' 2>&1 | tail -100 || true
    fi
    if [[ -n "$LONG_PID" ]]; then
        kill -TERM -- "-$LONG_PID" 2>/dev/null || true
        wait "$LONG_PID" 2>/dev/null || true
    fi
    halt
    if [[ -n "$PARTIAL_ROOT" ]]; then
        unmount_below "$PARTIAL_ROOT"
        rm -rf --one-file-system "$PARTIAL_ROOT"
    fi
    if [[ -n "$WORK" ]]; then
        unmount_below "$WORK"
        rm -rf --one-file-system "$WORK"
    fi
    step "$( ((status == 0)) && echo passed || echo "failed ($status)")"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tool in debootstrap systemd-nspawn nsenter; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/packages.list)"
done
WORK="$(mktemp -d "${TMPDIR:-/var/tmp}/ambrix-system.XXXXXX")"

step "packages"
DEBS="$(package_deb "$WORK/package")"
SERVER_DEB="$(grep '/ambrix-server_' <<<"$DEBS")"
CLI_DEB="$(grep '/ambrix-cli_' <<<"$DEBS")"
VERSION="$(dpkg-deb -f "$SERVER_DEB" Version)"
DEPENDS="$(dpkg-deb -f "$SERVER_DEB" Depends), $(dpkg-deb -f "$CLI_DEB" Depends)"

KEY="$({ declare -f prepare_root; echo "$MIRROR $SECURITY_MIRROR $DEPENDS"; } | sha256sum | cut -c1-16)"
BASE="$CACHE_DIR/system-root-$KEY"
if [[ -d "$BASE" ]]; then
    step "root file system from $BASE"
    touch "$BASE"
else
    step "root file system into $BASE (Debian archive; minutes)"
    if ! mkdir -p "$CACHE_DIR" 2>/dev/null || [[ ! -w "$CACHE_DIR" ]]; then
        BASE="$WORK/base"
    fi
    PARTIAL_ROOT="$(mktemp -d "$(dirname "$BASE")/.system-root-$KEY.XXXXXX")"
    # It becomes the container's "/", which every user must be able to enter.
    chmod 755 "$PARTIAL_ROOT"
    prepare_root "$PARTIAL_ROOT" "$DEPENDS"
    # A concurrent run may have been first; then cleanup() removes this one.
    if mv -T "$PARTIAL_ROOT" "$BASE" 2>/dev/null; then
        PARTIAL_ROOT=""
    fi
    # Roots for packages of other days, untouched for a week.
    find "$CACHE_DIR" -maxdepth 1 -name 'system-root-*' -mtime +7 -exec rm -rf --one-file-system {} + 2>/dev/null || true
fi

mkdir -p "$WORK/upper" "$WORK/overlay" "$WORK/root"
mount -t overlay ambrix-system-test -o "lowerdir=$BASE,upperdir=$WORK/upper,workdir=$WORK/overlay" "$WORK/root"
CT="$WORK/root"
cp "$SERVER_DEB" "$CLI_DEB" "$ROOT/db/schema.sql" "$ROOT/db/sample.sql" "$CT/root/"
DEB_NAMES="./$(basename "$SERVER_DEB") ./$(basename "$CLI_DEB")"
# The previous build, which the upgrade step replaces: these packages under a lower version,
# without the relations that keep older packages out.
PREVIOUS="$VERSION~previous"
PREVIOUS_NAMES=""
for deb in "$SERVER_DEB" "$CLI_DEB"; do
    rm -rf "$WORK/repack"
    dpkg-deb -R "$deb" "$WORK/repack"
    sed -i -e "s/^Version: .*/Version: $PREVIOUS/" -e '/^Breaks:/d; /^Replaces:/d' "$WORK/repack/DEBIAN/control"
    name="$(dpkg-deb -f "$deb" Package)_${PREVIOUS}_amd64.deb"
    dpkg-deb -b "$WORK/repack" "$CT/root/$name" >/dev/null
    PREVIOUS_NAMES="$PREVIOUS_NAMES ./$name"
done
CATALOGUE="$(sed -n 's/^--   get_valid_applications *//p' "$ROOT/db/sample.sql")"
[[ -n "$CATALOGUE" ]] || fail "db/sample.sql names no expected catalogue"
cat >"$CT/root/ops.sh" <<'OPS'
SETTINGS="/opt/Ambrix Server/ambrix-server.ini"
LOG="/opt/Ambrix Server/ambrix-server.log"
ini() { sed -n "s/^$1=//p" "$SETTINGS"; }
# What an operator does in an editor: the key's line gets the new value.
set_ini() { sed -i "s|^$1=.*|$1=$2|" "$SETTINGS" && grep -qx "$1=$2" "$SETTINGS"; }
main_pid() { systemctl show -p MainPID --value ambrix-server; }
unit() { systemctl show -p "$1" --value ambrix-server; }
# What the server's process wrote to the journal (standard output and error).
output_of() { journalctl -o cat --no-pager _SYSTEMD_UNIT=ambrix-server.service _PID="$1" _TRANSPORT=stdout; }
# The scrape of the metrics endpoint, without the HTTP head.
scrape() {
    exec 3<>/dev/tcp/127.0.0.1/9445
    printf 'GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n' >&3
    sed '1,/^\r$/d' <&3
    exec 3<&-
}
# Clean stops of the server since the boot.
stops() { journalctl -b -o cat --no-pager _SYSTEMD_UNIT=ambrix-server.service | grep -cx 'Stopping Ambrix server...' || true; }
token_of() { mariadb -N -e "SELECT token FROM ambrix.ax_user WHERE username='$1'"; }
catalogue() { ambrix-cli -u alice -t "$(token_of alice)" get_valid_applications; }
# The ids of USER's sessions as logind lists them.
sessions_of() { loginctl list-sessions --no-legend | awk -v user="$1" '$3 == user { print $1 }'; }
# systemctl edit with the lines of FILE; it wants a terminal, which script(1) gives it.
edit_unit() {
    script -qec "env SYSTEMD_EDITOR=/root/editor OVERRIDE=$1 systemctl edit ambrix-server" /dev/null >/dev/null
}
# Every file outside the volatile and the package manager's own places, and outside the users'
# homes, which their desktop sessions write to.
list_files() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /home \
        -o -path /var/tmp -o -path /root -o -path /var/log -o -path /var/cache -o -path /var/lib/apt \
        -o -path /var/lib/dpkg -o -path /var/lib/systemd -o -path /var/lib/mysql \
        -o -path /var/lib/logrotate \) -prune -o -print | sort
}
# Files added since /root/before.txt, one a line; "-" lines for files gone.
changed_files() {
    list_files | diff /root/before.txt - | sed -n 's/^> //p; s/^< /- /p'
}
# The lines of /proc/PID/status named, blanks squeezed.
status_of() { grep -E "^($2):" "/proc/$1/status" | sed 's/[[:space:]]\+/ /g; s/ $//'; }
# Processes of the unit's control group, by /proc (whichever cgroup hierarchy the host has).
unit_pids() { grep -l ":$(unit ControlGroup)\$" /proc/[0-9]*/cgroup 2>/dev/null | cut -d/ -f3; }
privileged_pid() {
    local pid
    for pid in $(unit_pids); do [[ "$(cat "/proc/$pid/comm")" != ambrix-privileg ]] || echo "$pid"; done
}
# The TCP and UDP sockets PID holds, by inode.
inet_sockets() {
    find "/proc/$1/fd" -mindepth 1 -lname 'socket:*' -printf '%l\n' | sed 's/^socket:\[\(.*\)\]$/\1/' |
        grep -Fx -f <(awk 'FNR > 1 { print $10 }' /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6) || true
}
OPS
# The operator's lines for systemctl edit, as README.md shows them, and an editor that types them.
printf '[Service]\nEnvironment=QT_LOGGING_RULES=*.debug=true\n' >"$CT/root/debug.conf"
printf '[Service]\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\nExecStart=\nExecStart=/usr/sbin/ambrix-server -a 0.0.0.0 -p 445\n' \
    >"$CT/root/port.conf"
# A watchdog that bites within seconds, for the hang below.
printf '[Service]\nWatchdogSec=2\nTimeoutAbortSec=2\n' >"$CT/root/watchdog.conf"
printf '#!/bin/sh\ncp "$OVERRIDE" "$1"\n' >"$CT/root/editor"
chmod 755 "$CT/root/editor"
# The platform's chroot programs, faked: the first notes what it got (arguments, uid, the mode
# and digest of its last argument, the credentials file) and mounts a tmpfs on its first.
cat >"$CT/root/mountchroot" <<'FAKE'
#!/bin/sh
for last; do :; done
{ echo "$*"; id -u; stat -c %a "$last"; sha256sum <"$last" | cut -c1-64; } >/root/mountchroot.txt
mkdir -p "$1" && mount -t tmpfs ax-chroot "$1"
FAKE
printf '#!/bin/sh\numount "$1"\n' >"$CT/root/umountchroot"
chmod 755 "$CT/root/mountchroot" "$CT/root/umountchroot"
# Three clients that log in and stay connected.
cat >"$CT/root/hold-clients" <<'HOLD'
source /root/ops.sh
for fd in 3 4 5; do
    eval "exec $fd<>/dev/tcp/127.0.0.1/4445"
    printf 'login?alice&&%s' "$(token_of alice)" >&"$fd"
    IFS= read -r -t 10 reply <&"$fd" || true
    echo "client $fd: $reply"
done
exec sleep 600
HOLD
printf 'The operator'"'"'s report, %s.\n' "$VERSION" >"$CT/root/report-été.txt"
# A user's desktop: a session that only waits, and a default application for text files that notes
# who ran it, on which display, in which session and with what, and stays.
printf '#!/bin/sh\nexec sleep infinity\n' >"$CT/root/xsession"
cat >"$CT/root/recorder" <<'RECORDER'
#!/bin/sh
printf '%s|%s|%s|%s|%s\n' "$$" "$(id -u)" "$DISPLAY" "$XDG_SESSION_ID" "$*" >>"$HOME/opened.txt"
exec sleep 600
RECORDER
# The RDP client logs in as alice, her password not on a command line that the journal keeps.
printf '#!/bin/sh\nexec xfreerdp /v:127.0.0.1 /u:alice /p:%s /cert:ignore /size:800x600\n' "$ALICE_PASSWORD" >"$CT/root/rdp-client"
chmod 755 "$CT/root/xsession" "$CT/root/recorder" "$CT/root/rdp-client"
printf '[Desktop Entry]\nType=Application\nName=Recorder\nExec=/home/alice/.local/bin/recorder %%f\n' >"$CT/root/recorder.desktop"
printf '[Default Applications]\ntext/plain=recorder.desktop\n' >"$CT/root/mimeapps.list"

step "boot"
boot

step "the platform's database: MariaDB, the schema, the sample catalogue, an account"
wait_ct 60 'systemctl is-active mariadb'
ct 'mariadb < /root/schema.sql && mariadb < /root/sample.sql'
ct "mariadb -e \"CREATE USER 'ambrix'@'127.0.0.1' IDENTIFIED BY '$DB_SECRET';
    GRANT SELECT, INSERT, UPDATE, DELETE ON ambrix.* TO 'ambrix'@'127.0.0.1';\""
ct 'printf "\n[mysqld]\nmax_connections = 1000\n" >> /etc/mysql/mariadb.conf.d/50-server.cnf && systemctl restart mariadb'
check "max_connections" "$(ct 'mariadb -N -e "SELECT @@max_connections"')" 1000
# Host accounts: logins by password (PAM) and uploads need one; bob is another local user.
ct "useradd -m -s /bin/bash alice && echo 'alice:$ALICE_PASSWORD' | chpasswd"
ct 'useradd -m -s /bin/bash bob'
ct 'list_files > /root/before.txt'

step "apt-get install$PREVIOUS_NAMES"
out="$(ct "cd /root && apt-get install -y --no-install-recommends$PREVIOUS_NAMES 2>&1")"
check_has "installation" "$out" "Ambrix Server is installed but neither enabled nor started"
check "enabled after installation" "$(ct 'systemctl is-enabled ambrix-server || true')" disabled
check "active after installation" "$(ct 'systemctl is-active ambrix-server || true')" inactive
check "the serving account" "$(ct 'getent passwd ambrix-server | cut -d: -f1,5-')" \
    "ambrix-server:Ambrix Server (serving process):/nonexistent:/usr/sbin/nologin"
check "modes of the settings" "$(ct 'stat -c "%a %U:%G %n" "/opt/Ambrix Server" "$SETTINGS"')" \
    "750 root:ambrix-server /opt/Ambrix Server
640 root:ambrix-server /opt/Ambrix Server/ambrix-server.ini"
check "the TLS key and certificate" "$(ct 'cd "/opt/Ambrix Server/tls" && stat -c "%a %U:%G %n" . server.key server.crt')" \
    "750 root:ambrix-server .
600 root:root server.key
644 root:root server.crt"
check "the certificate's names" "$(ct 'openssl x509 -in "/opt/Ambrix Server/tls/server.crt" -noout -ext subjectAltName | grep -o "IP Address:127.0.0.1"')" \
    "IP Address:127.0.0.1"
check "systemd-analyze verify" "$(ct 'systemd-analyze verify --man=no ambrix-server.service 2>&1')" ""
check "manuals" "$(ct 'ls /usr/share/man/man8/ambrix-server.8.gz /usr/share/man/man1/ambrix-cli.1.gz | wc -l')" 2

step "settings, and registration as the principal server"
ct "set_ini MySqlServerAddress 127.0.0.1 && set_ini MySqlServerPort 3306 && set_ini MySqlUsername ambrix &&
    set_ini MySqlPassword $DB_SECRET && set_ini AmbrixServer 1 && set_ini ApplicationServer 1"
ct 'env PROGRAMW6432=/opt ambrix-server -u admin -w unused' || fail "registration exited with $?"
TOKEN="$(ct 'ini ServerToken')"
[[ "$TOKEN" =~ ^[A-Za-z0-9]{64}$ ]] || fail "no server token in the settings: '$TOKEN'"
check "the principal's row in ax_server" "$(ct 'mariadb -N -e "SELECT token, ambrix_server, application_server
    FROM ambrix.ax_server WHERE address=\"127.0.0.1\" AND port=4445"')" "$TOKEN	1	1"
check "mode of the settings after registration" "$(ct 'stat -c "%a %U:%G" "$SETTINGS"')" "640 root:ambrix-server"
ct 'install -m 755 /root/mountchroot /root/umountchroot /usr/sbin/'

step "systemctl enable --now ambrix-server"
ct 'systemctl enable --now ambrix-server' 2>/dev/null
wait_ct 30 '[[ "$(unit SubState)" == running ]] && catalogue'
check_has "systemctl status" "$(ct 'systemctl status ambrix-server --no-pager || true')" "Active: active \(running\)"
check "catalogue of alice (token)" "$(ct catalogue)" "$CATALOGUE"
check "catalogue of alice (host password, PAM)" \
    "$(ct "echo '$ALICE_PASSWORD' | ambrix-cli -u alice -t - get_valid_applications")" "$CATALOGUE"
check "catalogue of alice over TLS, the package's certificate checked" \
    "$(ct "echo '$ALICE_PASSWORD' | ambrix-cli --tls --ca '/opt/Ambrix Server/tls/server.crt' -u alice -t - get_valid_applications")" "$CATALOGUE"
# A thread per client: a cap on the service's tasks is a cap on its clients, and the accept
# loop ends when it cannot start a thread.
check "tasks the service may start" "$(ct 'unit TasksMax')" infinity
PID="$(ct main_pid)"
wait_ct 10 "output_of $PID | grep -qx 'Ambrix Server $VERSION'"
check "journal of the server without debug lines" "$(ct "output_of $PID")" "Ambrix Server $VERSION"

step "the serving process without root, its privileged side without a network socket"
AX_UID="$(ct 'id -u ambrix-server')"
AX_GID="$(ct 'id -g ambrix-server')"
[[ "$AX_UID" != 0 && "$AX_GID" != 0 ]] || fail "ambrix-server has root's ids: $AX_UID $AX_GID"
NO_CAPS=0000000000000000
check "the serving process" "$(ct "status_of $PID 'Uid|Gid|Groups|Cap...|NoNewPrivs|Seccomp'")" \
    "Uid: $AX_UID $AX_UID $AX_UID $AX_UID
Gid: $AX_GID $AX_GID $AX_GID $AX_GID
Groups:
CapInh: $NO_CAPS
CapPrm: $NO_CAPS
CapEff: $NO_CAPS
CapBnd: $NO_CAPS
CapAmb: $NO_CAPS
NoNewPrivs: 1
Seccomp: 2"
# Root with the unit's bounding set: CHOWN..SETPCAP (bits 0-8) and AUDIT_WRITE (29).
check "the privileged side" "$(ct "status_of \$(privileged_pid) 'PPid|Uid|CapEff|CapBnd|NoNewPrivs|Seccomp'")" "PPid: $PID
Uid: 0 0 0 0
CapEff: 00000000200001ff
CapBnd: 00000000200001ff
NoNewPrivs: 1
Seccomp: 2"
[[ -n "$(ct "inet_sockets $PID")" ]] || fail "no internet socket seen in the serving process"
check "internet sockets of the unit's root processes" \
    "$(ct 'for pid in $(unit_pids); do [[ $(status_of $pid Uid) != "Uid: 0 "* ]] || inet_sockets $pid; done')" ""
EXPOSURE="$(ct 'systemd-analyze security --no-pager ambrix-server.service' |
    sed -n 's/^.*Overall exposure level for ambrix-server.service: \([0-9.]*\) .*$/\1/p')"
step "exposure of ambrix-server.service: $EXPOSURE"
awk -v e="$EXPOSURE" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "exposure '$EXPOSURE' above 4.0"

step "ambrix-cli: an upload as alice"
check "upload" "$(ct 'ambrix-cli -u alice -t "$(token_of alice)" upload /root/report-été.txt inbox')" inbox
UPLOADED="/var/lib/ambrix-server/TEMP/ambrix-alice/inbox/report-été.txt"
check "uploaded file" "$(ct "stat -c '%U %s' '$UPLOADED' && cmp /root/report-été.txt '$UPLOADED' && echo same")" \
    "alice $(stat -c %s "$CT/root/report-été.txt")
same"
check "another user reading the upload" "$(ct "runuser -u bob -- cat '$UPLOADED' 2>/dev/null || echo refused")" refused
check_has "log" "$(ct 'cat "$LOG"')" "Info: Called command: .*report-été\.txt"

step "icons are fetched where no local user can plant anything"
ct "runuser -u alice -- sh -c 'mkdir -p /tmp/axserver && ln -s /etc/shadow /tmp/axserver/text-editor.png'"
ct 'ambrix-cli -u alice -t "$(token_of alice)" -o /root/icon "_byteArray_get_application_icon?1" >/dev/null'
check "icon of application 1" "$(ct 'grep -c "^root:" /root/icon || true')" 0
check "media directory" "$(ct 'stat -c "%U %a" /var/cache/ambrix-server/media')" "ambrix-server 755"
check "a local user writing there" "$(ct "runuser -u alice -- touch /var/cache/ambrix-server/media/x 2>/dev/null || echo refused")" refused

step "mount_chroot: the platform's program mounts outside the service's sandbox"
out="$(ct "echo '$ALICE_PASSWORD' | ambrix-cli -u alice -t - 'mount_chroot?/srv/ax-chroot&b&alice&d&e'")"
check "mount_chroot" "$out" Ok
check "the chroot, seen from the host" "$(ct 'findmnt -n -o FSTYPE --mountpoint /srv/ax-chroot')" tmpfs
check "what mountchroot got" "$(ct 'sed "1s|/ambrix-chroot-[A-Za-z0-9]*$|/CREDENTIALS|" /root/mountchroot.txt')" \
    "/srv/ax-chroot b alice d e /run/ambrix-server/CREDENTIALS
0
600
$(printf 'username=alice\npassword=%s\n' "$ALICE_PASSWORD" | sha256sum | cut -c1-64)"
check "credentials files left" "$(ct 'ls -A /run/ambrix-server')" ""
check "the password in the journal and the log" \
    "$(ct "{ journalctl --no-pager; cat \"\$LOG\"; } | grep -c -F '$ALICE_PASSWORD' || true")" 0
check "umount_chroot" "$(ct 'ambrix-cli -u alice -t "$(token_of alice)" "umount_chroot?/srv/ax-chroot"')" Ok
wait_ct 30 '! findmnt --mountpoint /srv/ax-chroot'
ct 'rmdir /srv/ax-chroot && rm /usr/sbin/mountchroot /usr/sbin/umountchroot'

step "open_file: the launcher runs in a unit of its own, outside the service"
# alice has no desktop session here: the launcher starts, says so, and opens nothing.
check "open_file" "$(ct 'ambrix-cli -u alice -t "$(token_of alice)" "open_file?/root/report-été.txt&"')" '\root\report-été.txt'
wait_ct 30 'journalctl -t psexec --no-pager | grep -q "psexec: no session to open /root/report-été.txt in (session -1)"'
check "the launcher's unit" "$(ct 'journalctl -t psexec -o export --no-pager | sed -n "s/^_SYSTEMD_UNIT=//p" | sort -u')" \
    "$(ct 'journalctl -t psexec -o export --no-pager | sed -n "s/^_SYSTEMD_UNIT=\(run-.*\)/\1/p" | sort -u')"

step "an RDP session of alice: listed, a file opened in it, kept over a restart, logged off"
# What README.md says an application server's operator does, and alice's own desktop settings.
ct 'adduser -q xrdp ssl-cert && systemctl restart xrdp'
ct 'cd /home/alice && mine() { install -o alice -g alice "$@"; } &&
    mine -d .config .local .local/bin .local/share .local/share/applications && mine /root/xsession .xsession &&
    mine /root/recorder .local/bin/ &&
    mine -m 644 /root/recorder.desktop .local/share/applications/ && mine -m 644 /root/mimeapps.list .config/ &&
    runuser -u alice -- sh -c "echo notes > notes.txt"'
ct 'systemd-run -q --unit=rdp-display Xvfb :99 -screen 0 800x600x24 -nolisten tcp'
wait_ct 10 '[[ -S /tmp/.X11-unix/X99 ]] && exec 3<>/dev/tcp/127.0.0.1/3389'
ct 'systemd-run -q --collect --unit=rdp-client -E HOME=/root -E DISPLAY=:99 /root/rdp-client'
wait_ct 60 '[[ -n "$(sessions_of alice)" ]]'
SESSION="$(ct 'sessions_of alice')"
# Listed while still opening: its state turns active once the desktop has started.
wait_ct 30 "[[ \"\$(loginctl show-session $SESSION -p State --value)\" == active ]]"
check "alice's session as logind sees it" "$(ct "loginctl show-session $SESSION -p Name -p Type -p Class -p State -p Service")" \
    "Name=alice
Service=xrdp-sesman
Type=x11
Class=user
State=active"
LEADER="$(ct "loginctl show-session $SESSION -p Leader --value")"
SESSION_DISPLAY="$(ct "loginctl show-session $SESSION -p Display --value")"
ALICE_UID="$(ct 'id -u alice')"
check "open_file in alice's session" "$(ct 'ambrix-cli -u alice -t "$(token_of alice)" "open_file?/home/alice/notes.txt&"')" \
    '\home\alice\notes.txt'
check "the launch log, with the session listed" "$(ct 'cat /home/alice/notes.txt.log')" \
    "psexec -accepteula -i $LEADER -s \\explorer.exe \\home\\alice\\notes.txt
SessionId: $LEADER, data: 'alice', username: 'alice'"
wait_ct 30 '[[ -s /home/alice/opened.txt ]]'
OPENED="$(ct 'cat /home/alice/opened.txt')"
APP_PID="${OPENED%%|*}"
check "what the default application saw" "${OPENED#*|}" "$ALICE_UID|$SESSION_DISPLAY|$SESSION|/home/alice/notes.txt"
check_has "the application's unit" "$(ct "grep -o 'user@[0-9]*\.service/.*' /proc/$APP_PID/cgroup | sort -u")" \
    "^user@$ALICE_UID\.service/app\.slice/run-[[:alnum:]]+\.service$"
PID="$(ct main_pid)"
ct 'systemctl restart ambrix-server'
wait_ct 30 "[[ \$(main_pid) != $PID ]] && catalogue"
check "the application after the restart" "$(ct "kill -0 $APP_PID && echo running")" running
# The platform's console logs users off with administrator privilege: bob's, by his admin group.
ct "groupadd ax-admins && usermod -a -G ax-admins bob && echo 'bob:$BOB_PASSWORD' | chpasswd"
check "kill_session" "$(ct "echo '$BOB_PASSWORD' | ambrix-cli -u bob -g ax-admins -t - 'kill_session?alice'")" ""
check "alice's sessions after kill_session" "$(ct 'sessions_of alice')" ""
ct 'systemctl stop rdp-display; systemctl stop rdp-client 2>/dev/null || true'

step "debug lines on with systemctl edit, and off again with systemctl revert"
ct 'edit_unit /root/debug.conf && systemctl restart ambrix-server'
wait_ct 30 catalogue
wait_ct 10 "output_of $(ct main_pid) | grep -qx 'New thread...'"
ct 'systemctl revert ambrix-server && systemctl restart ambrix-server' >/dev/null
wait_ct 30 catalogue
PID="$(ct main_pid)"
wait_ct 10 "output_of $PID | grep -qx 'Ambrix Server $VERSION'"
check "journal after systemctl revert" "$(ct "output_of $PID")" "Ambrix Server $VERSION"

step "a port below 1024 with systemctl edit"
ct 'edit_unit /root/port.conf && set_ini ServerPort 445 && systemctl restart ambrix-server'
wait_ct 30 'ambrix-cli -p 445 -u alice -t "$(token_of alice)" get_valid_applications'
ct 'systemctl revert ambrix-server && set_ini ServerPort 4445 && systemctl restart ambrix-server' >/dev/null
wait_ct 30 catalogue
PID="$(ct main_pid)"

step "systemctl stop"
ct 'systemctl stop ambrix-server'
check "exit of a stopped server" "$(ct 'echo $(unit ExecMainCode) $(unit ExecMainStatus) $(unit Result)')" "1 0 success"
wait_ct 10 "output_of $PID | grep -qx done."
check "journal of the stop" "$(ct "output_of $PID")" "Ambrix Server $VERSION
Stopping Ambrix server...
done."

step "SIGKILL: systemd starts it again"
ct 'systemctl start ambrix-server'
wait_ct 30 catalogue
PID="$(ct main_pid)"
ct "kill -KILL $PID"
wait_ct 30 "pid=\$(main_pid); [[ \$pid != 0 && \$pid != $PID && \$(unit SubState) == running ]] && catalogue"
check "restarts" "$(ct 'unit NRestarts')" 1

step "systemctl restart with logged-in clients"
SUM="$(ct 'sha256sum "$SETTINGS"')"
ct 'systemd-run -q --unit=held-clients /bin/bash /root/hold-clients'
wait_ct 30 '[[ $(journalctl -u held-clients -o cat | grep -c "Authentication ok.") == 3 ]]'
PID="$(ct main_pid)"
ct 'systemctl restart ambrix-server'
wait_ct 30 "[[ \$(main_pid) != $PID ]] && catalogue"
ct 'systemctl stop held-clients'
check "settings after the restart" "$(ct 'sha256sum "$SETTINGS"')" "$SUM"
check "token and roles after the restart" "$(ct 'echo $(ini ServerToken) $(ini AmbrixServer) $(ini ApplicationServer)')" "$TOKEN 1 1"

step "monitoring: systemd's view (ready, status, watchdog), the journal's fields, the metrics"
check "type of the unit" "$(ct 'unit Type') $(ct 'unit WatchdogUSec')" "notify 30s"
ct 'edit_unit /root/watchdog.conf && systemctl restart ambrix-server'
wait_ct 30 catalogue
ct 'systemd-run -q --unit=held-clients /bin/bash /root/hold-clients'
wait_ct 30 '[[ $(unit StatusText) =~ ^[34]" clients connected, 3 logged in; database reachable"$ ]]'
ct 'systemctl stop held-clients'
check_has "metrics" "$(ct scrape)" '^ambrix_requests_total\{command="get_valid_applications",outcome="ok"\} [1-9]'
check_has "metrics" "$(ct scrape)" '^ambrix_logins_total\{method="user_token"\} [1-9]'
PID="$(ct main_pid)"
RESTARTS="$(ct 'unit NRestarts')"
ct "kill -STOP $PID"
wait_ct 30 "[[ \$(unit NRestarts) == $((RESTARTS + 1)) && \$(main_pid) != $PID && \$(unit SubState) == running ]] && catalogue"
check_has "systemd on the hung server" "$(ct 'journalctl -u ambrix-server --no-pager -o cat')" "Watchdog timeout"
ct 'systemctl revert ambrix-server && systemctl restart ambrix-server' >/dev/null
wait_ct 30 catalogue
check_has "entries of the open_file above by their fields" \
    "$(ct 'journalctl -u ambrix-server --no-pager -o cat CLIENT_ADDRESS=127.0.0.1 COMMAND=open_file USER=alice PRIORITY=6')" \
    "^Opening file /root/report-été\.txt\.\.\.$"
check_has "entries of the uploads above by their client's address" \
    "$(ct 'journalctl -u ambrix-server --no-pager -o cat CLIENT_ADDRESS=127.0.0.1')" "^Called command: .*report-été\.txt"

step "upgrade: this build over the previous one, the service running"
PID="$(ct main_pid)"
STOPS="$(ct stops)"
ct "cd /root && apt-get install -y --no-install-recommends $DEB_NAMES >/dev/null 2>&1"
check "versions after the upgrade" "$(ct "dpkg-query -W -f '\${Version} ' ambrix-server ambrix-cli")" "$VERSION $VERSION "
wait_ct 30 "[[ \$(main_pid) != $PID && \$(unit SubState) == running ]] && catalogue"
check "settings after the upgrade" "$(ct 'sha256sum "$SETTINGS"')" "$SUM"
check "token after the upgrade" "$(ct 'ini ServerToken')" "$TOKEN"
check "enabled after the upgrade" "$(ct 'systemctl is-enabled ambrix-server')" enabled
# One restart, once the new files were in place: a server started before would run a replaced file.
check "the server's program after the upgrade" "$(ct 'readlink /proc/$(main_pid)/exe')" /usr/sbin/ambrix-server
wait_ct 10 "[[ \$(stops) != $STOPS ]]"
check "stops during the upgrade" "$(ct stops)" $((STOPS + 1))

step "logrotate"
PID="$(ct main_pid)"
ct '[[ -f /etc/logrotate.d/ambrix-server ]] && logrotate -f /etc/logrotate.d/ambrix-server'
check_has "rotated log" "$(ct 'zcat "$LOG.1.gz"')" "report-été\.txt"
ct 'cp /root/report-été.txt /root/second.txt && ambrix-cli -u alice -t "$(token_of alice)" upload /root/second.txt inbox >/dev/null'
check_has "log after rotation" "$(ct 'cat "$LOG"')" "second\.txt"
check "rotated log after rotation" "$(ct 'zcat "$LOG.1.gz" | grep -c "second\.txt" || true')" 0
check "server during the rotation" "$(ct main_pid)" "$PID"

step "reboot: the enabled service starts with the system"
halt
boot
wait_ct 30 '[[ $(unit SubState) == running ]] && catalogue'
check "MariaDB ready before the server started" \
    "$(ct '(( $(systemctl show -p ActiveEnterTimestampMonotonic --value mariadb) <= $(unit ExecMainStartTimestampMonotonic) )) && echo yes')" yes

step "apt-get remove"
ct 'apt-get remove -y ambrix-server ambrix-cli >/dev/null 2>&1'
check "active after removal" "$(ct 'systemctl is-active ambrix-server || true')" inactive
# Configuration stays until purge, the unit's enablement with it.
check "files left by removal" "$(ct changed_files | grep -v -e '^/opt/Ambrix Server' -e '^/var/lib/ambrix-server' || true)" \
    "/etc/logrotate.d/ambrix-server
/etc/pam.d/ambrix-server
/etc/systemd/system/multi-user.target.wants/ambrix-server.service"

step "apt-get purge"
out="$(ct 'apt-get purge -y ambrix-server ambrix-cli 2>&1')"
check_has "purge" "$out" "Kept /opt/Ambrix Server/ \(settings, log and TLS key\)"
check_has "purge" "$out" "Kept the system account ambrix-server"
check "the serving account after purge" "$(ct 'getent passwd ambrix-server | cut -d: -f1')" ambrix-server
check "files left by purge" "$(ct changed_files)" "/opt/Ambrix Server
/opt/Ambrix Server/ambrix-server.ini
/opt/Ambrix Server/ambrix-server.log
/opt/Ambrix Server/ambrix-server.log.1.gz
/opt/Ambrix Server/tls
/opt/Ambrix Server/tls/server.crt
/opt/Ambrix Server/tls/server.key
/var/lib/ambrix-server
/var/lib/ambrix-server/TEMP
/var/lib/ambrix-server/TEMP/ambrix-alice
/var/lib/ambrix-server/TEMP/ambrix-alice/inbox
/var/lib/ambrix-server/TEMP/ambrix-alice/inbox/report-été.txt
/var/lib/ambrix-server/TEMP/ambrix-alice/inbox/second.txt"
check "token kept by purge" "$(ct 'ini ServerToken')" "$TOKEN"
check "packages after purge" "$(ct 'dpkg-query -W -f "\${Status}" ambrix-server ambrix-cli 2>/dev/null || echo none')" none
