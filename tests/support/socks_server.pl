#!/usr/bin/perl
# A SOCKS 4, 4a and 5 proxy for the tests (tests/support/proxy_daemons.cpp),
# built on IO::Socket::Socks: dante, the main SOCKS fixture, does not
# understand SOCKS 4a. CONNECT only, no authentication, loopback
# destinations only, one process per client. Runs in the foreground until it
# is terminated.
#
# Usage: socks_server.pl HOST PORT

use strict;
use warnings;

BEGIN {
    # The fixture looks for this sentence to report the module as missing.
    unless (eval { require IO::Socket::Socks; 1 }) {
        print STDERR "IO::Socket::Socks is not installed\n";
        exit 3;
    }
}
use IO::Socket::Socks qw(:constants $SOCKS_ERROR);
use IO::Socket::IP;
use IO::Select;
use Socket qw(SHUT_WR);

my ($host, $port) = @ARGV;
die "usage: $0 HOST PORT\n" unless defined $port;
$| = 1;
$SIG{CHLD} = 'IGNORE';  # reap every client process

my $server = IO::Socket::Socks->new(
    ProxyAddr    => $host,
    ProxyPort    => $port,
    Listen       => 32,
    ReuseAddr    => 1,
    SocksVersion => [4, 5],
    SocksResolve => 1,   # SOCKS 4a host names; SOCKS 5 host names as given
    Timeout      => 10,  # a client that stalls the handshake is dropped
) or die "cannot listen on $host:$port: $SOCKS_ERROR\n";
print STDERR "listening on $host:$port\n";

while (1) {
    my $client = $server->accept();
    next unless $client;  # a failed handshake; the module has answered it
    my $pid = fork();
    if (!defined $pid) {
        $client->close();
        next;
    }
    if ($pid == 0) {
        $server->close();
        serve($client);
        exit 0;
    }
    $client->close();
}

sub refuse {
    my ($client, $version, $to_host, $to_port) = @_;
    $client->command_reply($version == 4 ? REQUEST_FAILED : REPLY_GENERAL_FAILURE,
                           '0.0.0.0', 0);
    $client->close();
}

sub serve {
    my ($client) = @_;
    my $version = $client->version();
    my ($command, $to_host, $to_port) = @{ $client->command() };
    print STDERR "SOCKS $version command $command to $to_host:$to_port\n";
    if ($command != CMD_CONNECT) {
        return refuse($client, $version);
    }
    my $target = IO::Socket::IP->new(PeerHost => $to_host, PeerPort => $to_port,
                                     Timeout => 10);
    if (!$target) {
        print STDERR "connect to $to_host:$to_port failed: $@\n";
        return refuse($client, $version);
    }
    my $peer = $target->peerhost();
    if ($peer !~ /^127\./ && $peer ne '::1') {
        print STDERR "refused: $peer is not a loopback address\n";
        $target->close();
        return refuse($client, $version);
    }
    my $bound = $target->sockhost();
    $bound = '0.0.0.0' if $version == 4 && $bound !~ /^\d+\.\d+\.\d+\.\d+$/;
    $client->command_reply($version == 4 ? REQUEST_GRANTED : REPLY_SUCCESS, $bound,
                           $target->sockport());
    relay($client, $target);
}

# Copies both ways until both directions have ended; an end of one direction
# is passed on as a half-close.
sub relay {
    my ($client, $target) = @_;
    my %other = ($client => $target, $target => $client);
    my $selector = IO::Select->new($client, $target);
    while ($selector->count() > 0) {
        for my $from ($selector->can_read()) {
            my $read = sysread($from, my $data, 65536);
            if (!$read) {
                $selector->remove($from);
                shutdown($other{$from}, SHUT_WR);
                next;
            }
            my $to = $other{$from};
            my $written = 0;
            while ($written < $read) {
                my $n = syswrite($to, $data, $read - $written, $written);
                return unless defined $n;
                $written += $n;
            }
        }
    }
}
