#!/usr/bin/env bash
# The package and its service on a fresh Debian 12 under a real systemd.
#
# `make service-check` runs this from the top of the tree. It builds the
# package (make package: lintian and hardening-check included), makes a
# minimal Debian 12 root once with debootstrap (kept in
# build/service-check/debian-12, with the package's dependencies installed
# into it), boots that root with systemd-nspawn (read-only, changes in a
# throw-away overlay, loopback only) and there runs the steps an operator
# would: install, add an account, start, probe, status, reload, stop,
# purge; then the same from the 1.0.x package (everything in /opt/ventoro,
# built once from the commit that last made it) with an account, a ban and
# user.ini made 0440, upgraded to this package. Each step prints one line, "ok" or "FAIL" with what was
# found; "note" lines tell what is worth knowing but fails nothing.
#
# Exit status 0 when every step passed, or when the check cannot run here
# (not root, no container tools, Debian's packages out of reach): then one
# line says why it skipped. Any failed step makes it 1.
#
# Inside the container a unit runs this same file with `--inside DIR`
# (DIR is where the packages are and where the report goes), then powers
# the container off.
set -uo pipefail

readonly SUITE=bookworm
readonly CONTAINER_SECONDS=720
readonly PILOT_ID=1234 PILOT_PASSWORD=567890 PILOT_HANDLE=Ann BANNED_ID=4321
# The second of the two scripted pilots that fly across restarts.
readonly WINGMAN_ID=2345 WINGMAN_PASSWORD=678901 WINGMAN_HANDLE=Bea
# The last commit whose package kept everything in /opt/ventoro.
readonly OLD_PACKAGE_COMMIT=0d3541a

say() { printf 'service-check: %s\n' "$*"; }

# Inside the container.

report=/dev/null
pass() { printf 'ok   %s\n' "$*" >>"$report"; }
flunk() { printf 'FAIL %s\n' "$*" >>"$report"; }
note() { printf 'note %s\n' "$*" >>"$report"; }
# The last lines of a command's output, on one line, for a report line.
gist() { tail -n "${2:-3}" <<<"$1" | tr '\n' ' ' | sed 's/ *$//'; }

# Runs "$@" until it succeeds or the given seconds have passed; its last
# output is kept in $last.
last=""
wait_until() {
    local seconds=$1 deadline
    shift
    deadline=$((SECONDS + seconds))
    while true; do
        last=$("$@" 2>&1) && return 0
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}

main_pid() { systemctl show -p MainPID --value ventoro.service; }
mode_of() { stat -c '%a %U:%G' "$1" 2>&1; }

# "ventoro status" answers and lists the pilot.
status_lists_pilot() { timeout 10 ventoro status | grep -q -- "$PILOT_HANDLE"; }

probe() {
    timeout 20 ventoro probe 127.0.0.1 --id "$PILOT_ID" --password "$PILOT_PASSWORD" --handle "$PILOT_HANDLE"
}

step_install() {
    local out accounts options conffiles
    if ! out=$(timeout 180 dpkg -i "$1" 2>&1); then
        flunk "install $(basename "$1"): $(gist "$out")"
        return 1
    fi
    if ! getent passwd ventoro >/dev/null || ! getent group ventoro >/dev/null; then
        flunk "install: no user or no group ventoro"
        return 1
    fi
    accounts=$(mode_of /etc/ventoro/user.ini)
    options=$(mode_of /etc/ventoro/VentoroServer.ini)
    conffiles=$(dpkg-query -W -f '${Conffiles}' ventoro)
    if [ "$accounts" != "640 root:ventoro" ] || [ "$options" != "644 root:root" ] \
        || ! grep -q ' /etc/ventoro/VentoroServer.ini ' <<<"$conffiles" || [ -e /opt/ventoro ]; then
        flunk "install: user.ini $accounts (want 640 root:ventoro), VentoroServer.ini $options (want 644 root:root, a conffile), /opt/ventoro $( [ -e /opt/ventoro ] && echo exists || echo absent)"
        return 1
    fi
    pass "install $(basename "$1"): user and group ventoro; /etc/ventoro/user.ini $accounts; VentoroServer.ini $options, a conffile; nothing in /opt"
}

