# Scalar readers: what the engine gets when it reads one Perl scalar as a
# double, a 32-bit int, a truth value or text, and when get-magic runs.

use strict;
use warnings;
use Test::More;
use Scalar::Util qw(dualvar);
use PlotruneTest;
use PlotruneNumbers;

my $M = load();
my $call = \&{"${M}::callMethod"};

# Converts to false, whatever else it holds.
{
    package FalseObject;
    use overload 'bool' => sub { 0 }, '""' => sub { 'false object' }, fallback => 1;
}

# ---------------------------------------------------------- getDouble

# Just inside an interval: one step off a bound, towards the reserved value.
sub inward {
    my ($bound, $towards) = @_;
    my $step = $towards > $bound ? 2**-52 : -2**-52;
    return $bound > 0 ? $bound * (1 + $step) : $bound * (1 - $step);
}

my @snapped;
for my $s (@SENTINELS) {
    my ($above, $below, $value) = @$s;
    my $at = sprintf '%.4g', $value;
    push @snapped,
        [ "just above the lower bound of $at moves onto it", inward($above, $value), $value ],
        [ "just below the upper bound of $at moves onto it", inward($below, $value), $value ],
        [ "a rounding error off $at moves onto it",          $value * (1 + 1e-12),   $value ],
        [ "the lower bound of $at stays",                    $above,                 $above ],
        [ "the upper bound of $at stays",                    $below,                 $below ];
}

# Numbers that must come back bit for bit as Perl holds them.
my @unchanged = (
    [ '-1.5e308 (no negative interval there)',      -1.5e308 ],
    [ '-1e200 (no negative interval there)',        -1e200 ],
    [ '1.7e-100 (only the negative one is reserved)', 1.7e-100 ],
    [ '1.65e308, between two intervals',            1.65e308 ],
    [ '1e250, past the first gate but in no interval', 1e250 ],
    [ '-1.8e-100, beyond the small interval',       -1.8e-100 ],
    [ '-1.6e-100, inside the bounds of none',       -1.6e-100 ],
    [ 'largest finite double',                      double_from_bits('7fefffffffffffff') ],
    [ 'smallest subnormal',                         double_from_bits('0000000000000001') ],
    [ '0',                                          0 ],
    [ '-0 keeps its sign',                          -0.0 ],
    [ '+inf',                                       $INF ],
    [ '-inf',                                       -$INF ],
    [ 'NaN',                                        $NAN ],
    [ '2.5',                                        2.5 ],
);

for my $c (@snapped, map { [ @$_, $_->[1] ] } @unchanged) {
    my ($what, $value, $want) = @$c;
    my $in = show_double($value);
    my $got = $call->('getDouble', $value);
    ok(same_double($got, $want), "$M: getDouble: $what")
        or diag("read $in: expected " . show_double($want) . ", got " . show_double($got));
}

{
    my $want = $SENTINELS[0][2];
    my $got = $call->('getDouble', '1.7e308');
    ok(same_double($got, $want), "$M: getDouble: the string \"1.7e308\" reads as exactly 1.7e308")
        or diag('expected ' . show_double($want) . ', got ' . show_double($got));
    $got = $call->('getDouble', '-1.6000000001e308');
    ok(same_double($got, $SENTINELS[3][2]), "$M: getDouble: a string a rounding error off -1.6e308 moves onto it")
        or diag('expected ' . show_double($SENTINELS[3][2]) . ', got ' . show_double($got));
    no warnings 'uninitialized';
    $got = $call->('getDouble', undef);
    ok(same_double($got, 0), "$M: getDouble: undef reads as 0") or diag('got ' . show_double($got));
}

# ---------------------------------------------------------- getInt

