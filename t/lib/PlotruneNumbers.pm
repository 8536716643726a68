package PlotruneNumbers;

# Numbers as the conversion tests need them: doubles by their exact bits,
# the reserved values the readers move numbers onto, and the low 32 bits of
# an integer as the engine's int sees them.
#
# The reserved values and their bounds are given by their bits, not as Perl
# literals: older perls read some decimal literals an ulp away from the
# nearest double, and a bound an ulp off would put a test on the wrong side.
#
# Kept to what Perl 5.12 understands.

use strict;
use warnings;

use Config;
use Exporter 'import';

our @EXPORT = qw(double_from_bits to_double is_nan same_double show_double snap low32
                 @SENTINELS $INF $NAN $IV64);

our $IV64 = $Config{ivsize} >= 8;
our $INF = 9**9**9;
our $NAN = $INF - $INF;

my $little_endian = $Config{byteorder} =~ /^1/;

# A double from 16 hex digits, most significant first (as IEEE 754 writes it).
sub double_from_bits {
    my $bytes = pack 'H16', $_[0];
    $bytes = reverse $bytes if $little_endian;
    return unpack 'd', $bytes;
}

# The bits of a double, most significant first.
sub bits_of {
    my $bytes = pack 'd', $_[0];
    $bytes = reverse $bytes if $little_endian;
    return unpack 'H16', $bytes;
}

# A number as the engine's double holds it: itself where NV is a double,
# rounded to the nearest double where NV is wider (a long double).
sub to_double { unpack 'd', pack 'd', $_[0] }

sub is_nan { my ($x) = @_; return $x != $x }

# Equal to the bit (so 0 and -0 differ), any NaN equal to any NaN.
sub same_double {
    my ($x, $y) = @_;
    return is_nan($x) || is_nan($y) ? is_nan($x) && is_nan($y) : bits_of($x) eq bits_of($y);
}

sub show_double { my ($x) = @_; return sprintf '%.17g [%s]', $x, bits_of($x) }

# [above, below, value]: a number strictly between the bounds reads as value.
my @positive = (
    [ '7fee3e429c1b9ac0', '7fee475fc4d2dc2d', '7fee42d130773b76' ],    # 1.699e308 1.701e308 1.7e308
    [ '7fec7690a850d37d', '7fec7fadd10814ea', '7fec7b1f3cac7433' ],    # 1.599e308 1.601e308 1.6e308
    [ '7feaaedeb4860c39', '7feab7fbdd3d4da6', '7feab36d48e1acf0' ],    # 1.499e308 1.501e308 1.5e308
    [ '6974e68fdae44a68', '6974ec72b95651d0', '6974e718d7d7625a' ],    # 9.999e199 1.001e200 1e200
);
my ($p17, $p16, $p15, $p1e200) = map { [ map { double_from_bits($_) } @$_ ] } @positive;
my $m17e100 = [ map { -double_from_bits($_) } '2b37cfb075546fad', '2b37c885a8d032be', '2b37cc1b0f125135' ];

our @SENTINELS = (
    $p17, [ -$p17->[1], -$p17->[0], -$p17->[2] ],
    $p16, [ -$p16->[1], -$p16->[0], -$p16->[2] ],
    $p15, $p1e200, $m17e100,
);

# What the readers make of a number: the reserved value whose interval holds
# it, or the number itself.
sub snap {
    my ($x) = @_;
    for my $s (@SENTINELS) {
        return $s->[2] if $x > $s->[0] && $x < $s->[1];
    }
    return $x;
}

# The low 32 bits of an integer-valued number, as a signed 32-bit value.
sub low32 {
    my ($n) = @_;
    my $low = $n % 4294967296;
    $low -= 4294967296 if $low >= 2147483648;
    return $low;
}

1;