step_account() {
    local out accounts
    if ! out=$(timeout 20 ventoro accounts add "$PILOT_ID" "$PILOT_PASSWORD" "$PILOT_HANDLE" 2>&1); then
        flunk "ventoro accounts add: $(gist "$out")"
        return 1
    fi
    accounts=$(mode_of "$1/user.ini")
    if [ "$accounts" != "$2" ]; then
        flunk "ventoro accounts add: $1/user.ini became $accounts (want $2)"
        return 1
    fi
    pass "ventoro accounts add $PILOT_ID: $1/user.ini still $accounts"
}

# The service runs $1 as a user of its own with the group ventoro.
step_start() {
    local out pid uid groups gid exe
    if ! out=$(timeout 60 systemctl enable --now ventoro.service 2>&1); then
        flunk "systemctl enable --now ventoro: $(gist "$out")"
        return 1
    fi
    if ! wait_until 30 timeout 10 ventoro status; then
        flunk "start: ventoro status has no answer after 30 s ($(gist "$last" 1)); $(systemctl show -p ActiveState,SubState,ExecMainStatus,NRestarts ventoro.service | tr '\n' ' ')"
        return 1
    fi
    pid=$(main_pid)
    uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")
    groups=$(awk '/^Gid:/ {print $2} /^Groups:/ {$1 = ""; print}' "/proc/$pid/status" | tr '\n' ' ')
    gid=$(getent group ventoro | cut -d: -f3)
    exe=$(readlink "/proc/$pid/exe")
    if [ "$uid" = 0 ] || [ -z "$uid" ] || ! grep -qw -- "$gid" <<<"$groups" || [ "$exe" != "$1" ]; then
        flunk "start: the server (uid '$uid', groups $groups) runs $exe; want a user of its own with the group ventoro ($gid) running $1"
        return 1
    fi
    pass "systemctl enable --now ventoro: main PID $pid runs $exe as uid $uid with the group ventoro; status answers"
}

step_probe() {
    local out
    if ! out=$(probe 2>&1) || ! grep -q "Logon accepted" <<<"$out"; then
        flunk "ventoro probe$1: $(gist "$out")"
        return 1
    fi
    pass "ventoro probe$1: $(grep -m 1 "Logon accepted" <<<"$out")"
    if ! wait_until 10 status_lists_pilot; then
        flunk "ventoro status$1 does not list $PILOT_HANDLE: $(gist "$last")"
        return 1
    fi
    pass "ventoro status$1 lists $PILOT_HANDLE"
}

# The log is written where the package keeps it ($1), by the server's user.
step_log() {
    local owner
    owner=$(mode_of "$1")
    if [ ! -s "$1" ] || ! grep -q "logged on from" "$1" || [ "${owner#* }" != "ventoro:ventoro" ]; then
        flunk "log: $1 is $owner and holds $(wc -l <"$1" 2>/dev/null || echo no) lines, no logon, or is not the server's"
        return 1
    fi
    pass "log: $1 ($owner) holds the logon"
}

step_reload() {
    local before after out
    before=$(main_pid)
    if ! out=$(timeout 30 systemctl reload ventoro.service 2>&1); then
        flunk "systemctl reload ventoro: $(gist "$out")"
        return 1
    fi
    after=$(main_pid)
    if ! systemctl -q is-active ventoro.service || [ "$before" != "$after" ]; then
        flunk "systemctl reload ventoro: main PID $before before, $after after, $(systemctl is-active ventoro.service)"
        return 1
    fi
    if ! wait_until 10 status_lists_pilot; then
        flunk "after reload ventoro status does not list $PILOT_HANDLE: $(gist "$last")"
        return 1
    fi
    pass "systemctl reload ventoro: same main PID $after, still active, status still lists $PILOT_HANDLE"
}

