# Engine faults within the contract: failure messages of every length the
# buffer can hold (and past what the contract allows), with and without
# newlines; an engine that makes many results and keeps none; calls with
# many arguments.  The raised text always ends in exactly one added newline
# at most, never reads past the buffer, and the module's own allocations
# (argument buffers, reader blocks) are all freed.

use strict;
use warnings;
use Test::More;
use PlotruneTest;
use PlotruneStress;

my $M = load();
my $call = \&{"${M}::callMethod"};

# The contract's limit: a message of at most this many bytes, NUL, one spare.
my $size = 1032;
my $longest = $size - 2;

# What Perl should get for an engine message of the given bytes: cut to the
# longest the buffer allows, then one newline added unless it ends in one.
sub raised_for {
    my ($message) = @_;
    my $text = substr $message, 0, $longest;
    return $text =~ /\n\z/ ? $text : "$text\n";
}

my @shapes = (
    # what it shows                             message of length n (n >= 1)
    [ 'all "x"',                                 sub { 'x' x $_[0] } ],
    [ 'ending in a newline',                     sub { ('y' x ($_[0] - 1)) . "\n" } ],
    [ 'a newline in the middle',                 sub { my $h = int($_[0] / 2); ('a' x $h) . "\n" . ('b' x ($_[0] - $h - 1)) } ],
    [ 'only newlines',                           sub { "\n" x $_[0] } ],
);

{
    # failFill writes n bytes of 'x' straight into the buffer; at n = 1032
    # it leaves no NUL at all.  The checked build raises the last two as
    # breaches.
    my @wrong;
    for my $n (0 .. $size) {
        my $ok = eval { $call->('failFill', $n); 1 };
        my $want = raised_for('x' x $n);
        my $right = checked() && $n > $longest ? $@ =~ breach('runMethod', 'failFill') : $@ eq $want;
        push @wrong, "$n (got " . ($ok ? 'no error' : length($@) . ' bytes') . ')' if $ok || !$right;
    }
    is("@wrong", '', "$M: failFill of every length 0..$size: the message is cut to $longest bytes and ends in one newline");
}

for my $shape (@shapes) {
    my ($what, $make) = @$shape;
    my @wrong;
    for my $n (1 .. $size + 8) {
        my $message = $make->($n);
        my $ok = eval { $call->('fail', $message); 1 };
        push @wrong, $n if $ok || $@ ne raised_for($message);
    }
    is("@wrong", '', "$M: engine messages $what, of every length 1.." . ($size + 8) . ": raised as the contract says");
}
is($call->('num', 2.5), 2.5, "$M: after some four thousand failures the next call works");

# ------------------------------------------------- a null result

{
    my @got = ('before', $call->('nullResult'), 'after');
    is_deeply(\@got, [ 'before', undef, 'after' ],
              "$M: an engine that reports success with a null result slot gives undef in its slot");
    my @many = ('before', $call->('nullResult', (1) x 20), 'after');
    is_deeply(\@many, [ 'before', undef, 'after' ], "$M: ... with arguments beyond the frame too");
}

# ------------------------------------------------- results made and dropped

for my $n (0, 1, 100_000) {
    is($call->('makeMany', $n), $n, "$M: an engine that makes $n pairs of results and keeps none still returns its own");
}

SKIP: {
    skip 'no resident size to watch here (under valgrind or ASan, or no /proc): the memcheck and sanitizer runs cover leaks', 3
        unless defined resident_kb();

    my $grew = growth_kb(sub { $call->('makeMany', 10_000) }, 20);
    cmp_ok($grew, '<', 1024,
           "$M: 20 calls making 20000 scalars each and keeping none: the resident size grows by less than 1 MB (grew ${grew} KB)");

    my @args = ('nop', (1) x 1000);
    $grew = growth_kb(sub { $call->(@args) for 1 .. 100 }, 20);
    cmp_ok($grew, '<', 1024,
           "$M: 2000 calls with 1001 arguments: the argument buffers are freed (grew ${grew} KB)");

    my @values = map { $_ / 7 } 1 .. 10_000;
    $grew = growth_kb(sub {
        $call->('sumArray', \@values);
        $call->('newDoubleArray', \@values, 5000);
        $call->('countStringArray', \@values);
        $call->('countIntArray', \@values);
    }, 50);
    cmp_ok($grew, '<', 1024,
           "$M: 200 reads of a 10000-element array and 50 arrays made: every block is released (grew ${grew} KB)");
}

done_testing();
