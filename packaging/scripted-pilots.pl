#!/usr/bin/perl
# Two scripted pilots for the service check, with nothing but perl-base.
#
#   scripted-pilots.pl logon PORT ID1 PASSWORD1 HANDLE1 ID2 PASSWORD2 HANDLE2
#       logs both on from 127.0.0.2 and 127.0.0.3 (answers come to port
#       1501 of each), sends each one's aircraft details, and prints
#       "ids SERVERID1 SERVERID2".
#   scripted-pilots.pl fly PORT SECONDS SERVERID1 SERVERID2
#       flies both without a new logon: flight data at 20 Hz with a
#       sequence number, a keep-alive a second; then prints one line: the
#       longest gap in what each received from the other, how many of the
#       records sent in that gap were relayed, what came after it, and any
#       logon answer or roster change seen (there should be none).
use strict;
use warnings;
use IO::Socket::INET;
use IO::Select;

my ($mode, $port) = (shift, shift);
my @addresses = ('127.0.0.2', '127.0.0.3');

sub now_ms {
    open(my $f, '<', '/proc/uptime') or die "uptime: $!";
    my ($up) = split ' ', scalar <$f>;
    return int($up * 1000);
}

sub record {
    my ($class, $type, $sender, $body) = @_;
    my $bytes = pack('l<l<l<l<', $class, $type, $sender, 0) . ($body // '');
    return substr($bytes . ("\0" x 128), 0, 128);
}

my @pilots = map {
    IO::Socket::INET->new(Proto => 'udp', LocalAddr => $_, LocalPort => 1501, ReuseAddr => 1)
        or die "bind $_:1501: $!";
} @addresses;
my $select = IO::Select->new(@pilots);

sub send_to_server { my ($pilot, $bytes) = @_; $pilot->send($bytes, 0, pack_sockaddr_in($port, inet_aton('127.0.0.1'))); }

# Every datagram that arrives within $ms, as [pilot index, type, bytes, time].
sub receive_for {
    my ($ms) = @_;
    my @got;
    my $until = now_ms() + $ms;
    while ((my $left = $until - now_ms()) > 0) {
        for my $socket ($select->can_read($left / 1000)) {
            my $bytes;
            $socket->recv($bytes, 2048);
            my $index = $socket == $pilots[0] ? 0 : 1;
            push @got, [$index, unpack('x4l<', $bytes), $bytes, now_ms()];
        }
    }
    return @got;
}

if ($mode eq 'logon') {
    my @accounts = ([@ARGV[0 .. 2]], [@ARGV[3 .. 5]]);
    my @ids;
    for my $i (0, 1) {
        my ($id, $password, $handle) = @{$accounts[$i]};
        my $text = join('', map { pack('v', ord) } split //, sprintf('%-20s', $handle));
        send_to_server($pilots[$i], record(0, 1001, 0, pack('l<l<', $id, $password) . $text));
        for my $got (receive_for(2000)) {
            $ids[$i] = unpack('x16l<', $got->[2]) if $got->[0] == $i && $got->[1] == 1002;
        }
        die "pilot $handle: no logon answer\n" unless $ids[$i];
        send_to_server($pilots[$i], record(1, 4110, $ids[$i], 'aircraft'));
    }
    receive_for(500);
    print "ids $ids[0] $ids[1]\n";
    exit 0;
}

die "usage: scripted-pilots.pl logon|fly ...\n" unless $mode eq 'fly';
my ($seconds, @ids) = @ARGV;
my (@sent, @arrivals, %echoes, %unexpected);   # $sent[i][seq] = ms; $arrivals[i] = [[seq, ms] ...]
my ($sequence, $next_keepalive) = (0, 0);
my $end = now_ms() + $seconds * 1000;
while (now_ms() < $end) {
    ++$sequence;
    for my $i (0, 1) {
        send_to_server($pilots[$i], record(1, 4121, $ids[$i], pack('l<', $sequence)));
        $sent[$i][$sequence] = now_ms();
        send_to_server($pilots[$i], record(0, 1006, $ids[$i])) if now_ms() >= $next_keepalive;
    }
    $next_keepalive = now_ms() + 1000 if now_ms() >= $next_keepalive;
    for my $got (receive_for(50)) {
        my ($i, $type, $bytes, $at) = @$got;
        if ($type == 4121) { push @{$arrivals[$i]}, [unpack('x16l<', $bytes), $at]; }
        elsif ($type == 1006) { push @{$echoes{$i}}, $at; }
        else { $unexpected{$type}++; }
    }
}

my @parts;
for my $i (0, 1) {
    my $from = 1 - $i;
    my @got = @{$arrivals[$i] // []};
    my ($gap, $before, $after) = (0, 0, 0);
    for my $k (1 .. $#got) {
        my $interval = $got[$k][1] - $got[$k - 1][1];
        ($gap, $before, $after) = ($interval, $k - 1, $k) if $interval > $gap;
    }
    my ($in_gap, $relayed, $after_count, $echoes_after) = (0, 0, 0, 0);
    if (@got > 1) {
        my ($from_ms, $to_ms) = ($got[$before][1], $got[$after][1]);
        my %seen = map { $_->[0] => 1 } @got;
        for my $seq (1 .. $sequence) {
            my $at = $sent[$from][$seq] // next;
            next unless $at > $from_ms && $at < $to_ms;
            ++$in_gap;
            ++$relayed if $seen{$seq};
        }
        $after_count = @got - $after;
        $echoes_after = grep { $_ > $to_ms } @{$echoes{$i} // []};
    }
    push @parts, sprintf('pilot %d: %d of %d records from the other, longest gap %d ms (sequence %d to %d), '
                         . 'sent in the gap %d, relayed %d; after it %d records and %d keep-alive echoes',
                         $ids[$i], scalar(@got), $sequence, $gap, @got ? $got[$before][0] : 0,
                         @got ? $got[$after][0] : 0, $in_gap, $relayed, $after_count, $echoes_after);
}
my $odd = join(', ', map { "type $_ x$unexpected{$_}" } sort keys %unexpected) || 'none';
print join('; ', @parts), "; other records: $odd\n";
