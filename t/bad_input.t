# Bad input to every reader: each of the seven readers, through the
# stand-in engine's methods, against values of every kind a Perl program can
# pass, odd and huge ones included.  Nothing may crash; each read gives what
# Perl's own conversion of the same value gives (an undefined value reads as
# 0 or empty text; a text read ends at its first NUL, since the engine gets a
# C string); the array readers answer status 0 for a defined value that is
# not an array reference and leave the engine's pointer alone; and repeating
# it all leaks nothing.

use strict;
use warnings;
use Test::More;
use Config;
use Scalar::Util qw(dualvar);
use PlotruneTest;
use PlotruneStress;
use PlotruneNumbers qw(to_double);

my $M = load();

# Conversions warn (non-numeric text, undef): expected, and not what this
# file is about.
my $warnings = 0;
$SIG{__WARN__} = sub { $warnings++ };

# ------------------------------------------------------------ the values

{
    package PlotruneBad::TiedArray;
    sub TIEARRAY { my ($class, @values) = @_; bless [@values], $class }
    sub FETCH { $_[0][ $_[1] ] }
    sub FETCHSIZE { scalar @{ $_[0] } }
    sub STORE { }
    sub STORESIZE { }
    package PlotruneBad::Number;
    use overload '0+' => sub { 42.5 }, '""' => sub { 'forty-two' }, 'bool' => sub { 0 }, fallback => 1;
    package PlotruneBad::TextOnly;
    use overload '""' => sub { '17 apples' }, fallback => 1;
    package PlotruneBad::Plain;
}

my $inf = 9**9**9;
my $nan = $inf - $inf;
my $iv_max = ~0 >> 1;
my $iv_min = -$iv_max - 1;
my $big = PlotruneStress::slowdown() > 1 ? 100_000 : 1_000_000;

my @targets = ([1, 2], { a => 1 }, sub { 1 }, \*STDOUT, qr/x+/, \'scalar', \\'ref', *STDOUT{IO});
my $sparse = []; $sparse->[9] = 9.5; $sparse->[3] = 'three';
my $holes = []; $#$holes = $big - 1;
my @long = map { $_ * 3 } 0 .. $big - 1;
my $long = \@long;
my $nested = [ [1, 2], [ [3] ], {}, \'x', undef, 'tail' ];
my $blessed_array = bless [ 1.5, 'b', -3 ], 'PlotruneBad::Plain';
my $number_object = bless {}, 'PlotruneBad::Number';
my $text_object = bless {}, 'PlotruneBad::TextOnly';
tie my @tied_array, 'PlotruneBad::TiedArray', 1, 'two', 3.5, undef, [], 'x' x 100;
my $tied_array = \@tied_array;
my $mixed = [ undef, 0, -1, ~0, 0.5, $nan, $inf, -$inf, '', '0', "a\0b", "\x{263A}", dualvar(5, 'five'),
              \1, [], $number_object, $text_object, qr/y/, 'x' x 1000 ];