# The 1.0.x package as an operator had it: an account, a ban, user.ini
# made 0440, the service running and a logon in its log.
step_old_package() {
    local out
    if ! out=$(timeout 180 dpkg -i "$1" 2>&1) || [ ! -x /opt/ventoro/VentoroServer ]; then
        flunk "install $(basename "$1"): $(gist "$out")"
        return 1
    fi
    pass "install $(basename "$1"): the programs in /opt/ventoro"
    step_account /opt/ventoro "640 root:ventoro" || return 1
    if ! out=$(timeout 20 ventoro ban "$BANNED_ID" --reason "service check" 2>&1) || ! chmod 0440 /opt/ventoro/user.ini; then
        flunk "1.0.x: ventoro ban $BANNED_ID: $(gist "$out")"
        return 1
    fi
    step_start /opt/ventoro/VentoroServer && step_probe " on 1.0.x" || return 1
    pass "1.0.x: ban of $BANNED_ID in /opt/ventoro/bans.ini ($(mode_of /opt/ventoro/bans.ini)), user.ini made $(mode_of /opt/ventoro/user.ini)"
}

step_upgrade() {
    local before after exe version out accounts
    before=$(main_pid)
    if ! out=$(timeout 180 dpkg -i "$1" 2>&1); then
        flunk "upgrade to $(basename "$1"): $(gist "$out")"
        return 1
    fi
    version=$(dpkg-query -W -f '${Version}' ventoro)
    if ! wait_until 30 timeout 10 ventoro status; then
        flunk "upgrade to $version: ventoro status has no answer after 30 s ($(gist "$last" 1))"
        return 1
    fi
    after=$(main_pid)
    exe=$(readlink "/proc/$after/exe")
    if [ "$after" = "$before" ] || [ "$exe" != /usr/bin/VentoroServer ]; then
        flunk "upgrade to $version: main PID $before before, $after after, running $exe"
        return 1
    fi
    pass "upgrade to $version: restarted, main PID $before -> $after, running $exe"
    accounts=$(mode_of /etc/ventoro/user.ini)
    if [ "$accounts" != "440 root:ventoro" ] || ! ventoro accounts list | grep -q -- "$PILOT_HANDLE" \
        || ! ventoro bans | grep -q -- "$BANNED_ID"; then
        flunk "upgrade: /etc/ventoro/user.ini is $accounts (the operator made it 440 root:ventoro), or the account of $PILOT_HANDLE or the ban of $BANNED_ID is lost"
        return 1
    fi
    # The 1.0.x run's log came along: two banners (that run's and this
    # one's) and a logon, which only that run has seen so far.
    if [ "$(grep -c 'FS MP Server Up' /var/log/ventoro/log.txt 2>/dev/null)" -lt 2 ] \
        || ! grep -q 'logged on from' /var/log/ventoro/log.txt; then
        flunk "upgrade: /var/log/ventoro/log.txt does not hold the 1.0.x run's banner and logon"
        return 1
    fi
    if [ -e /opt/ventoro ] || [ -e /var/lib/private/ventoro ]; then
        flunk "upgrade left behind: $(ls -d /opt/ventoro /var/lib/private/ventoro 2>/dev/null | tr '\n' ' ')"
        return 1
    fi
    pass "upgrade kept user.ini ($accounts), the account of $PILOT_HANDLE and the ban of $BANNED_ID ($(mode_of /etc/ventoro/bans.ini)), VentoroServer.ini $(mode_of /etc/ventoro/VentoroServer.ini), the 1.0.x log in /var/log/ventoro; nothing left in /opt"
}

step_stop() {
    local out state result status
    if ! out=$(timeout 60 systemctl stop ventoro.service 2>&1); then
        flunk "systemctl stop ventoro: $(gist "$out")"
        return 1
    fi
    state=$(systemctl is-active ventoro.service)
    result=$(systemctl show -p Result --value ventoro.service)
    status=$(systemctl show -p ExecMainStatus --value ventoro.service)
    if [ "$state" != inactive ] || [ "$result" != success ]; then
        flunk "systemctl stop ventoro: $state, result $result, exit status $status"
        return 1
    fi
    pass "systemctl stop ventoro: inactive, result $result, exit status $status"
}

