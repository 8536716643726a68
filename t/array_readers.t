# Array readers: what the engine gets when it reads a Perl value as an array
# of texts, doubles or ints, from plain, blessed, sparse and tied arrays,
# and what it gets for values that are no array at all.

use strict;
use warnings;
use Test::More;
use Tie::Array;
use PlotruneTest;
use PlotruneNumbers;

my $M = load();
my @kinds = qw(Double Int String);

# Counts fetches and size queries.
{
    package CountedArray;
    our @ISA = ('Tie::StdArray');
    our ($fetches, $sizes) = (0, 0);
    sub FETCH { $fetches++; my $self = shift; return $self->SUPER::FETCH(@_) }
    sub FETCHSIZE { $sizes++; my $self = shift; return $self->SUPER::FETCHSIZE(@_) }
}

# Converting it runs Perl code that changes the array holding it.
{
    package Meddler;
    use overload '0+' => \&convert, '""' => \&convert, fallback => 1;
    sub new { my ($class, %o) = @_; return bless {%o}, $class }
    sub convert {
        my ($self) = @_;
        $self->{change}->();
        return $self->{value};
    }
}

# Dies when converted.
{
    package Refuser;
    use overload '0+' => sub { die "no number here\n" }, '""' => sub { die "no text here\n" }, fallback => 1;
}

# Values as each reader gives them back: undef reads as 0, 0 and "".
sub expected {
    my ($kind, @values) = @_;
    no warnings 'uninitialized';
    return [ map { $kind eq 'Double' ? snap(to_double(0 + $_)) : $kind eq 'Int' ? int($_) : "$_" } @values ];
}

sub show { join ', ', map { defined $_ ? "'$_'" : 'undef' } @{ $_[0] } }

# Reading undef or a non-number as a number warns as Perl itself would; those
# warnings are expected here and kept out of the output.
sub read_quietly {
    local $SIG{__WARN__} = sub { warn @_ unless $_[0] =~ /uninitialized|isn't numeric/ };
    return read_array(@_);
}

# ---------------------------------------------------------- not an array

for my $kind (@kinds, 'StringAddress') {
    my $r = read_array($kind, undef);
    is_deeply([ @$r{qw(status count)} ], [ 1, 0 ], "$M: get${kind}Array: undef is an empty array");
    my $u;
    $r = read_array($kind, $u);
    is_deeply([ @$r{qw(status count)} ], [ 1, 0 ], "$M: get${kind}Array: an undefined variable is an empty array");
}

my @not_arrays = (
    [ 'a plain string that looks like a list', '1,2,3' ],
    [ 'a number',                             42 ],
    [ 'the empty string',                     '' ],
    [ 'a hash reference',                     { a => 1 } ],
    [ 'a code reference',                     sub { [1] } ],
    [ 'a scalar reference',                   \'text' ],
    [ 'a reference to an array reference',    \[ 1, 2 ] ],
    [ 'a glob reference',                     \*STDOUT ],
    [ 'a compiled pattern',                   qr/x/ ],
    [ 'a blessed hash',                       bless({}, 'Some::Hash') ],
);
# From 5.38 an object of a class is a type of its own, not an array.
if ($] >= 5.038) {
    my $class = eval q{ use feature 'class'; no warnings; class PlotruneTestClass { field $x = 1; field @y = (1, 2); } 'PlotruneTestClass' }
        or die $@;
    push @not_arrays, [ 'an object of a class (feature "class")', $class->new ];
} else {
    SKIP: { skip "objects of the feature 'class' came with Perl 5.38; this is $]", 1 }
}
for my $kind (@kinds) {
    for my $c (@not_arrays) {
        my ($what, $value) = @$c;
        my $r = read_array($kind, $value);
        is($r->{status}, 0, "$M: get${kind}Array: $what is refused");
        is($r->{untouched}, 1, "$M: get${kind}Array: refusing $what leaves the engine's pointer and count alone");
    }
}

# ---------------------------------------------------------- what elements read as

