# Differential: the scalar readers against Perl's own conversions, over many
# kinds of value.  The engine's double is Perl's 0+$v (moved onto a reserved
# value where the readers do that), its int the low 32 bits of int(0+$v), its
# truth Perl's !!$v, and its text "$v" (as bytes, up to the first NUL).
#
# A read may cache a converted value in the scalar it reads, and what a
# scalar has cached can change what the next read sees.  So every read, by
# Perl or by the engine, is of a copy made afresh the same way.

use strict;
use warnings;
# Numbers read from non-numeric text, or from undef, warn on both sides alike.
no warnings qw(numeric uninitialized);
use Test::More;
use Scalar::Util qw(dualvar);
use PlotruneTest;
use PlotruneNumbers;

my $M = load();
my $call = \&{"${M}::callMethod"};

# A value by the rule of Perl 5.18.0, which the 5.18 builds keep: a scalar
# holding both a string and a number is true if either says true.
my $dual_rule = $] >= 5.018 && $] < 5.019;

{
    package StringOnly;    # the other conversions fall back to the text
    use overload '""' => sub { $_[0]{text} }, fallback => 1;
}
{
    package NumberOnly;
    use overload '0+' => sub { $_[0]{number} }, fallback => 1;
}
{
    package BoolOnly;
    use overload 'bool' => sub { $_[0]{truth} }, fallback => 1;
}
{
    package AllThree;      # and each says something else
    use overload '""' => sub { 'text' }, '0+' => sub { 42 }, 'bool' => sub { 0 }, fallback => 1;
}

# ---------------------------------------------------------- the values

# Each case: name, make (calls its argument with a fresh value, aliased so
# that magic stays on it), and dual (number and string of a dual value).
my @cases;

# Names go into test output: control and wide characters are shown escaped.
sub printable {
    my ($name) = @_;
    $name =~ s/([^\x20-\x7e])/sprintf '\\x{%x}', ord $1/ge;
    return $name;
}

sub value {
    my ($name, $value, %o) = @_;
    push @cases, { name => printable($name), make => sub { my $v = $value; $_[0]->($v) }, %o };
}

sub dual {
    my ($num, $str) = @_;
    value("dual value $num with string '$str'", dualvar($num, $str), dual => [ $num, $str ]);
}

# A tie never fetched, and one read once before, so that its flags show a
# value (Perl 5.18 on keeps them).
sub tied_value {
    my ($name, $value) = @_;
    for my $seen (0, 1) {
        push @cases, { name => "tied, fetching $name" . ($seen ? ', read before' : ''), make => sub {
            tie my $t, 'PlotruneTest::CountedScalar', $value;
            my $before = $seen ? $t : undef;
            $_[0]->($t);
        } };
    }
}

# A value that some earlier Perl code has used in another way.
sub used {
    my ($name, $value, $use) = @_;
    push @cases, { name => $name, make => sub {
        my $v = $value;
        $use->($v);
        $_[0]->($v);
    } };
}

my @fixed_array = (1, 2);
my %fixed_hash = (k => 'v');
my $fixed_scalar = 5;
my $fixed_code = sub { 1 };
my $fixed_object = bless {}, 'Some::Class';
my $pattern = qr/x+/;

value('undef',                 undef);
value($_, $_) for (0, 1, -1, 42, 2147483647, -2147483648, 2147483648, -2147483649, 4294967295,
                   4294967296, 4294967301, 1e15, -1e15, 2**53, 2**63, -2**63, ~0);
value($_, $_) for (0.0, 0.5, -0.5, 3.7, -3.7, 1e-300, 1e300, -1e300, 1.5e308, 1.7e308,
                   1.7000001e308, -1.6000001e308, 1.00000001e200, -1.70000001e-100, 1.7e-100,
                   1.65e308, 1.7976931348623157e308);
value('-0.0',                  -0.0);
value('+inf',                  $INF);
value('-inf',                  -$INF);
value('NaN',                   $NAN);
value("string '$_'", $_) for ('0', '', '00', '0.0', ' ', '0 but true', '0E0', '1', '-1', '42',
                              ' 12abc', '12abc', 'abc', '0x1A', '0b101', '1_000', '+5', '-0', '.5', '5.',
                              '1e3', '-1.5e-3', "\t42\n", '1.7e308', '1.7000000001e308', '-1.6000000001e308',
                              '9007199254740993', '18446744073709551615', '-9223372036854775809',
                              '1e400', '-1e400', 'inf', '-inf', 'Inf', 'infinity', 'nan', 'NaN',
                              '3.7abc', '-0.5', '2147483648', '4294967297');
