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

__END__

=head1 NAME

PlotRune::Configuration - which PlotRune build a perl needs

=head1 SYNOPSIS

    use Config;
    use PlotRune::Configuration;

    my $name = PlotRune::Configuration::module_name(\%Config);  # perlplotrune536i64mt
    print PlotRune::Configuration::describe(\%Config), "\n";
    print "beyond $PlotRune::Configuration::SUPPORTED_SET\n"
        unless PlotRune::Configuration::supported(\%Config);

=head1 DESCRIPTION

The rule that names the build of the plotrune binding made for a perl.
L<PlotRune> uses it to pick the build to load, and both ways of building
(C<perl Makefile.PL> and CMake) use it to name what they build.  Every
function takes a hash shaped like C<%Config> (C<version>, C<useithreads>,
C<ivsize>, C<ptrsize>, C<archname>) and dies, with a message ending in a
newline, for a perl older than 5.12.

=over 4

=item module_name(\%config)

The build's name: C<perlplotrune>, C<5> and the two-digit minor version,
C<i64> for a 64-bit IV, C<mt> for interpreter threads: C<perlplotrune512>,
C<perlplotrune522i64mt>.

=item supported(\%config)

1 when the configuration is one of the supported set,
C<$PlotRune::Configuration::SUPPORTED_SET> (Perl 5.12 to 5.22 on 32-bit
x86, even minor versions), else 0.  Builds beyond it are made and tested
all the same.

=item describe(\%config)

One line for messages: C<Perl 5.36.0, threads, 64-bit IV, 64-bit pointers,
x86_64-linux-gnu-thread-multi>.

=item shape(\%config)

The parts of the configuration the rule reads, as a hash reference:
C<version>, C<minor>, C<threads> (1 or 0), C<iv_bits>, C<ptr_bits>,
C<archname>.

=back

=head1 SEE ALSO

L<PlotRune>

=cut