my @arrays = (
    [ 'mixed numbers, strings and undef',   [ 1, '2', 3.7, undef ] ],
    [ 'negative values cut towards zero',   [ -1, -2.9, '-3.5' ] ],
    [ 'an empty array',                     [] ],
    [ 'one element',                        [ 'only' ] ],
    [ 'a blessed array',                    bless([ 4, '5.5', 'six' ], 'Some::Array') ],
    [ 'strings with numbers in them',       [ '10', ' 20 ', '3e2' ] ],
    [ 'largest and smallest int',           [ 2147483647, -2147483648 ] ],
    [ 'booleans (from 5.36): !!1, !!0',     [ !!1, !!0 ] ],
);
for my $kind (@kinds) {
    for my $c (@arrays) {
        my ($what, $aref) = @$c;
        my $r = read_quietly($kind, $aref);
        my $want = expected($kind, @$aref);
        is_deeply([ $r->{status}, $r->{count} ], [ 1, scalar @$aref ], "$M: get${kind}Array: $what: status and count");
        is_deeply($r->{values}, $want, "$M: get${kind}Array: $what: values")
            or diag('expected (' . show($want) . '), got (' . show($r->{values}) . ')');
    }
}

{
    my ($s17, $m16) = ($SENTINELS[0][2], $SENTINELS[3][2]);
    my $r = read_array('Double', [ 1.7000001e308, -1.6000001e308, 1.7e-100 ]);
    ok(same_double($r->{values}[0], $s17) && same_double($r->{values}[1], $m16) && $r->{values}[2] == to_double(1.7e-100),
       "$M: getDoubleArray: elements near reserved values move onto them, others stay")
        or diag('got ' . join(', ', map { show_double($_) } @{ $r->{values} }));
}

SKIP: {
    skip 'needs a 64-bit IV', 1 unless $IV64;
    my $r = read_array('Int', [ 2**32 + 1, 2**31, -2**31 - 1, 2**32 ]);
    is_deeply($r->{values}, [ 1, -2147483648, 2147483647, 0 ], "$M: getIntArray: elements keep their low 32 bits");
}

{
    my $got = sub { read_array('Int', \@_) }->(7, 8, 9);
    is_deeply($got->{values}, [ 7, 8, 9 ], "$M: getIntArray: the \@_ of a sub call reads like any array");
}

# ---------------------------------------------------------- holes

