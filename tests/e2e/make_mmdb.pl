#!/usr/bin/perl
# Writes a small MMDB database for the tests, from JSON on standard input:
#   {"type": "City", "records": [{"network": "100.128.0.0/16", "data": {...}}, ...]}
# with Debian's MMDB writer (libmaxmind-db-writer-perl). An IPv6 tree: IPv4 networks land in its
# IPv4 subtree, where readers look IPv4 addresses up. Usage: make_mmdb.pl OUT.mmdb < networks.json
use strict;
use warnings;
use JSON::PP;
use MaxMind::DB::Writer::Tree;

my %types = (
    autonomous_system_number       => 'uint32',
    autonomous_system_organization => 'utf8_string',
    city                           => 'map',
    continent                      => 'map',
    country                        => 'map',
    en                             => 'utf8_string',
    geoname_id                     => 'uint32',
    iso_code                       => 'utf8_string',
    names                          => 'map',
    subdivisions                   => [ 'array', 'map' ],
);

my $input = decode_json(do { local $/; <STDIN> });
my $tree = MaxMind::DB::Writer::Tree->new(
    ip_version               => 6,
    record_size              => 28,
    database_type            => "palvex-Test-$input->{type}",
    languages                => ['en'],
    description              => { en => 'palvexd test database' },
    map_key_type_callback    => sub { $types{ $_[0] } },
    remove_reserved_networks => 0,    # the tests' addresses are documentation and shared ranges
);
$tree->insert_network($_->{network}, $_->{data}) for @{ $input->{records} };
open(my $out, '>:raw', $ARGV[0]) or die "$ARGV[0]: $!";
$tree->write_tree($out);
close($out) or die "$ARGV[0]: $!";
