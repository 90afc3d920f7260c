#!/usr/bin/env bash
# A pilot's keep-alive echoes while wrong-password logons flood a server
# whose uplink towards the flood is slow (1 Mbit/s), the pilot's own path
# being fast. Builds three network namespaces of its own (test-net
# addresses only), runs the server in one, the flood in another and the
# pilot's probe in the third, prints what the probe saw, and removes
# everything on the way out. Needs root.
#   bench/limited-uplink.sh [VentoroServer] [ventoro_bench] [seconds]
set -euo pipefail
server=$(realpath "${1:-build/release/bin/VentoroServer}")
bench=$(realpath "${2:-build/release/bench/ventoro_bench}")
seconds=${3:-20}
[ "$(id -u)" = 0 ] || { echo "limited-uplink: needs root"; exit 2; }
tag=vu$$
srv=$tag-srv; pilot=$tag-pilot; flood=$tag-flood
dir=$(mktemp -d)
cleanup() {
    jobs -p | xargs -r kill 2>/dev/null || true
    wait 2>/dev/null || true
    for ns in $srv $pilot $flood; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT

for ns in $srv $pilot $flood; do ip netns add "$ns"; ip -n "$ns" link set lo up; done
ip link add "$tag-sp" netns "$srv" type veth peer name "$tag-ps" netns "$pilot"
ip link add "$tag-sf" netns "$srv" type veth peer name "$tag-fs" netns "$flood"
ip -n "$srv" addr add 192.0.2.1/24 dev "$tag-sp"
ip -n "$pilot" addr add 192.0.2.2/24 dev "$tag-ps"
ip -n "$srv" addr add 198.51.100.1/24 dev "$tag-sf"
for host in $(seq 10 249); do ip -n "$flood" addr add "198.51.100.$host/24" dev "$tag-fs"; done
for link in "$srv $tag-sp" "$srv $tag-sf" "$pilot $tag-ps" "$flood $tag-fs"; do
    set -- $link; ip -n "$1" link set "$2" up
done
# The server's uplink towards the flood: 1 Mbit/s, 400 ms of queue.
ip netns exec "$srv" tc qdisc add dev "$tag-sf" root tbf rate 1mbit burst 4kb latency 400ms

cp "$server" "$dir/VentoroServer"
printf '[General]\r\nDebug=0\r\nShowScreen=0\r\nConnectPort=1500\r\nReplyToSourcePort=1\r\n' > "$dir/VentoroServer.ini"
printf '[7]\r\nPwd=77\r\nName=Probe\r\n' > "$dir/user.ini"
(cd "$dir" && exec ip netns exec "$srv" env VENTORO_INSTANCE=$tag QT_QPA_PLATFORM=offscreen ./VentoroServer >/dev/null) &
sleep 1
ip netns exec "$flood" "$bench" logon-flood --host 198.51.100.1 --port 1500 --sources 198.51.100.10-249 \
    --rate 5000 --seconds $((seconds + 3)) &
sleep 2
ip netns exec "$pilot" "$bench" echo-probe --host 192.0.2.1 --port 1500 --id 7 --password 77 --handle Probe \
    --seconds "$seconds"
