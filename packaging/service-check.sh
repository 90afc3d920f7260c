#!/usr/bin/env bash
# The package and its service on a fresh Debian 12 under a real systemd.
#
# `make service-check` runs this from the top of the tree. It builds the
# package twice (the second with a higher version, for an upgrade), makes a
# minimal Debian 12 root once with debootstrap (kept in
# build/service-check/debian-12, with the package's dependencies installed
# into it), boots that root with systemd-nspawn (read-only, changes in a
# throw-away overlay, loopback only) and there runs the steps an operator
# would: install, add an account, start, probe, status, reload, upgrade,
# stop, purge. Each step prints one line, "ok" or "FAIL" with what was
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
readonly CONTAINER_SECONDS=420
readonly PILOT_ID=1234 PILOT_PASSWORD=567890 PILOT_HANDLE=Ann

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

step_install() {
    local out
    if ! out=$(timeout 120 dpkg -i "$1" 2>&1); then
        flunk "install $(basename "$1"): $(gist "$out")"
        return 1
    fi
    pass "install $(basename "$1")"
    if ! getent group ventoro >/dev/null; then
        flunk "install: no group ventoro"
        return 1
    fi
    local accounts options
    accounts=$(mode_of /opt/ventoro/user.ini)
    options=$(mode_of /opt/ventoro/VentoroServer.ini)
    if [ "$accounts" = "640 root:ventoro" ] && [ "$options" = "644 root:ventoro" ]; then
        pass "install: group ventoro; user.ini $accounts; VentoroServer.ini $options"
    else
        flunk "install: user.ini $accounts (want 640 root:ventoro), VentoroServer.ini $options (want 644 root:ventoro)"
        return 1
    fi
}

step_account() {
    local out
    if ! out=$(timeout 20 ventoro accounts add "$PILOT_ID" "$PILOT_PASSWORD" "$PILOT_HANDLE" 2>&1); then
        flunk "ventoro accounts add: $(gist "$out")"
        return 1
    fi
    local accounts
    accounts=$(mode_of /opt/ventoro/user.ini)
    if [ "$accounts" != "640 root:ventoro" ]; then
        flunk "ventoro accounts add: user.ini became $accounts"
        return 1
    fi
    pass "ventoro accounts add $PILOT_ID: user.ini still $accounts"
}

# "ventoro status" answers and lists the pilot.
status_lists_pilot() { timeout 10 ventoro status | grep -q -- "$PILOT_HANDLE"; }

probe() {
    timeout 20 ventoro probe 127.0.0.1 --id "$PILOT_ID" --password "$PILOT_PASSWORD" --handle "$PILOT_HANDLE"
}

step_start() {
    local out
    if ! out=$(timeout 60 systemctl enable --now ventoro.service 2>&1); then
        flunk "systemctl enable --now ventoro: $(gist "$out")"
        return 1
    fi
    if ! wait_until 30 timeout 10 ventoro status; then
        flunk "start: ventoro status has no answer after 30 s ($(gist "$last" 1)); $(systemctl show -p ActiveState,SubState,ExecMainStatus,NRestarts ventoro.service | tr '\n' ' ')"
        return 1
    fi
    local pid uid groups gid
    pid=$(main_pid)
    uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")
    groups=$(awk '/^Groups:/ {$1 = ""; print}' "/proc/$pid/status")
    gid=$(getent group ventoro | cut -d: -f3)
    if [ "$uid" = 0 ] || [ -z "$uid" ]; then
        flunk "start: the server runs as uid '$uid', not as a user of its own"
        return 1
    fi
    if ! grep -qw -- "$gid" <<<"$groups"; then
        flunk "start: the server (uid $uid) lacks the group ventoro ($gid); its groups:$groups"
        return 1
    fi
    pass "systemctl enable --now ventoro: active, main PID $pid, uid $uid, group ventoro among its groups, status answers"
}

step_probe() {
    local out
    if ! out=$(probe 2>&1); then
        flunk "ventoro probe$1: $(gist "$out")"
        return 1
    fi
    if ! grep -q "Logon accepted" <<<"$out"; then
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
    if [ ! -s /var/lib/ventoro/log.txt ]; then
        note "after reload: /var/lib/ventoro/log.txt is missing or empty"
    fi
    pass "systemctl reload ventoro: same main PID $after, still active, status still lists $PILOT_HANDLE"
}