# What the service wrote to the journal, kept beside the report; noise is
# told, not failed.
step_journal() {
    journalctl -u ventoro.service -o short-monotonic --no-pager >"$1/journal-$2.txt" 2>&1
    local noise restarts
    noise=$(journalctl -u ventoro.service -o cat --no-pager | grep -i -E 'QStandardPaths|fontconfig' \
        | sort | uniq -c | sed -E 's/^ *([0-9]+) (.*)/\2 (\1 times)/')
    if [ -n "$noise" ]; then
        while IFS= read -r line; do note "journal: $line"; done <<<"$noise"
    else
        pass "journal ($2): no QStandardPaths or fontconfig lines"
    fi
    restarts=$(journalctl -u ventoro.service -o cat --no-pager | grep -c -E 'status=217|Failed with result|Scheduled restart')
    if [ "$restarts" != 0 ]; then
        flunk "journal ($2): $restarts lines of failure or restart"
    fi
    journalctl --rotate >/dev/null 2>&1 && journalctl --vacuum-time=1s >/dev/null 2>&1
}

step_purge() {
    local out left=""
    if ! out=$(timeout 60 dpkg -P ventoro 2>&1); then
        flunk "dpkg -P ventoro: $(gist "$out")"
        return 1
    fi
    for path in /etc/ventoro /var/lib/ventoro /var/log/ventoro /var/lib/private/ventoro /opt/ventoro \
        /usr/bin/VentoroServer /usr/bin/ventoro /etc/logrotate.d/ventoro /usr/lib/sysusers.d/ventoro.conf \
        /etc/systemd/system/multi-user.target.wants/ventoro.service; do
        if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
    done
    getent passwd ventoro >/dev/null && left="$left user:ventoro"
    getent group ventoro >/dev/null && left="$left group:ventoro"
    if [ -n "$left" ]; then
        flunk "dpkg -P ventoro$1 left behind:$left"
        return 1
    fi
    pass "dpkg -P ventoro$1: settings, accounts, log, state, unit link, user and group ventoro gone"
}

# Two scripted pilots (keep-alives, flight data at 20 Hz) logged on once,
# then flown across each way the service ends: a restart, the package
# installed again (an upgrade restarts it the same way) and a kill of its
# main process. After each, both are still there under the same server IDs,
# and their keep-alives and flight data go on with no new logon.
step_restarts_keep_pilots() {
    local dir=$1 pilots=$1/scripted-pilots.pl out ids how flown
    if ! out=$(timeout 20 ventoro accounts add "$WINGMAN_ID" "$WINGMAN_PASSWORD" "$WINGMAN_HANDLE" 2>&1) \
        || ! ids=$(timeout 20 perl "$pilots" logon 1500 "$PILOT_ID" "$PILOT_PASSWORD" "$PILOT_HANDLE" \
                   "$WINGMAN_ID" "$WINGMAN_PASSWORD" "$WINGMAN_HANDLE" 2>&1); then
        flunk "two scripted pilots log on: $(gist "$out$ids")"
        return 1
    fi
    read -r _ first second <<<"$ids"
    for how in "systemctl restart ventoro" "dpkg -i $dir/$(cat "$dir/new")" "kill -9 main PID"; do
        timeout 60 perl "$pilots" fly 1500 16 "$first" "$second" >"$dir/flown" 2>&1 &
        local flying=$!
        sleep 4
        case $how in
            kill*) kill -9 "$(main_pid)" ;;
            *) $how >/dev/null 2>&1 ;;
        esac
        wait "$flying"
        flown=$(cat "$dir/flown")
        if ! grep -qE "after it [1-9][0-9]* records and [1-9][0-9]* keep-alive echoes;.*after it [1-9][0-9]* records and [1-9][0-9]* keep-alive echoes; other records: none" <<<"$flown" \
            || ! wait_until 10 bash -c "ventoro status | grep -qE '^ +$first +$PILOT_HANDLE ' && ventoro status | grep -qE '^ +$second +$WINGMAN_HANDLE '"; then
            flunk "$how: the pilots did not fly on under server IDs $first and $second: $flown; $(journalctl -u ventoro -n 3 --no-pager 2>&1 | tr '\n' ' ')"
            return 1
        fi
        pass "$how: both pilots still on as $first and $second, echoed and relayed with no new logon: $flown"
    done
}