# Each value: its name and a sub giving a reference to a fresh scalar that
# holds it (fresh each time, so that no read caches flags for the next).
sub v { my $v = $_[0]; sub { my $copy = $v; \$copy } }
my @values = (
    [ 'undef',                           v(undef) ],
    [ 'integer 0',                       v(0) ],
    [ 'integer 1',                       v(1) ],
    [ 'integer -1',                      v(-1) ],
    [ 'integer 2**31 - 1',               v(2147483647) ],
    [ 'integer 2**31',                   v(2147483648) ],
    [ 'integer -2**31 - 1',              v(-2147483649) ],
    [ 'integer 2**32 + 5',               v(4294967301) ],
    [ 'largest IV',                      v($iv_max) ],
    [ 'smallest IV',                     v($iv_min) ],
    [ 'unsigned above the largest IV (~0)', v(~0) ],
    [ 'float 0.5',                       v(0.5) ],
    [ 'float -2.75',                     v(-2.75) ],
    [ 'negative zero',                   v(-0.0) ],
    [ 'subnormal 1e-320',                v(1e-320) ],
    [ 'float 1e308',                     v(1e308) ],
    [ 'largest double',                  v(1.7976931348623157e308) ],
    [ 'float beyond 32 bits, 4294967296.5', v(4294967296.5) ],
    [ 'float beyond the IV range, -1e30', v(-1e30) ],
    [ 'NaN',                             v($nan) ],
    [ '+inf',                            v($inf) ],
    [ '-inf',                            v(-$inf) ],
    [ 'empty string',                    v('') ],
    [ 'string "0"',                      v('0') ],
    [ 'string "00"',                     v('00') ],
    [ 'string "0.0"',                    v('0.0') ],
    [ 'string "0 but true"',             v('0 but true') ],
    [ 'string " 12 "',                   v(' 12 ') ],
    [ 'string "12abc"',                  v('12abc') ],
    [ 'string "abc"',                    v('abc') ],
    [ 'string "1e999"',                  v('1e999') ],
    [ 'string "-1e999"',                 v('-1e999') ],
    [ 'string "nan"',                    v('nan') ],
    [ 'string "0x10"',                   v('0x10') ],
    [ 'string of 400 nines',             v('9' x 400) ],
    [ 'UTF-8 string',                    v("\x{263A} caf\x{e9}") ],
    [ 'Latin-1 string',                  v("caf\x{e9}") ],
    [ 'string with a NUL inside',        v("ab\0cd") ],
    [ 'string of one NUL',               v("\0") ],
    [ 'string of 1e6 characters',        v('x' x 1_000_000) ],
    [ 'dual value 5 / "five"',           v(dualvar(5, 'five')) ],
    [ 'dual value 0 / ""',               v(dualvar(0, '')) ],
    [ 'dual value -3.5 / "x"',           v(dualvar(-3.5, 'x')) ],
    [ 'dual value ~0 / "big"',           v(dualvar(~0, 'big')) ],
    [ 'version string v1.22.333',        v(v1.22.333) ],
    [ 'glob *STDOUT',                    sub { my $g = *STDOUT; \$g } ],
    [ 'reference to an array',           v($targets[0]) ],
    [ 'reference to a hash',             v($targets[1]) ],
    [ 'reference to code',               v($targets[2]) ],
    [ 'reference to a glob',             v($targets[3]) ],
    [ 'regexp qr//',                     v($targets[4]) ],
    [ 'reference to a scalar',           v($targets[5]) ],
    [ 'reference to a reference',        v($targets[6]) ],
    [ 'reference to an IO handle',       v($targets[7]) ],
    [ 'blessed hash',                    v(bless {}, 'PlotruneBad::Plain') ],
    [ 'blessed array',                   v($blessed_array) ],
    [ 'overloaded object (0+, "", bool)', v($number_object) ],
    [ 'overloaded object ("" only)',     v($text_object) ],
    [ 'tied scalar',                     sub { tie my $t, 'PlotruneTest::CountedScalar', '7.25'; \$t } ],
    [ 'tied scalar holding undef',       sub { tie my $t, 'PlotruneTest::CountedScalar', undef; \$t } ],
    [ 'tied array',                      v($tied_array) ],
    [ 'empty array',                     v([]) ],
    [ 'sparse array',                    v($sparse) ],
    [ 'nested arrays',                   v($nested) ],
    [ 'array of every kind of element',  v($mixed) ],
    [ "array of $big elements",          v($long) ],
    [ "array of $big holes",             v($holes) ],
);

# ------------------------------------------------------------ what Perl says

# Perl's own conversions of a value, judged on a copy; the readers must
# agree.  The int read keeps the low 32 bits of Perl's integer value.
sub as_double { no warnings; my $v = $_[0]; defined $v ? to_double(0 + $v) : 0 }
sub as_int {
    no warnings;
    my $v = $_[0];
    return 0 unless defined $v;
    my $iv = do { use integer; $v + 0 };
    return unpack 'l', pack 'l', $iv;
}
sub as_bool { $_[0] ? 1 : 0 }
sub as_text {
    no warnings;
    my $v = $_[0];
    return '' unless defined $v;
    my $text = "$v";
    utf8::encode($text) if utf8::is_utf8($text);
    $text =~ s/\0.*//s;
    return $text;
}

sub same_number {
    my ($got, $want) = @_;
    return 1 if $got != $got && $want != $want;    # both NaN
    return $got == $want;
}

sub show { my $t = defined $_[0] ? $_[0] : 'undef'; length $t > 60 ? substr($t, 0, 60) . '...(' . length($t) . ')' : $t }

my $tried = 0;

# Compares a list of elements read against Perl's; returns '' or where it
# first differs.
sub compare_list {
    my ($got, $want, $same) = @_;
    return 'count ' . scalar(@$got) . ' instead of ' . scalar(@$want) if @$got != @$want;
    for my $i (0 .. $#$want) {
        return "element $i: got " . show($got->[$i]) . ', expected ' . show($want->[$i])
            unless $same->($got->[$i], $want->[$i]);
    }
    return '';
}