step_upgrade() {
    local before after out exe version want accounts
    # An operator's choice that an upgrade must keep.
    chmod a-w /opt/ventoro/user.ini
    before=$(main_pid)
    if ! out=$(timeout 120 dpkg -i "$1" 2>&1); then
        flunk "upgrade to $(basename "$1"): $(gist "$out")"
        return 1
    fi
    version=$(dpkg-query -W -f '${Version}' ventoro)
    want=$(dpkg-deb -f "$1" Version)
    if [ "$version" != "$want" ]; then
        flunk "upgrade: installed version $version, want $want"
        return 1
    fi
    if ! wait_until 30 timeout 10 ventoro status; then
        flunk "upgrade: ventoro status has no answer after 30 s ($(gist "$last" 1))"
        return 1
    fi
    after=$(main_pid)
    exe=$(readlink "/proc/$after/exe")
    if [ "$after" = "$before" ] || [ "$exe" != /opt/ventoro/VentoroServer ]; then
        flunk "upgrade: main PID $before before, $after after, running $exe"
        return 1
    fi
    pass "upgrade to $version: restarted, main PID $before -> $after, running $exe"
    accounts=$(mode_of /opt/ventoro/user.ini)
    if [ "$accounts" != "440 root:ventoro" ] || ! ventoro accounts list | grep -q -- "$PILOT_HANDLE"; then
        flunk "upgrade: user.ini is $accounts (the operator made it 440 root:ventoro) or lost $PILOT_HANDLE"
        return 1
    fi
    pass "upgrade kept user.ini ($accounts, as the operator set it) and the account of $PILOT_HANDLE"
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
    journalctl -u ventoro.service -o short-monotonic --no-pager >"$1/journal.txt" 2>&1
    local noise restarts
    noise=$(journalctl -u ventoro.service -o cat --no-pager | grep -i -E 'QStandardPaths|fontconfig' \
        | sort | uniq -c | sed -E 's/^ *([0-9]+) (.*)/\2 (\1 times)/')
    if [ -n "$noise" ]; then
        while IFS= read -r line; do note "journal: $line"; done <<<"$noise"
    else
        pass "journal: no QStandardPaths or fontconfig lines"
    fi
    restarts=$(journalctl -u ventoro.service -o cat --no-pager | grep -c -E 'status=217|Failed with result|Scheduled restart')
    if [ "$restarts" != 0 ]; then
        flunk "journal: $restarts lines of failure or restart"
    fi
}

step_purge() {
    local out left=""
    if ! out=$(timeout 60 dpkg -P ventoro 2>&1); then
        flunk "dpkg -P ventoro: $(gist "$out")"
        return 1
    fi
    for path in /opt/ventoro/user.ini /opt/ventoro/VentoroServer.ini /opt/ventoro /var/lib/ventoro \
        /var/lib/private/ventoro /etc/logrotate.d/ventoro /etc/systemd/system/multi-user.target.wants/ventoro.service; do
        if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
    done
    getent group ventoro >/dev/null && left="$left group:ventoro"
    if [ -n "$left" ]; then
        flunk "dpkg -P ventoro left behind:$left"
        return 1
    fi
    pass "dpkg -P ventoro: settings, accounts, /var/lib/ventoro, unit link and group ventoro gone"
}

inside() {
    local dir=$1
    report=$dir/report
    : >"$report"
    export DEBIAN_FRONTEND=noninteractive
    local first second
    first=$(cat "$dir/first")
    second=$(cat "$dir/second")
    step_install "$dir/$first" \
        && step_account \
        && step_start \
        && step_probe "" \
        && step_reload \
        && step_upgrade "$dir/$second" \
        && step_probe " after the upgrade" \
        && step_stop
    local completed=$?
    step_journal "$dir"
    ((completed == 0)) && step_purge
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

# The package as released, and the same again with a higher version.
if ! out=$("$make" --no-print-directory -C "$top" package 2>&1); then
    printf '%s\n' "$out" | tail -n 20
    fail "make package"
fi
first=$(sed -n 's/^Built //p' <<<"$out" | tail -n 1)
[ -f "$top/$first" ] || fail "make package: no package named in its output"
version=$(dpkg-deb -f "$top/$first" Version)
rm -rf "$run"
mkdir -p "$run"
cp "$top/$first" "$run/"
if ! out=$(cd "$top/build/release" && cpack -D "CPACK_PACKAGE_VERSION=$version+servicecheck" \
    -D "CPACK_OUTPUT_FILE_PREFIX=$run" 2>&1); then
    printf '%s\n' "$out" | tail -n 20
    fail "cpack of the upgrade package"
fi
second=$(basename "$(ls "$run"/ventoro_"$version"+servicecheck_*.deb)")
basename "$first" >"$run/first"
echo "$second" >"$run/second"
say "ok   packages built: $(basename "$first"), $second"

# `make install` into a scratch tree, twice: a new user.ini is not readable
# by others, and a mode the operator chose survives the second install.
prefix=$work/install
rm -rf "$prefix"
install_tree() { cmake --install "$top/build/release" --prefix "$prefix" >"$work/install.log" 2>&1; }
if ! install_tree; then
    fail "make install into build/service-check/install: $(gist "$(cat "$work/install.log")")"
fi
accounts=$(stat -c %a "$prefix/opt/ventoro/user.ini")
chmod 0400 "$prefix/opt/ventoro/user.ini"
install_tree
kept=$(stat -c %a "$prefix/opt/ventoro/user.ini")
rm -rf "$prefix"
if [ "$accounts" != 640 ] || [ "$kept" != 400 ]; then
    fail "make install: user.ini made with mode $accounts (want 640), an operator's 400 became $kept"
fi
say "ok   make install: user.ini made with mode 640; an existing one keeps its mode"

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
depends=$(dpkg-deb -f "$run/$second" Depends)
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
say "container booted, checked and powered off in $elapsed s; its journal of the service: build/service-check/run/journal.txt"
if ((failed)); then
    say "FAIL (report: build/service-check/run/report)"
    exit 1
fi
say "passed"