my @holey = (
    [ 'an element set past the end', sub { my @a; $a[3] = 1; \@a }, [ 1, 2 ] ],
    [ 'a deleted element',           sub { my @a = (5, 6, 7); delete $a[1]; \@a }, [1] ],
    [ 'an array grown by $#a = 10',  sub { my @a = (5); $#a = 10; \@a }, [ 1 .. 10 ] ],
    [ 'holes in an array with a weak reference to it (so magical)', sub {
          my @a; $a[2] = 'x'; my $weak = \@a; Scalar::Util::weaken($weak); (\@a, \$weak) }, [ 0, 1 ] ],
);
require Scalar::Util;
for my $kind (@kinds) {
    for my $c (@holey) {
        my ($what, $make, $holes) = @$c;
        my ($aref, @keep) = $make->();
        my $r = read_quietly($kind, $aref);
        my @copy = map { $_ } @$aref;    # reads holes as undef without creating them
        my $want = expected($kind, @copy);
        is_deeply($r->{values}, $want, "$M: get${kind}Array: $what: holes read as undef")
            or diag('expected (' . show($want) . '), got (' . show($r->{values}) . ')');
        my @created = grep { exists $aref->[$_] } @$holes;
        is("@created", '', "$M: get${kind}Array: $what: reading creates no element in a hole");
    }
}

# ---------------------------------------------------------- tied arrays

for my $kind (@kinds) {
    my @values = (1, '2', 3.7, undef, $kind eq 'String' ? 'text' : '-4');
    my $tie = tie my @t, 'CountedArray';
    @t = @values;
    ($CountedArray::fetches, $CountedArray::sizes) = (0, 0);
    my $r = read_quietly($kind, \@t);
    my $want = expected($kind, @values);
    is_deeply($r->{values}, $want, "$M: get${kind}Array: a tied array reads through its tie")
        or diag('expected (' . show($want) . '), got (' . show($r->{values}) . ')');
    is($CountedArray::fetches, scalar @values, "$M: get${kind}Array: a tied array is fetched once per element");
    is($CountedArray::sizes, 1, "$M: get${kind}Array: a tied array's size is asked once");
}

# ---------------------------------------------------------- texts in place

{
    my @a = ('abc', "\x{263A}", 12345, '');
    # The strings' addresses are asked first (from 5.42 on, pack 'p' gives a
    # shared string a buffer of its own), the number's after the call: its
    # text is cached in the element itself, which is where the engine was
    # pointed.
    my @own = map { text_address($_) } @a[0, 1, 3];
    my $r = read_array('StringAddress', \@a);
    splice @own, 2, 0, text_address($a[2]);
    is_deeply($r->{values}, \@own, "$M: getStringArray: each text is the element's own buffer");
    my $empty = unpack 'L!', call('stringAddress', undef);
    my @holes;
    $holes[2] = 'x';
    $r = read_array('StringAddress', \@holes);
    is_deeply([ @{ $r->{values} }[ 0, 1 ] ], [ $empty, $empty ],
              "$M: getStringArray: a hole reads as the same empty text as an undefined scalar");
    $r = read_array('StringAddress', [undef]);
    is($r->{values}[0], $empty, "$M: getStringArray: an undef element reads as that empty text too");
}

# ---------------------------------------------------------- Perl code during a read

{
    # Grown far past its room, the array moves (its old block freed); the
    # second element is a new scalar.
    my @a;
    @a = (Meddler->new(value => 'one', change => sub { $#a = 200_000; splice @a, 1, 1, 'TWO' }),
          'two', 'three');
    my $r = read_array('String', \@a);
    is_deeply($r->{values}, [ 'one', 'TWO', 'three' ],
              "$M: getStringArray: an array moved by a conversion is read where it now is");
    is($r->{count}, 3, "$M: getStringArray: the count is the one the read began with");

    my @b;
    @b = (Meddler->new(value => 1, change => sub { $#b = 0 }), 2, 3);
    $r = read_array('Double', \@b);
    is_deeply($r->{values}, [ 1, 0, 0 ],
              "$M: getDoubleArray: elements removed by a conversion read as missing, not as freed memory");
}

for my $kind (@kinds) {
    my $ok = eval { read_array($kind, [ 1, bless({}, 'Refuser'), 3 ]); 1 };
    my $error = $@;
    ok(!$ok, "$M: get${kind}Array: an element whose conversion dies makes the call die");
    like($error, qr/^no (number|text) here$/, "$M: get${kind}Array: with the conversion's own error");
    is_deeply(read_array($kind, [ 4, 5 ])->{values}, expected($kind, 4, 5),
              "$M: get${kind}Array: the next read works as before");
}

{
    package FailingArray;
    our @ISA = ('Tie::StdArray');
    sub FETCH { my ($self, $i) = @_; die "no element $i\n" if $i == 1; return $self->[$i] }
}
for my $kind (@kinds) {
    tie my @t, 'FailingArray';
    @t = (1, 2, 3);
    my $ok = eval { read_array($kind, \@t); 1 };
    is($ok ? 'no error' : $@, "no element 1\n", "$M: get${kind}Array: a tied array whose fetch dies makes the call die with its error");
}

# ---------------------------------------------------------- large arrays

{
    my $n = 100_000;
    my @numbers = map { $_ * 1.25 - 7 } 0 .. $n - 1;
    my @ints = map { $_ * 37 - 1_000_000 } 0 .. $n - 1;
    my @texts = map { "t$_" } 0 .. $n - 1;
    for my $c ([ 'Double', \@numbers ], [ 'Int', \@ints ], [ 'String', \@texts ]) {
        my ($kind, $aref) = @$c;
        my $r = read_array($kind, $aref);
        is($r->{count}, $n, "$M: get${kind}Array: $n elements: count");
        my $want = expected($kind, @$aref);
        my $differs = $kind eq 'String' ? sub { $_[0] ne $_[1] } : sub { $_[0] != $_[1] };
        my ($first) = grep { $differs->($r->{values}[$_], $want->[$_]) } 0 .. $n - 1;
        ok(!defined $first, "$M: get${kind}Array: $n elements round-trip exactly")
            or diag("element $first: expected '$want->[$first]', got '" . ($r->{values}[$first] // 'nothing') . "'");
    }
}

done_testing();
