package PlotRune::Configuration;

# The build rule: which module name a perl's configuration gives, and whether
# that configuration is one of the supported set.  PlotRune uses it at run
# time to pick the build; both builds (CMake and Makefile.PL) use it to name
# what they build, so that the two can never disagree.
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

our $VERSION = '5.01';

our $SUPPORTED_SET = 'Perl 5.12 to 5.22 on 32-bit x86';

# The version, threads and IV width of a Config-like hash (version,
# useithreads, ivsize, ptrsize, archname): { minor, threads, iv_bits,
# ptr_bits, archname, version }.  Dies on a perl older than 5.12.
sub shape {
    my ($config) = @_;
    my ($major, $minor) = ($config->{version} || '') =~ /^(\d+)\.(\d+)\./
        or die "cannot read the version from Config ('" . (defined $config->{version} ? $config->{version} : '') . "')\n";
    die "Perl $config->{version} is older than 5.12, the oldest this module builds for\n"
        if $major != 5 || $minor < 12;
    return {
        version  => $config->{version},
        minor    => $minor,
        threads  => (($config->{useithreads} || '') eq 'define') ? 1 : 0,
        iv_bits  => 8 * $config->{ivsize},
        ptr_bits => 8 * $config->{ptrsize},
        archname => $config->{archname},
    };
}

# perlplotrune, 5 and the two-digit minor version, i64 for a 64-bit IV, mt
# for interpreter threads.
sub module_name {
    my $s = shape(@_);
    return sprintf('perlplotrune5%02d', $s->{minor}) . ($s->{iv_bits} == 64 ? 'i64' : '') . ($s->{threads} ? 'mt' : '');
}

sub supported {
    my $s = shape(@_);
    return $s->{ptr_bits} == 32 && $s->{minor} >= 12 && $s->{minor} <= 22 && $s->{minor} % 2 == 0 ? 1 : 0;
}

# "Perl 5.36.0, threads, 64-bit IV, 64-bit pointers, x86_64-linux-gnu-thread-multi"
sub describe {
    my $s = shape(@_);
    return join ', ', "Perl $s->{version}", ($s->{threads} ? 'threads' : 'no threads'),
        "$s->{iv_bits}-bit IV", "$s->{ptr_bits}-bit pointers", $s->{archname};
}

1;