# A start that cannot bind fails as a start: the unit waits for the
# server's readiness, which never comes. The port is moved to one another
# program holds (the socket kept in the service manager's store no longer
# fits, so the server must bind), then moved back.
step_port_taken() {
    local ini=/etc/ventoro/VentoroServer.ini holder status state
    cp -p "$ini" "$ini.check"
    sed -i 's/^ConnectPort=[0-9]*/ConnectPort=1600/' "$ini"
    perl -MIO::Socket::INET -e 'my $held = IO::Socket::INET->new(Proto => "udp", LocalPort => 1600) or die "1600: $!"; sleep 60' &
    holder=$!
    sleep 1
    timeout 60 systemctl start ventoro.service >/dev/null 2>&1
    status=$?
    state=$(systemctl show -p ActiveState,Result --value ventoro.service | paste -sd' ')
    mv -f "$ini.check" "$ini"
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    timeout 60 systemctl stop ventoro.service >/dev/null 2>&1
    systemctl reset-failed ventoro.service >/dev/null 2>&1
    if ((status == 0)); then
        flunk "systemctl start with its port taken succeeded ($state)"
        return 1
    fi
    pass "systemctl start with its port taken fails as a start (exit $status, $state)"
}

# The journal of the restarts, kept beside the report but not judged: the
# check itself killed the server and failed a start.
keep_journal() {
    journalctl -u ventoro.service -o short-monotonic --no-pager >"$1/journal-$2.txt" 2>&1
    journalctl --rotate >/dev/null 2>&1 && journalctl --vacuum-time=1s >/dev/null 2>&1
}

inside() {
    local dir=$1
    report=$dir/report
    : >"$report"
    export DEBIAN_FRONTEND=noninteractive
    local new old
    new=$(cat "$dir/new")
    old=$(cat "$dir/old" 2>/dev/null)
    step_install "$dir/$new" \
        && step_account /etc/ventoro "640 root:ventoro" \
        && step_start /usr/bin/VentoroServer \
        && step_probe "" \
        && step_log /var/log/ventoro/log.txt \
        && step_reload
    local completed=$?
    step_journal "$dir" new
    if ((completed == 0)); then
        step_restarts_keep_pilots "$dir" && step_stop && step_port_taken
        completed=$?
        keep_journal "$dir" restarts
    fi
    ((completed == 0)) && step_purge " (a new install)"
    if ((completed == 0)) && [ -n "$old" ]; then
        step_old_package "$dir/$old" \
            && step_upgrade "$dir/$new" \
            && step_probe " after the upgrade" \
            && step_log /var/log/ventoro/log.txt \
            && step_reload \
            && step_stop
        completed=$?
        step_journal "$dir" upgrade
        ((completed == 0)) && step_purge " (after the upgrade)"
    elif [ -z "$old" ]; then
        note "no 1.0.x package: the upgrade was not tried"
    fi
    echo "finished" >>"$report"
}

if [ "${1:-}" = "--inside" ]; then
    inside "$2"
    exit 0
fi

# On the host.

top=$(cd "$(dirname "$0")/.." && pwd)
work=$top/build/service-check
root=$work/debian-12
run=$work/run
make=${MAKE:-make}

skip() {
    say "skipped: $*"
    exit 0
}
fail() {
    say "FAIL $*"
    exit 1
}

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap and systemd-nspawn)"
for tool in systemd-nspawn debootstrap dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || skip "$tool is not installed and could not be (packages systemd-container, debootstrap, dpkg-dev)"
done
mkdir -p "$work"

nspawn_pid=""
mounted_nspawn_dir=""
tear_down() {
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        kill "$nspawn_pid" 2>/dev/null
        wait "$nspawn_pid" 2>/dev/null
    fi
    if [ -n "$mounted_nspawn_dir" ]; then
        umount "$mounted_nspawn_dir" 2>/dev/null
    fi
}
trap tear_down EXIT
trap 'exit 1' INT TERM

