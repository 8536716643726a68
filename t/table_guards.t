# What every routine of the table does with the engine's wrong arguments:
# null pointers, a negative count, pointers it never lent, a lent text
# written into.  The normal build gives a defined result (a status of 0,
# an empty value, nothing freed) and never crashes; the checked build names
# each breach.  Also what reaches Perl from the message buffer, and a method
# name that the engine would read only in part.  Driven by the probe engine.

use strict;
use warnings;
use Test::More;
use PlotruneTest;

my $M = load_probe();
my $call = \&{"${M}::callMethod"};
my $p = qr/0x[0-9a-f]+|\(nil\)/;

# Each case: what it shows, the call, what the normal build answers, and the
# checked build's breach: the routine and the rest of its message.
my @cases;
for my $r ([ getDouble => 'value read', 2, 1.5 ], [ getInt => 'value read', 2, 7 ], [ getBool => 'value read', 2, 1 ],
           [ getString => 'text read', 2, 'text' ], [ getStringArray => 'block read', 2, [ 'a' ] ],
           [ 'getDoubleArray count' => 'count read', 3, [ 1.5 ] ], [ getIntArray => 'block read', 2, [ 1 ] ]) {
    my ($routine, $what, $position, $value) = @$r;
    (my $name = $routine) =~ s/ .*//;
    push @cases, [ "$routine with a null place for the $what", [ 'nullPlace', $routine, $value ], 0,
                   $name, qr/a null pointer for the \Q$what\E \(argument $position\)/ ];
}
for my $r ([ newDouble => 2 ], [ newInt => 2 ], [ newBool => 2 ], [ newString => 2 ], [ newBinary => 3 ],
           [ newDoubleArray => 3 ]) {
    my ($routine, $position) = @$r;
    push @cases, [ "$routine with a null place for the scalar made", [ 'nullPlace', $routine ], 0,
                   $routine, qr/a null pointer for the scalar made \(argument $position\)/ ];
}
for my $routine (qw(getDouble getInt getString getIntArray)) {
    push @cases, [ "$routine of a null scalar handle", [ 'nullScalar', $routine ], 0,
                   $routine, qr/a null scalar handle \(only getBool takes one\)/ ];
}
push @cases,
    [ 'newDoubleArray of no values with the count 3', [ 'newDoubleArrayOf', 3, 'null' ], [],
      'newDoubleArray', qr/no values \(a null pointer\) with the count 3/ ],
    [ 'newDoubleArray with the count -2', [ 'newDoubleArrayOf', -2 ], [],
      'newDoubleArray', qr/a negative count, -2/ ],
    [ 'releaseString of a text never lent', [ 'releaseForeign', 'releaseString' ], 1,
      'releaseString', qr/the pointer $p was not lent by getString in this call/ ];
for my $r ([ releaseStringArray => 'getStringArray' ], [ releaseDoubleArray => 'getDoubleArray' ],
           [ releaseIntArray => 'getIntArray' ]) {
    my ($routine, $reader) = @$r;
    push @cases, [ "$routine of memory never lent", [ 'releaseForeign', $routine ], 1,
                   $routine, qr/the pointer $p was not handed out by $reader in this call/ ];
}
my $written = qr/the text $p that getString lent was written to by the engine \(a lent text is Perl's, to be read only\)/;
push @cases,
    [ 'a lent text written into, then released', [ 'writeLent', 'lent' . 'text', 'release' ], 1,
      'releaseString', $written ],
    [ 'a lent text written into, kept to the end of the call', [ 'writeLent', 'lent' . 'text' ], 1,
      'getString', $written ];

for my $case (@cases) {
    my ($what, $args, $normal, $routine, $rest) = @$case;
    my @args = @$args;
    my $got = eval { $call->(@args) };
    if (checked()) {
        like($@, qr/${\ breach($routine, $args[0])}$rest\n\z/, "$M: $what: the checked build names the breach");
    } elsif (ref $normal) {
        is_deeply($got, $normal, "$M: $what: a defined result") or diag("error: $@");
    } else {
        is($got, $normal, "$M: $what: a defined result") or diag("error: $@");
    }
    is($call->('num', 2.5), 2.5, "$M: $what: the next call works");
}

# ------------------------------------------------------------ messages

{
    # A long message first, so that the buffer's bytes are not zero by
    # chance when the unterminated one follows in the same place.
    eval { $call->('failFill', 1030) };
    my $ok = eval { $call->('failUnterminated', 10); 1 };
    if (checked()) {
        like($@, qr/${\ breach('runMethod', 'failUnterminated')}the failure message has no terminator within the 1032-byte buffer\n\z/,
             "$M: a message without a terminator: the checked build names it");
    } else {
        is($ok ? 'no error' : $@, ('u' x 10) . "\n", "$M: a message without a terminator: only the bytes the engine wrote");
    }
}

# ------------------------------------------------------------ method names

for my $name ("num\0evil", "num\0") {
    (my $shown = $name) =~ s/\0/\\0/g;
    my $ok = eval { $call->($name, 7); 1 };
    is($ok ? 'no error' : $@,
       qq{$M: callMethod: the method name holds a NUL byte after "num", so the engine would run "num": refused\n},
       "$M: method name \"$shown\": refused before the engine runs");
}
is($call->('num', 7), 7, "$M: a method name without a NUL still runs");

done_testing();
