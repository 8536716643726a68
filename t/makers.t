# Makers: the scalars the engine makes for Perl, from raw engine values (so
# no reader stands between), what they hold, that they are plain and new,
# and that Perl frees them when it does not keep them.

use strict;
use warnings;
use Test::More;
use Scalar::Util qw(blessed readonly refaddr reftype weaken);
use PlotruneTest;
use PlotruneNumbers;

my $M = load();
my $call = \&{"${M}::callMethod"};

# A double as the engine method takes it: its eight bytes in native order.
sub native_hex { unpack 'H16', pack 'd', $_[0] }

# ---------------------------------------------------------- newDouble

my @doubles = (
    [ 'NaN',                         $NAN ],
    [ '+inf',                        $INF ],
    [ '-inf',                        -$INF ],
    [ 'largest finite double',       double_from_bits('7fefffffffffffff') ],
    [ 'most negative finite double', double_from_bits('ffefffffffffffff') ],
    [ 'smallest subnormal',          double_from_bits('0000000000000001') ],
    [ '-0 keeps its sign',           double_from_bits('8000000000000000') ],
    [ 'a value near 1.7e308 is not moved: only readers move values',
      $SENTINELS[0][2] * (1 + 1e-12) ],
    [ '0.1',                         0.1 ],
);
for my $c (@doubles) {
    my ($what, $value) = @$c;
    my $got = $call->('newDoubleBits', native_hex($value));
    ok(same_double($got, $value), "$M: newDouble: $what")
        or diag('expected ' . show_double($value) . ', got ' . show_double($got));
}

# ---------------------------------------------------------- newInt

my @ints = (
    [ '-1',                        '-1',          -1 ],
    [ 'smallest int',              '-2147483648', -2147483648 ],
    [ 'largest int',               '2147483647',  2147483647 ],
    [ '0',                         '0',           0 ],
    [ 'all 32 bits set is -1',     '0xffffffff',  -1 ],
);
for my $c (@ints) {
    my ($what, $text, $want) = @$c;
    my $got = $call->('newInt', $text);
    is($got, $want, "$M: newInt: $what");
    is("$got", "$want", "$M: newInt: $what reads as the integer in text");
}

# ---------------------------------------------------------- newBool

my @bools = (
    [ '0 is false',              '0',          0 ],
    [ '1 is true',               '1',          1 ],
    [ '2 is true',               '2',          1 ],
    [ '255 is true',             '255',        1 ],
    [ '0x80000000 (negative as int) is true', '0x80000000', 1 ],
    [ 'all bits set is true',    '0xffffffff', 1 ],
);
for my $c (@bools) {
    my ($what, $text, $want) = @$c;
    my $got = $call->('newBool', $text);
    is($got + 0, $want, "$M: newBool: $what");
    is("$got", "$want", "$M: newBool: $what, and reads as \"$want\" in text");
}
for my $truth ('0', '1') {
    my @made = map { \ $call->('newBool', $truth) } 1 .. 2;
    isnt(refaddr($made[0]), refaddr($made[1]), "$M: newBool: $truth: a new scalar each time");
    ok(!readonly(${ $made[0] }), "$M: newBool: $truth: not read-only, unlike Perl's shared booleans");
    ok(eval { ${ $made[0] } = 'changed'; 1 } && ${ $made[0] } eq 'changed', "$M: newBool: $truth: can be changed")
        or diag("error: $@");
    is(${ $made[1] }, $truth, "$M: newBool: $truth: changing one leaves the other");
}

# ---------------------------------------------------------- newString and newBinary

my @texts = (
    [ 'newString of a null text is the empty string',            [ 'newStringNull' ],              '' ],
    [ 'newString of the empty text',                             [ 'newString', '' ],              '' ],
    [ 'newString of a text',                                     [ 'newString', 'some text' ],     'some text' ],
    [ 'newString of UTF-8 bytes makes those bytes',              [ 'newString', "\x{263A}" ],      "\xe2\x98\xba" ],
    [ 'newBinary of length 0 without bytes',                     [ 'newBinaryNull', 0 ],           '' ],
    [ 'newBinary of length 0 with bytes there',                  [ 'newBinaryHex', '414243', 0 ],  '' ],
    [ 'newBinary of no bytes',                                   [ 'newBinaryHex', '' ],           '' ],
    [ 'newBinary keeps an inner NUL',                            [ 'newBinaryHex', '410042' ],     "A\0B" ],
    [ 'newBinary keeps a final NUL',                             [ 'newBinaryHex', '414200' ],     "AB\0" ],
    [ 'newBinary takes only the length given',                   [ 'newBinaryHex', '414243', 2 ],  'AB' ],
    # Past what the contract allows: the empty string, or the checked build's error.
    [ 'newBinary of a negative length is the empty string',      [ 'newBinaryHex', '414243', -1 ],
      checked() ? breach('newBinary', 'newBinaryHex') : '' ],
    [ 'newBinary of the most negative length is the empty string', [ 'newBinaryHex', '41', -2147483648 ],
      checked() ? breach('newBinary', 'newBinaryHex') : '' ],
    [ 'newBinary of a null pointer with a length is the empty string', [ 'newBinaryNull', 3 ],
      checked() ? breach('newBinary', 'newBinaryNull') : '' ],
    [ 'newBinary of high bytes makes bytes, not characters',     [ 'newBinaryHex', 'e9ff80' ],     "\xe9\xff\x80" ],
);
for my $c (@texts) {
    my ($what, $args, $want) = @$c;
    if (ref $want) {
        ok(!eval { $call->(@$args); 1 }, "$M: $what: the checked build refuses it");
        like($@, $want, "$M: $what: the checked build names the breach");
        next;
    }
    my $got = $call->(@$args);
    ok(defined $got, "$M: $what: defined");
    is($got, $want, "$M: $what");
    is(length $got, length $want, "$M: $what: length");
    ok(!utf8::is_utf8($got), "$M: $what: no UTF-8 flag");
}