my %array_reader = (
    getDoubleArray => [ 'Double', \&as_double, \&same_number ],
    getIntArray    => [ 'Int',    \&as_int,    sub { $_[0] == $_[1] } ],
    getStringArray => [ 'String', \&as_text,   sub { $_[0] eq $_[1] } ],
);

for my $case (@values) {
    my ($what, $make) = @$case;
    my $is_tie = $what =~ /^tied scalar/;

    # The scalar readers, each alone and the four in a row.
    {
        my %got = (
            getDouble => PlotruneTest::call('getDouble', ${ $make->() }),
            getInt    => PlotruneTest::call('getInt', ${ $make->() }),
            getBool   => PlotruneTest::call('getBool', ${ $make->() }),
            getString => PlotruneTest::call('getString', ${ $make->() }),
        );
        # The four reads run in a row on one scalar, so its text is the one
        # Perl gives after the number and integer reads have cached their
        # values in it (-0.0 reads as "0" once an integer is cached).
        my $four_of = $make->();
        my $four = read_scalar($$four_of);
        $tried += 8;
        my $value = ${ $make->() };
        my $text = as_text($value);
        my $alone_text = $text;
        ok(same_number($got{getDouble}, as_double($value)) && same_number($four->{double}, as_double($value)),
           "$M: $what: read as a double gives Perl's number")
            or diag("expected " . as_double($value) . ", got $got{getDouble} alone and $four->{double} in readScalar");
        # NaN has no integer: what a perl makes of it differs between
        # versions and with the scalar's cached flags, so only its form is
        # checked.
        my $is_nan = do { my $d = as_double($value); $d != $d };
        ok($is_nan ? $got{getInt} == int($got{getInt}) && $four->{int} == int($four->{int})
                   : $got{getInt} == as_int($value) && $four->{int} == as_int($value),
           "$M: $what: read as an int gives the low 32 bits of Perl's integer")
            or diag("expected " . as_int($value) . ", got $got{getInt} alone and $four->{int} in readScalar");
        ok($got{getBool} == as_bool($value) && $four->{bool} == as_bool($value),
           "$M: $what: read as a bool gives Perl's truth")
            or diag("expected " . as_bool($value) . ", got $got{getBool} alone and $four->{bool} in readScalar");
        my $four_text = $is_tie ? $text : as_text($$four_of);
        ok($got{getString} eq $alone_text && $four->{text} eq $four_text,
           "$M: $what: read as text gives Perl's string up to its first NUL")
            or diag('expected ' . show($alone_text) . ' alone and ' . show($four_text) . ' in readScalar, got '
                    . show($got{getString}) . ' and ' . show($four->{text}));
    }

    # The array readers.
    for my $method (sort keys %array_reader) {
        my ($kind, $convert, $same) = @{ $array_reader{$method} };
        my $r = read_array($kind, ${ $make->() });
        $tried++;
        my $value = ${ $make->() };
        if (!defined $value) {
            is("$r->{status} $r->{count}", '1 0', "$M: $what: $method gives status 1 and no elements");
        } elsif (ref $value && UNIVERSAL::isa($value, 'ARRAY') && !$is_tie) {
            my @want = map { $convert->($_) } @$value;
            my $where = $r->{status} == 1 ? compare_list($r->{values}, \@want, $same) : "status $r->{status}";
            is($where, '', "$M: $what: $method gives status 1 and every element as Perl converts it");
        } else {
            is("$r->{status} $r->{untouched}", '0 1',
               "$M: $what: $method refuses it with status 0, leaving the engine's pointer and count alone");
        }
    }
}
note("$tried reads of bad input, $warnings conversion warnings");

# ------------------------------------------------------- nothing grows

SKIP: {
    skip 'no resident size to watch here (under valgrind or ASan, or no /proc): the memcheck and sanitizer runs cover leaks', 1
        unless defined resident_kb();
    my @small = grep { $_->[0] !~ /1e6|$big/ } @values;
    my $calls = 0;
    my $grew = growth_kb(sub {
        for my $case (@small) {
            for my $method (qw(readScalar getString getDoubleArray getIntArray getStringArray)) {
                PlotruneTest::call($method, ${ $case->[1]->() });
                $calls++;
            }
        }
    }, scaled(100, 10));
    my $measured = $calls / 2;
    cmp_ok($grew, '<', 1024, "$M: $measured reads of bad input: the resident size grows by less than 1 MB (grew ${grew} KB)");
}

done_testing();
