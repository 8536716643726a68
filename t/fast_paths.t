# Fast paths against general paths: the readers take a scalar's cached field
# directly when it is valid and no get-magic could replace it, the array
# readers read a plain array's cached prefix in place, and callMethod reads
# and writes the stack with few uses of the interpreter.  Each must give
# exactly what the general path gives for the same values.

use strict;
use warnings;
no warnings 'numeric'; # texts read as numbers, on purpose
local $SIG{__WARN__} = sub { warn @_ unless $_[0] =~ /isn't numeric/ };
use Test::More;
use Config;
use Tie::Array;
use Tie::Scalar;
use PlotruneTest;
use PlotruneNumbers qw(to_double);

my $M = load();

# Values whose reads differ by kind: each is read from a plain array (fast
# path), from the same array tied (general path: every element fetched),
# and behind a leading element that leaves the prefix at once (general loop
# on plain elements).
my %lists = (
    Double => [ 0.5, -2.25, 0, 1e300, 1.7e308 + 1e293, -1.6e308 - 1e293, 1.0005e200 - 1e196,
                -1.7e-100 * (1 + 1e-6), 9**9**9, -9**9**9, 3, '4.5', 1.5e308 ],
    Int    => [ 5, -7, 2**40 + 3, -(2**33) - 1, 18446744073709551615, 2147483648, 3.7, '12', -1 ],
    String => [ 'abc', '', '0', 'x' x 100, "\x{e9}t\x{e9}", '1.5', 42, undef, 'end' ],
);
# An element that is not cached for the kind: it starts the general loop.
my %breaker = (Double => '0', Int => '0', String => 0);

sub tied_copy {
    tie my @t, 'Tie::StdArray';
    @t = @{ $_[0] };
    return \@t;
}

sub values_of { read_array(@_)->{values} }

for my $kind (sort keys %lists) {
    my @plain = @{ $lists{$kind} };
    my $fast = values_of($kind, \@plain);
    is_deeply($fast, values_of($kind, tied_copy(\@plain)), "$M: $kind: plain array reads as the same array tied");
    my @broken = ($breaker{$kind}, @plain);
    my $general = values_of($kind, \@broken);
    shift @$general;
    is_deeply($fast, $general, "$M: $kind: cached prefix reads as the general loop");

    # The prefix ends at every position in turn: the handover loses nothing.
    for my $at (0 .. $#plain) {
        my @mixed = @plain;
        splice @mixed, $at, 0, $breaker{$kind};
        my $got = values_of($kind, \@mixed);
        splice @$got, $at, 1;
        is_deeply($got, $fast, "$M: $kind: general from element $at on reads the same") or last;
    }
}

# Values the prefix itself must snap or narrow as the general path does.
my @known = (
    # kind      value                    expected
    [ 'Double', 1.7e308 + 1e293,         1.7e308 ],
    [ 'Double', -1.7e-100 * (1 + 1e-6),  -1.7e-100 ],
    [ 'Double', 1.0005e200 - 1e196,      1e200 ],
    ($Config{ivsize} == 8 ? [ 'Int', 2**40 + 3, 3 ] : ()),    # an integer only where IV has 64 bits
    [ 'Int',    18446744073709551615,    -1 ],
    [ 'Int',    2147483648,              -2147483648 ],
);
for my $case (@known) {
    my ($kind, $value, $expected) = @$case;
    $expected = to_double($expected) if $kind eq 'Double';
    is(values_of($kind, [$value])->[0], $expected, "$M: $kind: cached $value reads as $expected");
}

# ------------------------------------------------------------ scalars

{
    # A tied scalar: FETCH returns the next of its values, so that a reader
    # that skipped the get-magic would show a stale one.
    package Fetcher;
    sub TIESCALAR { my ($class, @v) = @_; return bless { v => \@v, i => 0 }, $class }
    sub FETCH { my $s = shift; return $s->{v}[ $s->{i}++ % @{ $s->{v} } ] }
    sub STORE { }
}

my @scalars = (1.5, -0.25, 7, -(2**35) - 9, 'text', '2.5', '', 1.7e308 + 1e293, 2**31);
for my $value (@scalars) {
    tie my $tied, 'Fetcher', $value;
    is_deeply(read_scalar($tied), read_scalar($value),
              "$M: scalar $value: cached read equals the read through get-magic");
}

{
    tie my $tied, 'Fetcher', 1.5, 2.5, 3.5;
    my @seen = map { call('num', $tied) } 1 .. 3;
    is_deeply(\@seen, [ 1.5, 2.5, 3.5 ], "$M: a magical scalar with cached flags is fetched on every read");
    my @plain = (1.5, 2.5, 3.5);
    tie $plain[1], 'Fetcher', 10, 20;
    is_deeply([ values_of('Double', \@plain), values_of('Double', \@plain) ], [ [ 1.5, 10, 3.5 ], [ 1.5, 20, 3.5 ] ],
              "$M: a magical element of a plain array is fetched on every read");
}

# ------------------------------------------------------------ the stack

{
    # FETCH runs Perl code that needs a deep stack before it answers.
    package Grower;
    sub TIESCALAR { return bless {}, shift }
    sub FETCH { my @many = (1) x 200_000; my $n = () = (@many, @many); return 2.5 }
}

tie my $grower, 'Grower';
my @stack = (
    # what it shows                       arguments                        result
    [ 'nop alone',                          [ 'nop' ],                      'nop' ],
    [ 'num with one',                       [ 'num', 4 ],                   4 ],
    [ '17 items, the frame full',           [ 'num', 4, (9) x 15 ],         4 ],
    [ '18 items, beyond the frame',         [ 'num', 4, (9) x 16 ],         4 ],
    [ '65 items',                           [ 'num', 4, (9) x 63 ],         4 ],
    [ 'num through deep Perl code',         [ 'num', $grower ],             2.5 ],
    [ 'beyond the frame, deep Perl code',   [ 'num', $grower, (9) x 40 ],   2.5 ],
);
for my $case (@stack) {
    my ($what, $args, $expected) = @$case;
    my @got = ('before', call(@$args), 'after');
    is_deeply(\@got, [ 'before', $expected, 'after' ], "$M: $what: one result, in its slot, neighbours intact");
}

{
    my @counts = map { unpack 'l', call() } 1 .. 2;
    is_deeply(\@counts, [ 0, 0 ], "$M: no arguments: one result pushed in the empty frame");
    for my $n (16, 17, 18) {
        my @args = ('inspect', map { "a$_" } 2 .. $n);
        my ($count) = unpack 'l', call(@args);
        is($count, $n, "$M: $n arguments all reach the engine");
    }
}

done_testing();