# ---------------------------------------------------------- newDoubleArray

my @arrays = (
    [ 'count 3 gives three numbers in order',       [ 'newDoubleArray', [ 3, -0.5, 1e300 ] ],    [ 3, -0.5, 1e300 ] ],
    [ 'count 2 of 3 gives the first two',           [ 'newDoubleArray', [ 3, -0.5, 1e300 ], 2 ], [ 3, -0.5 ] ],
    [ 'count 0 with values there gives an empty array', [ 'newDoubleArray', [ 1, 2 ], 0 ],      [] ],
    [ 'count -5 with values there gives an empty array', [ 'newDoubleArray', [ 1, 2 ], -5 ],    [] ],
    [ 'no values gives an empty array',             [ 'newDoubleArray', [] ],                   [] ],
    [ 'count 0 with a null pointer gives an empty array',  [ 'newDoubleArrayNull', 0 ],         [] ],
    [ 'count -5 with a null pointer gives an empty array', [ 'newDoubleArrayNull', -5 ],        [] ],
    [ 'special doubles stay as they are',           [ 'newDoubleArray', [ $INF, -$INF, -0.0 ] ], [ $INF, -$INF, -0.0 ] ],
);
for my $c (@arrays) {
    my ($what, $args, $want) = @$c;
    if (checked() && grep { !ref && /^-/ } @$args) {
        # An engine's negative count is a breach the checked build names.
        ok(!eval { $call->(@$args); 1 }, "$M: newDoubleArray: $what: the checked build refuses it");
        like($@, qr/${\ breach('newDoubleArray', $args->[0])}a negative count, -5$/,
             "$M: newDoubleArray: $what: the checked build names the negative count");
        next;
    }
    my $got = $call->(@$args);
    is(reftype($got), 'ARRAY', "$M: newDoubleArray: $what: a reference to an array");
    ok(!defined blessed($got), "$M: newDoubleArray: $what: not blessed");
    my @same = grep { same_double($got->[$_], $want->[$_]) } 0 .. $#$want;
    ok(@$got == @$want && @same == @$want, "$M: newDoubleArray: $what")
        or diag('expected (' . join(', ', map { show_double($_) } @$want) . '), got ('
                . join(', ', map { show_double($_) } @$got) . ')');
}
{
    my $got = $call->('newDoubleArray', [ 1, 2 ]);
    ok(eval { $got->[0] = 'x'; push @$got, 3; 1 }, "$M: newDoubleArray: the array and its elements can be changed")
        or diag("error: $@");
}

# ---------------------------------------------------------- plain and new

my @makers = (
    [ 'newDouble', [ 'newDoubleBits', native_hex(2.5) ] ],
    [ 'newInt',    [ 'newInt', '7' ] ],
    [ 'newBool',   [ 'newBool', '1' ] ],
    [ 'newString', [ 'newString', "\x{263A}" ] ],
    [ 'newString of a null text', [ 'newStringNull' ] ],
    [ 'newBinary', [ 'newBinaryHex', '410042' ] ],
    [ 'newBinary without bytes', [ 'newBinaryNull' ] ],
    [ 'newDoubleArray', [ 'newDoubleArray', [ 1, 2 ] ] ],
);
for my $c (@makers) {
    my ($what, $args) = @$c;
    my $got = \ $call->(@$args);
    ok(!readonly($$got), "$M: $what: the made scalar is not read-only");
    ok(!utf8::is_utf8($$got), "$M: $what: the made scalar has no UTF-8 flag");
    ok(!defined blessed($got), "$M: $what: the made scalar is not blessed");
    isnt(refaddr($got), refaddr(\ $args->[0]), "$M: $what: the result is a new scalar, not the first argument");
}

# ---------------------------------------------------------- mortality

# Not kept, a made scalar goes at the end of the statement that called.
for my $c (@makers) {
    my ($what, $args) = @$c;
    weaken(my $weak = \ $call->(@$args));
    ok(!defined $weak, "$M: $what: a made scalar Perl does not keep is freed after the statement");
}

# Kept, it lives exactly as long as Perl holds it: one reference, no more.
for my $c (@makers) {
    my ($what, $args) = @$c;
    my $strong = \ $call->(@$args);
    weaken(my $weak = $strong);
    ok(defined $weak, "$M: $what: a made scalar Perl keeps outlives the statement");
    undef $strong;
    ok(!defined $weak, "$M: $what: ... and goes with the last reference to it");
}

{
    weaken(my $array = $call->('newDoubleArray', [ 1, 2 ]));
    ok(!defined $array, "$M: newDoubleArray: the array goes with its reference when Perl keeps neither");

    my $kept = $call->('newDoubleArray', [ 1, 2 ]);
    weaken(my $weak_array = $kept);
    weaken(my $weak_element = \ $kept->[1]);
    ok(defined $weak_array && defined $weak_element, "$M: newDoubleArray: a kept array lives on, with its elements");
    undef $kept;
    ok(!defined $weak_array, "$M: newDoubleArray: the array goes with the last reference to it");
    ok(!defined $weak_element, "$M: newDoubleArray: its elements go with it");
}

{
    is($call->('makeMany', 10_000), 10_000, "$M: makeMany: 20,000 unkept scalars in one call");
}

done_testing();