# systemd-nspawn keeps per-container scratch under /run/systemd/nspawn and
# refuses to clean it where /run is not a tmpfs (a host without systemd).
if [ "$(stat -f -c %T /run 2>/dev/null)" != tmpfs ] && ! mountpoint -q /run/systemd/nspawn; then
    mkdir -p /run/systemd/nspawn
    mount -t tmpfs -o mode=0755 tmpfs /run/systemd/nspawn || skip "cannot mount a tmpfs on /run/systemd/nspawn"
    mounted_nspawn_dir=/run/systemd/nspawn
fi

# The package of this tree.
if ! out=$("$make" --no-print-directory -C "$top" package 2>&1); then
    printf '%s\n' "$out" | tail -n 20
    fail "make package"
fi
new=$(sed -n 's/^Built //p' <<<"$out" | tail -n 1)
[ -f "$top/$new" ] || fail "make package: no package named in its output"
rm -rf "$run"
mkdir -p "$run"
cp "$top/$new" "$run/"
basename "$new" >"$run/new"
say "ok   package built, lintian and hardening-check clean: $(basename "$new")"

# The 1.0.x package, from the last commit that made it (CPack, everything
# in /opt/ventoro): built once with its programs only, and kept.
old_deb=$(ls "$work"/old/ventoro_1.0.*_amd64.deb 2>/dev/null | tail -n 1)
if [ -z "$old_deb" ] && git -C "$top" cat-file -e "$OLD_PACKAGE_COMMIT^{commit}" 2>/dev/null; then
    started=$SECONDS
    rm -rf "$work/old" && mkdir -p "$work/old/src"
    git -C "$top" archive "$OLD_PACKAGE_COMMIT" | tar -x -C "$work/old/src"
    if cmake -S "$work/old/src" -B "$work/old/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$work/old/build.log" 2>&1 \
        && cmake --build "$work/old/build" -j 2 --target VentoroServer VentoroConfig ventoro ventoro_icon \
            >>"$work/old/build.log" 2>&1 \
        && (cd "$work/old/build" && cpack -D "CPACK_OUTPUT_FILE_PREFIX=$work/old") >>"$work/old/build.log" 2>&1; then
        old_deb=$(ls "$work"/old/ventoro_1.0.*_amd64.deb | tail -n 1)
        say "ok   1.0.x package built from $OLD_PACKAGE_COMMIT in $((SECONDS - started)) s: $(basename "$old_deb")"
    else
        say "note the 1.0.x package could not be built (build/service-check/old/build.log): the upgrade is not tried"
    fi
fi
if [ -n "$old_deb" ]; then
    cp "$old_deb" "$run/"
    basename "$old_deb" >"$run/old"
else
    say "note no 1.0.x package (commit $OLD_PACKAGE_COMMIT is not in this clone): the upgrade is not tried"
fi

# The host's Debian mirror, where it has one for this suite; debootstrap's
# own otherwise.
# shellcheck disable=SC2016 # apt's own placeholders
mirrors=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Created-By: Packages' 2>/dev/null | sort -u)
mirror=$(awk -v s="$SUITE" '$2 == s {print $1; exit}' <<<"$mirrors")

in_root() {
    timeout "$1" systemd-nspawn --register=no --keep-unit -q -D "$root" --pipe \
        -E DEBIAN_FRONTEND=noninteractive "${@:2}" </dev/null
}

started=$SECONDS
if [ ! -e "$root/.complete" ]; then
    rm -rf "$root" "$root.partial"
    if ! timeout 1200 debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus \
        "$SUITE" "$root.partial" ${mirror:+"$mirror"} >"$work/debootstrap.log" 2>&1; then
        rm -rf "$root.partial"
        skip "Debian's packages cannot be downloaded (debootstrap: $(tail -n 1 "$work/debootstrap.log"))"
    fi
    # The same suites as the host (updates, security), so the root is what a
    # Debian 12 machine kept up to date has.
    sources=$(awk -v s="$SUITE" '$2 ~ "^" s "(-updates|-security)?$" {print "deb " $1 " " $2 " main"}' <<<"$mirrors")
    [ -n "$sources" ] && printf '%s\n' "$sources" >"$root.partial/etc/apt/sources.list"
    mv "$root.partial" "$root"
    touch "$root/.complete"
    say "ok   Debian 12 root made in $((SECONDS - started)) s (build/service-check/debian-12, kept for later runs)"