value('string with an inner NUL',  "12\0" . '34');
value('string of one NUL',         "\0");
value('UTF-8 string',              "\x{263A} smile");
value('UTF-8 digits',              "\x{661}\x{662}");
value('UTF-8 flagged number text', do { my $s = '17.5'; utf8::upgrade($s); $s });
value('upgraded Latin-1',          do { my $s = "caf\xe9"; utf8::upgrade($s); $s });
value('Latin-1 bytes',             "caf\xe9");
dual(@$_) for ([ 5, '0' ], [ 0, '1' ], [ 0, '0' ], [ 5, '' ], [ 1.5, 'abc' ], [ -1, '0' ],
               [ 0.25, '0' ], [ 0, 'zero' ], [ 7, '7' ]);
dual(2**32, '0') if $IV64;
value('array reference',           \@fixed_array);
value('hash reference',            \%fixed_hash);
value('scalar reference',          \$fixed_scalar);
value('code reference',            $fixed_code);
value('blessed object',            $fixed_object);
value('compiled pattern',          $pattern);
value('object with only "" saying 3.25',     bless({ text => '3.25' }, 'StringOnly'));
value('object with only "" saying 0',        bless({ text => '0' }, 'StringOnly'));
value('object with only "" saying UTF-8',    bless({ text => "\x{263A}" }, 'StringOnly'));
value('object with only 0+ giving 0',        bless({ number => 0 }, 'NumberOnly'));
value('object with only 0+ giving -7.5',     bless({ number => -7.5 }, 'NumberOnly'));
value('object with only 0+ near 1.7e308',    bless({ number => 1.7000001e308 }, 'NumberOnly'));
value('object with only 0+ above 2**32',     bless({ number => 4294967299 }, 'NumberOnly'));
value('object with only bool, false',        bless({ truth => 0 }, 'BoolOnly'));
value('object with only bool, true',         bless({ truth => 1 }, 'BoolOnly'));
value('object with "", 0+ and bool',         bless({}, 'AllThree'));
tied_value($_, $_) for (42, '0', '', 'abc', 2.5, 1.7000001e308, '00');
tied_value('undef', undef);
tied_value('an array reference', \@fixed_array);
used('string "0.0" used as a number',  '0.0', sub { my $n = $_[0] + 0 });
used('string "12abc" used as a number', '12abc', sub { my $n = $_[0] + 0 });
used('string "7" used as a number',     '7', sub { my $n = $_[0] + 0 });
used('-0.0 used as text',               -0.0, sub { my $s = "$_[0]" });
used('3.5 used as text',                3.5, sub { my $s = "$_[0]" });
used('string "3.9" used as an integer', '3.9', sub { my $i = int $_[0] });
used('0 used as text',                  0, sub { my $s = "$_[0]" });
push @cases, { name => 'match variable $1', make => sub { 'ab12cd' =~ /(\d+)/; $_[0]->($1) } };

# ---------------------------------------------------------- Perl's answers

# Runs code on a fresh value of the case.
sub fresh {
    my ($case, $code) = @_;
    my @r;
    $case->{make}->(sub { @r = $code->($_[0]) });
    return wantarray ? @r : $r[0];
}

sub perl_truth {
    my ($case) = @_;
    my $truth = fresh($case, sub { $_[0] ? 1 : 0 });
    if ($dual_rule && $case->{dual}) {
        my ($num, $str) = @{ $case->{dual} };
        $truth = 1 if $num != 0 || $str;
    }
    return $truth;
}

sub perl_double { snap(fresh($_[0], sub { unpack 'd', pack 'd', 0 + $_[0] })) }

# Only where int(0+$v) is well defined: finite and within the IV range.
sub perl_int {
    my ($case) = @_;
    my $n = fresh($case, sub { 0 + $_[0] });
    my $limit = $IV64 ? 9.2e18 : 2147483648;
    return undef if is_nan($n) || $n >= $limit || $n <= -$limit;
    return low32(int $n);
}

sub perl_text {
    my ($case) = @_;
    my ($defined, $text) = fresh($case, sub { defined $_[0] ? (1, "$_[0]") : (0, undef) });
    return undef unless $defined;
    utf8::encode($text) if utf8::is_utf8($text);
    $text =~ s/\0.*//s;
    return $text;
}

sub engine { my ($case, $method) = @_; return fresh($case, sub { $call->($method, $_[0]) }) }

# ---------------------------------------------------------- comparison

for my $case (@cases) {
    my $name = $case->{name};

    is(engine($case, 'getBool'), perl_truth($case), "$M: getBool of $name is Perl's truth");

    my $want = perl_double($case);
    my $got = engine($case, 'getDouble');
    ok(same_double($got, $want) || ($got == 0 && $want == 0), "$M: getDouble of $name is Perl's number")
        or diag('expected ' . show_double($want) . ', got ' . show_double($got));

    my $int = perl_int($case);
    is(engine($case, 'getInt'), $int, "$M: getInt of $name is the low 32 bits of Perl's integer")
        if defined $int;

    my $text = perl_text($case);
    is(engine($case, 'getString'), $text, "$M: getString of $name is Perl's text") if defined $text;
}

done_testing();