my @ints = (
    [ '0',                                  0,               0 ],
    [ '-1',                                 -1,              -1 ],
    [ 'largest int',                        2147483647,      2147483647 ],
    [ 'smallest int',                       -2147483648,     -2147483648 ],
    [ '3.7 is cut towards zero',            3.7,             3 ],
    [ '-3.7 is cut towards zero',           -3.7,            -3 ],
    [ 'the string "42"',                    '42',            42 ],
    [ 'the string " -17 " with blanks',     ' -17 ',         -17 ],
    [ '2**31 wraps to the smallest int',    2**31,           -2147483648 ],
    [ 'the largest unsigned reads as -1 (its bits)', ~0,     -1 ],
    [ 'unsigned with low bits 0x80000000',  ~0x7fffffff,     -2147483648 ],
    [ 'unsigned with low bits 0x7fffffff',  ~0x80000000,     2147483647 ],
    [ '!!1, a boolean (from 5.36)',         !!1,             1 ],
    [ '!!0, a boolean (from 5.36)',         !!0,             0 ],
);
push @ints, (
    [ '2**32+1 keeps its low bits',         2**32 + 1,       1 ],
    [ '2**32 has no low bits',              2**32,           0 ],
    [ '2**32+5',                            2**32 + 5,       5 ],
    [ '-2**31-1 wraps to the largest int',  -2**31 - 1,      2147483647 ],
    [ '1e10',                               1e10,            1410065408 ],
    [ 'the string "4294967297"',            '4294967297',    1 ],
) if $IV64;

for my $c (@ints) {
    my ($what, $value, $want) = @$c;
    is($call->('getInt', $value), $want, "$M: getInt: $what");
}
{
    no warnings;
    is($call->('getInt', undef), 0, "$M: getInt: undef reads as 0");
    is($call->('getInt', 'abc'), 0, "$M: getInt: a string that is no number reads as 0");
}

# ---------------------------------------------------------- getBool

# The dual value whose string says false and whose number says true: the 5.18
# builds keep Perl 5.18.0's rule, by which any true value makes it true.
my $dual_rule = $] >= 5.018 && $] < 5.019 ? 1 : 0;

my @bools = (
    [ 'undef',                     undef,               0 ],
    [ 'the empty string',          '',                  0 ],
    [ '"0"',                       '0',                 0 ],
    [ 'integer 0',                 0,                   0 ],
    [ '0.0',                       0.0,                 0 ],
    [ '-0.0',                      -0.0,                0 ],
    [ '"00"',                      '00',                1 ],
    [ '"0.0"',                     '0.0',               1 ],
    [ '" "',                       ' ',                 1 ],
    [ '"0E0"',                     '0E0',               1 ],
    [ '1',                         1,                   1 ],
    [ '-1',                        -1,                  1 ],
    [ '0.5',                       0.5,                 1 ],
    [ 'NaN',                       $NAN,                1 ],
    [ 'an array reference',        [],                  1 ],
    [ 'an object whose bool overload says false', bless({}, 'FalseObject'), 0 ],
    [ 'dual value 0 with string "1"', dualvar(0, '1'),  1 ],
    [ 'dual value 0 with string "0"', dualvar(0, '0'),  0 ],
    [ 'dual value 5 with string "0"', dualvar(5, '0'),  $dual_rule ],
    [ 'dual value 2.5 with string ""', dualvar(2.5, ''), $dual_rule ],
    [ '!!1, a boolean (from 5.36)', !!1,                1 ],
    [ '!!0, a boolean (from 5.36)', !!0,                0 ],
);
push @bools, [ '2**32 (true, though its low 32 bits are 0)', 2**32, 1 ] if $IV64;

for my $c (@bools) {
    my ($what, $value, $want) = @$c;
    is($call->('getBool', $value), $want, "$M: getBool: $what");
}
if ($IV64) {
    my $x = 2**32;
    is($call->('getInt', $x), 0, "$M: getBool: 2**32 as int is 0 ...");
    is($call->('getBool', $x), 1, "$M: getBool: ... and still true as truth value");
}
is($call->('getBoolNull'), 0, "$M: getBool: a null handle reads as false");

# ---------------------------------------------------------- getString

