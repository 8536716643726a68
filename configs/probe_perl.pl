# Run under the perl being built for: prints what the build needs from that
# perl's Config, one "key<TAB>value" line each, and the module name that its
# configuration gives.  Kept to what Perl 5.12 understands.
use strict;
use warnings;
use Config;

my ($table) = @ARGV;

my ($major, $minor) = $Config{version} =~ /^(\d+)\.(\d+)\./
    or die "cannot read the version from Config ('$Config{version}')\n";
die "Perl $Config{version} is older than 5.12, the oldest this module builds for\n"
    if $major != 5 || $minor < 12;

my $threads = ($Config{useithreads} || '') eq 'define';
my $iv_bits = 8 * $Config{ivsize};
my $module  = sprintf('perlplotrune5%02d', $minor) . ($iv_bits == 64 ? 'i64' : '') . ($threads ? 'mt' : '');

# One of the supported configurations, or beyond them (another version, or
# 64-bit pointers): built all the same, and said so.
my $supported = 0;
if ($table && $Config{ptrsize} == 4) {
    open my $fh, '<', $table or die "cannot read $table: $!\n";
    while (<$fh>) {
        next if /^#/ || /^module\t/;
        chomp;
        my ($name, $version, $mt, $bits) = split /\t/;
        next unless $version eq "$major.$minor" && ($mt eq 'yes') == $threads && $bits == $iv_bits;
        die "configuration table names $name where the rule gives $module\n" if $name ne $module;
        $supported = 1;
    }
}

# The compiler's own word is not ours (ours is C++), but any flag riding on it
# (a "gcc -m32") belongs to the interpreter's ABI.
my (undef, @cc_flags) = split ' ', $Config{cc};

my %out = (
    module     => $module,
    version    => $Config{version},
    threads    => $threads ? 1 : 0,
    iv_bits    => $iv_bits,
    ptr_bits   => 8 * $Config{ptrsize},
    supported  => $supported,
    core       => "$Config{archlibexp}/CORE",
    ccflags    => join(' ', @cc_flags, $Config{ccflags}),
    optimize   => $Config{optimize},
    cccdlflags => $Config{cccdlflags},
    lddlflags  => $Config{lddlflags},
    executable => $^X,
);
die "no perl.h under $out{core}: this perl cannot build extensions\n" unless -f "$out{core}/perl.h";
print "$_\t$out{$_}\n" for sort keys %out;
