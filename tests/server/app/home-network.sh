#!/bin/sh
# A home network in network namespaces, for the test of pilots behind a
# router. "up TAG" makes TAG-srv (the server, 198.51.100.2), TAG-rtr (a
# router that masquerades as 198.51.100.1) and TAG-a, TAG-b (two pilots,
# 192.0.2.2 and 192.0.2.6, each on its own link behind the router), after
# removing what runs killed before their end left behind; "down TAG"
# removes them. Test-net addresses only. Needs root, iproute2 and nftables.
set -e
PATH=/usr/sbin:/sbin:$PATH
tag=$2
if [ "$1" = down ]; then
    for ns in srv rtr a b; do ip netns del "$tag-$ns" 2>/dev/null || true; done
    exit 0
fi
for ns in $(ip netns list | cut -d' ' -f1); do
    case $ns in vnt-nat-*) pid=${ns#vnt-nat-}; [ -d "/proc/${pid%%-*}" ] || ip netns del "$ns" ;; esac
done
for ns in srv rtr a b; do
    ip netns add "$tag-$ns"
    ip -n "$tag-$ns" link set lo up
done
# A link from the router (its end $1) to eth0 of namespace $2, addressed $3 and $4.
link() {
    ip -n "$tag-rtr" link add "$1" type veth peer name eth0 netns "$tag-$2"
    ip -n "$tag-rtr" addr add "$3" dev "$1"
    ip -n "$tag-$2" addr add "$4" dev eth0
    ip -n "$tag-rtr" link set "$1" up
    ip -n "$tag-$2" link set eth0 up
}
link wan srv 198.51.100.1/24 198.51.100.2/24
link lana a 192.0.2.1/30 192.0.2.2/30
link lanb b 192.0.2.5/30 192.0.2.6/30
ip -n "$tag-a" route add default via 192.0.2.1
ip -n "$tag-b" route add default via 192.0.2.5
ip netns exec "$tag-rtr" sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'
ip netns exec "$tag-rtr" nft -f - <<'RULES'
table ip nat {
    chain postrouting {
        type nat hook postrouting priority srcnat;
        oifname "wan" masquerade
    }
}
RULES