my @texts = (
    [ 'undef reads as empty text',                 undef,                 '' ],
    [ 'the empty string',                          '',                    '' ],
    [ '42 in text',                                42,                    '42' ],
    [ '-2.5 in text',                              -2.5,                  '-2.5' ],
    [ 'text ends at an inner NUL',                 "ab\0cd",              'ab' ],
    [ 'a UTF-8 string gives its UTF-8 bytes',      "\x{263A}x",           "\xe2\x98\xbax" ],
    [ 'a byte string stays bytes',                 "caf\xe9",             "caf\xe9" ],
    [ '!!1, a boolean (from 5.36), reads as "1"',  !!1,                   '1' ],
    [ '!!0, a boolean (from 5.36), reads as ""',   !!0,                   '' ],
);
{
    my $upgraded = "caf\xe9";
    utf8::upgrade($upgraded);
    push @texts, [ 'an upgraded Latin-1 string gives its UTF-8 bytes', $upgraded, "caf\xc3\xa9" ];
}
for my $c (@texts) {
    my ($what, $value, $want) = @$c;
    my $got = $call->('getString', $value);
    is($got, $want, "$M: getString: $what");
}

# The one empty text every undefined scalar reads as.
my $empty = unpack 'L!', $call->('stringAddress', undef);
ok($empty, "$M: getString: the empty text of undef is a real pointer");

{
    my ($never, $cleared, $emptied) = (undef, 'was here', 'x' x 100);
    undef $cleared;
    $emptied = undef;    # keeps its buffer, but no longer says it holds text
    my @undefined = (
        [ 'the undef constant',                     \undef ],
        [ 'a variable never set',                   \$never ],
        [ 'a variable undefined by undef()',        \$cleared ],
        [ 'a variable assigned undef, buffer kept', \$emptied ],
    );
    for my $c (@undefined) {
        my ($what, $ref) = @$c;
        is(unpack('L!', $call->('stringAddress', $$ref)), $empty,
           "$M: getString: $what reads as the same constant empty text");
    }
}

{
    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, $_[0] };
    my $u;
    $call->('getString', $u);
    $call->('stringAddress', $u);
    is(scalar @warnings, 0, "$M: getString: undef raises no warning")
        or diag("warnings: @warnings");
    my $before = @warnings;
    my $control = "$u";    # the same handler sees Perl's own warning for the same read
    is(scalar @warnings - $before, 1, "$M: getString: (control) Perl warns for \"\$u\" under the same handler");
}

# A defined string is lent in place: the engine reads the scalar's own buffer.
{
    my $plain = 'hello';
    my $wide = "\x{263A} wide";
    my $offset = 'abcdefgh';
    substr($offset, 0, 3, '');    # text now starts inside the buffer
    my $number = 12345;
    my $as_text = "$number";      # the number now also holds its text
    my $empty_string = '';
    my @in_place = (
        [ 'a plain string',                  \$plain ],
        [ 'a UTF-8 string',                  \$wide ],
        [ 'a string with its start cut off', \$offset ],
        [ 'a number that holds its text',    \$number ],
        [ 'the empty string',                \$empty_string ],
    );
    for my $c (@in_place) {
        my ($what, $ref) = @$c;
        # Asked first: from 5.42 on, pack 'p' gives a shared string a buffer
        # of its own, which is then the one the engine must be lent.
        my $own = text_address($$ref);
        my $got = unpack 'L!', $call->('stringAddress', $$ref);
        is($got, $own, "$M: getString: $what is read from its own buffer");
        isnt($got, $empty, "$M: getString: $what is not the empty text of undef");
    }
    is(unpack('L!', $call->('stringAddress', $plain)), unpack('L!', $call->('stringAddress', $plain)),
       "$M: getString: reading and releasing leaves the text where it was");
}