else
    say "ok   Debian 12 root from build/service-check/debian-12"
fi

if ! out=$(in_root 60 /bin/true 2>&1); then
    skip "systemd-nspawn cannot run here: $(gist "$out" 1)"
fi

# The package's dependencies, into the kept root: nothing to fetch when
# they are there already.
depends=$(for deb in "$run"/*.deb; do dpkg-deb -f "$deb" Depends; done | paste -sd, -)
started=$SECONDS
if in_root 600 apt-get satisfy -y -q --no-install-recommends "$depends" >"$work/dependencies.log" 2>&1; then
    newly=$(grep -m 1 -E '^[0-9]+ upgraded, [0-9]+ newly installed' "$work/dependencies.log")
    [[ $newly == "0 upgraded, 0 newly installed"* ]] || say "ok   the package's dependencies: $newly"
else
    if ! in_root 600 apt-get update -q >>"$work/dependencies.log" 2>&1; then
        skip "Debian's packages cannot be downloaded (apt-get update in the root failed, see build/service-check/dependencies.log)"
    fi
    if ! in_root 120 apt-get satisfy -s -q "$depends" >>"$work/dependencies.log" 2>&1; then
        fail "the package's dependencies cannot be met on Debian 12: $depends (see build/service-check/dependencies.log)"
    fi
    if ! in_root 600 apt-get satisfy -y -q --no-install-recommends "$depends" >>"$work/dependencies.log" 2>&1; then
        skip "Debian's packages cannot be downloaded (the package's dependencies, see build/service-check/dependencies.log)"
    fi
    say "ok   the package's dependencies installed into the root in $((SECONDS - started)) s"
fi
in_root 120 apt-get clean >/dev/null 2>&1

# The unit that runs the steps once the container has booted, then powers
# it off whatever they found.
cp "$0" "$run/service-check.sh"
cp "$(dirname "$0")/scripted-pilots.pl" "$run/scripted-pilots.pl"
cat >"$root/etc/systemd/system/ventoro-service-check.service" <<EOF
[Unit]
Description=Ventoro package and service check
After=multi-user.target
ConditionPathExists=/check/service-check.sh
SuccessAction=poweroff
FailureAction=poweroff

[Service]
Type=oneshot
ExecStart=/bin/bash /check/service-check.sh --inside /check
TimeoutStartSec=$((CONTAINER_SECONDS - 60))

[Install]
WantedBy=multi-user.target
EOF
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -sf ../ventoro-service-check.service "$root/etc/systemd/system/multi-user.target.wants/ventoro-service-check.service"

started=$SECONDS
timeout --kill-after=20 "$CONTAINER_SECONDS" systemd-nspawn --register=no --keep-unit -q -D "$root" \
    --volatile=overlay --private-network --bind="$run:/check" -b \
    >"$run/console.log" 2>&1 </dev/null &
nspawn_pid=$!
wait "$nspawn_pid"
container_status=$?
nspawn_pid=""
elapsed=$((SECONDS - started))

failed=0
if [ ! -s "$run/report" ]; then
    # Steps that started and wrote nothing are a fault of the check; a
    # container that never got as far is a limit of this machine.
    if grep -q "Ventoro package and service check" "$run/console.log"; then
        fail "the steps ran but reported nothing (container status $container_status), see build/service-check/run/console.log"
    fi
    skip "systemd-nspawn could not boot the Debian 12 root here (status $container_status): $(gist "$(cat "$run/console.log")" 1)"
fi
while IFS= read -r line; do
    [ "$line" = finished ] && continue
    say "$line"
    [[ $line == FAIL* ]] && failed=1
done <"$run/report"
if ! grep -qx finished "$run/report"; then
    say "FAIL the steps did not finish within $CONTAINER_SECONDS s (container status $container_status)"
    failed=1
fi
say "container booted, checked and powered off in $elapsed s; the service's journals: build/service-check/run/journal-*.txt"
if ((failed)); then
    say "FAIL (report: build/service-check/run/report)"
    exit 1
fi
say "passed"