# Shared copy-on-write strings are lent where they lie: the engine gets the
# one shared buffer, and reading neither copies, un-shares nor changes them.
SKIP: {
    require B;
    my $flags = sub { B::svref_2object(\$_[0])->FLAGS };
    my $first = 'shared text ' x 8;
    my $second = $first;
    my ($key) = keys %{ { 'a hash key' => 1 } };
    my @copies = ($first, $first);
    skip 'this perl shares no strings between scalars', 4
        unless defined &B::SVf_IsCOW && $flags->($second) & B::SVf_IsCOW();
    my @shared = (\$first, \$second, \$key, \$copies[0], \$copies[1]);
    my @before = map { $flags->($$_) } @shared;
    my $buffer = unpack 'L!', $call->('stringAddress', $first);
    is_deeply([ map { unpack 'L!', $call->('stringAddress', $_) } $second, @copies ], [ ($buffer) x 3 ],
              "$M: getString: copies of a shared string read the one shared buffer");
    is_deeply(read_array('StringAddress', \@copies)->{values}, [ ($buffer) x 2 ],
              "$M: getStringArray: so do elements that share it");
    is_deeply([ map { $call->('getString', $$_) } \$second, \$key ], [ $first, 'a hash key' ],
              "$M: getString: shared strings and hash keys read as their text");
    is_deeply([ map { $flags->($$_) } @shared ], \@before, "$M: reading leaves every shared string as it was, still shared");
}

# ---------------------------------------------------------- get-magic

# Each read of a tied scalar fetches, once.
for my $c ([ 'getDouble', 2.5, 2.5 ], [ 'getInt', 7.9, 7 ], [ 'getBool', '0', 0 ], [ 'getBool', 'abc', 1 ]) {
    my ($method, $value, $want) = @$c;
    my $tie = tie my $t, 'PlotruneTest::CountedScalar', $value;
    is($call->($method, $t), $want, "$M: get-magic: $method of a tied '$value' reads the fetched value");
    is($tie->{fetches}, 1, "$M: get-magic: $method of a tied '$value' fetches once");
}

{
    my $tie = tie my $t, 'PlotruneTest::CountedScalar', 'fetched';
    is($call->('getString', $t), 'fetched', "$M: get-magic: getString of a tie never fetched reads the fetched value");
    is($tie->{fetches}, 1, "$M: get-magic: getString of a tie never fetched fetches once");

    my $seen = $t;    # one fetch: the scalar now shows a value
    $tie->{value} = 'changed';
    is($call->('getString', $t), 'changed', "$M: get-magic: getString of a tie holding a value fetches anew");
    is($tie->{fetches}, 3, "$M: get-magic: that getString fetched once");
    $tie->{value} = undef;
    is(unpack('L!', $call->('stringAddress', $t)), $empty,
       "$M: get-magic: a tie that fetches undef reads as the constant empty text");
}

SKIP: {
    skip 'tied scalars keep value flags after a fetch from Perl 5.18 on', 6 if $] < 5.018;
    # method, value when flags are cached, value behind the tie afterwards, expected read
    my @cached = (
        [ 'getDouble', 1.5, 4.25, 4.25 ],
        [ 'getInt',    11,  12,   12 ],
        [ 'getBool',   1,   0,    0 ],
    );
    for my $c (@cached) {
        my ($method, $first, $second, $want) = @$c;
        my $tie = tie my $t, 'PlotruneTest::CountedScalar', $first;
        my $cached = $method eq 'getBool' ? !!$t : 0 + $t;    # one fetch; the value's flags are set
        $tie->{value} = $second;
        is($call->($method, $t), $want, "$M: get-magic: $method of a tie with cached flags reads the new value");
        is($tie->{fetches}, 2, "$M: get-magic: $method of a tie with cached flags fetched again");
    }
}

SKIP: {
    skip 'tied scalars keep value flags after a fetch from Perl 5.18 on', 2 if $] < 5.018;
    my $tie = tie my $t, 'PlotruneTest::CountedScalar', 3;
    my $r = read_scalar($t);
    is_deeply([ @$r{qw(double int bool text)} ], [ 3, 3, 1, '3' ], "$M: get-magic: four reads of one tie read its value");
    is($tie->{fetches}, 4, "$M: get-magic: four reads of one tie fetch four times");
}

done_testing();
