package PlotRune::Configuration;

# The build rule: which module name a perl's configuration gives, which
# binary interface a build compiled for that perl depends on, and whether
# that configuration is one of the supported set.  PlotRune uses it at run
# time to pick a build that fits; both builds (CMake and Makefile.PL) use it
# to name what they build and to record the interface in each build's .pm,
# so that the three can never disagree.
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

our $VERSION = '5.01';

# The supported set comes in three tiers, one per processor, each with the
# standard interface of its reference perls: the 24 configurations of 32-bit
# x86 (a 32- or 64-bit IV, threads or not), and on x86_64 and on aarch64
# every even series a current distribution ships (a 64-bit IV, threads or
# not).  first and last: the minor versions, every even one between.  A
# series joins the set once a perl of it has been built and tested here.
our @TIERS = (
    { tier => 1, cpu => 'i386', first => 12, last => 22, iv_bits => [ 32, 64 ], ptrsize => 4, alignbytes => 4,
      set => 'Perl 5.12 to 5.22 on 32-bit x86' },
    { tier => 2, cpu => 'x86_64', first => 24, last => 42, iv_bits => [64], ptrsize => 8, alignbytes => 8,
      set => 'Perl 5.24 to 5.42 on x86_64' },
    { tier => 3, cpu => 'aarch64', first => 24, last => 42, iv_bits => [64], ptrsize => 8, alignbytes => 8,
      set => 'Perl 5.24 to 5.42 on aarch64' },
);

our $SUPPORTED_SET = join(', ', map { $_->{set} } @TIERS[0 .. $#TIERS - 1]) . " and $TIERS[-1]{set}";

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

# The parts of a name the rule gives: { minor, iv_bits, threads }; nothing
# for any other name.
sub parse_module_name {
    my ($minor, $i64, $mt) = ($_[0] || '') =~ /^perlplotrune5(\d\d)(i64)?(mt)?\z/ or return;
    return { minor => 0 + $minor, iv_bits => $i64 ? 64 : 32, threads => $mt ? 1 : 0 };
}

# The processor a perl runs on, as builds are filed: the first word of the
# archname, with every 32-bit x86 spelling (i386, i586, i686) as i386 and
# x86_64 with 32-bit pointers (x32) apart from x86_64.
sub cpu {
    my ($config) = @_;
    my ($cpu) = ($config->{archname} || '') =~ /^([^-]+)/;
    $cpu = 'unknown' unless defined $cpu;
    return 'i386' if $cpu =~ /^i[3-6]86\z/;
    return 'x32' if $cpu eq 'x86_64' && $config->{ptrsize} == 4;
    return $cpu;
}

# The compile-time defines a perl was built with: every -D and -U word of
# the flags Configure records (ccflags, cppflags, optimize; also inside
# -Wp,), as "NAME" or "NAME=VALUE" for -D and "-UNAME" for -U.
sub defines {
    my ($config) = @_;
    my %seen;
    my @words = map { /^-Wp,(.*)/ ? split(/,/, $1) : $_ } map { split ' ', $config->{$_} || '' } qw(ccflags cppflags optimize);
    return grep { !$seen{$_}++ } map { /^-D(\w+(?:=\S*)?)\z/ ? $1 : /^-U(\w+)\z/ ? "-U$1" : () } @words;
}

sub define_name { (my $name = $_[0]) =~ s/^-U|=.*//g; $name }

# Every define is part of the binary interface, unless it is one of these:
# each is harmless to a module, by what the headers do with it.
our %HARMLESS = (
    _GNU_SOURCE     => "selects what the C library's headers declare; config.h defines it itself on glibc",
    _REENTRANT      => "selects the C library's reentrant declarations; perl.h reads it only on AIX, for crypt",
    _THREAD_SAFE    => "the same as _REENTRANT, on other systems",
    _FORTIFY_SOURCE => "adds checks inside the C library's inline functions; no type or structure changes",
    _GLIBCXX_ASSERTIONS => "adds checks to the C++ library; Perl's headers are C",
    _LARGEFILE_SOURCE   => "declares fseeko and ftello; their width is the lseeksize of the interface",
    _LARGEFILE64_SOURCE => "declares the *64 functions beside the others; no type changes",
    _FILE_OFFSET_BITS   => "its one effect, the width of file offsets, is the lseeksize of the interface",
    __GNUC__        => "the compiler's own mark, which gcc and clang define themselves (old Configures add it to cppflags)",
    DEBIAN          => "read only by patchlevel.h, for the list of local patches that perl -V prints",
    PERL_UTF8_CACHE_ASSERT => "changes only the initial value of PL_utf8cache (intrpvar.h), not its place",
    PERL_USE_SAFE_PUTENV   => "drops the process-wide PL_use_safe_putenv (perlvars.h), no field of the interpreter",
    # Read as the threads and multiplicity of the interface instead.
    USE_ITHREADS    => 'counted as threads',
    MULTIPLICITY    => 'counted as multiplicity',
    PERL_IMPLICIT_CONTEXT => 'counted as multiplicity: perl.h turns multiplicity on with it',
);

# Whether the perl has multiplicity (its variables in the interpreter's
# structure): Config says so, or a define that perl.h turns it on with.
sub multiplicity {
    my ($config) = @_;
    my %on = map { ($_ => 1) } defines($config);
    return yes($config->{usemultiplicity}) eq 'yes' || yes($config->{useithreads}) eq 'yes'
        || grep({ $on{$_} } qw(MULTIPLICITY PERL_IMPLICIT_CONTEXT USE_ITHREADS USE_THREADS PERL_GLOBAL_STRUCT)) ? 'yes' : 'no';
}

# The binary interface that a module compiled for this perl depends on: the
# facts of Config that change the layout of the interpreter's structures or
# scalars, or the functions a module calls, and every define not shown
# harmless.  Anything else about a perl (its archname, point release,
# prefix, the kind of libperl, hardening flags) is a name and does not
# decide.  Each entry: key, how to read it from Config, and how to say it
# in a message.
my @interface = (
    # Machine code runs on one processor only.
    [ cpu => \&cpu, sub { "the $_[0] processor" } ],
    # Every release series changes the interpreter's structures and the
    # functions a module calls; point releases of one series keep them.
    [ series => sub { sprintf '5.%d', shape($_[0])->{minor} }, sub { "Perl $_[0]" } ],
    # With threads, every call into the interpreter fetches it from the
    # thread key and passes it along.
    [ threads => sub { my %on = map { ($_ => 1) } defines($_[0]); $on{USE_ITHREADS} ? 'yes' : yes($_[0]{useithreads}) },
      sub { $_[0] eq 'yes' ? 'interpreter threads' : 'no interpreter threads' } ],
    # With multiplicity, the interpreter's variables are fields of its
    # structure instead of globals, and every function takes the interpreter.
    [ multiplicity => \&multiplicity, sub { $_[0] eq 'yes' ? 'multiplicity' : 'no multiplicity' } ],
    # The widths of the values a module reads straight out of scalars.
    [ ivsize => sub { $_[0]{ivsize} }, sub { an($_[0]) . " $_[0]-byte IV" } ],
    # (written 12-long-double: the line of key=value words has no spaces)
    [ nvsize => sub { my $type = $_[0]{nvtype} || 'double'; $type =~ tr/ /-/; "$_[0]{nvsize}-$type" },
      sub { my ($size, $type) = split /-/, $_[0], 2; $type =~ tr/-/ /; an($size) . " $size-byte NV ($type)" } ],
    [ ptrsize => sub { $_[0]{ptrsize} }, sub { "$_[0]-byte pointers" } ],
    # The width of file offsets sizes the stat buffer inside the
    # interpreter's structure; large-file support changes it only where
    # offsets are not 64 bits wide anyway.
    [ lseeksize => sub { $_[0]{lseeksize} || 4 }, sub { "$_[0]-byte file offsets" } ],
    # The alignment of a double decides where the NV sits in a scalar's body.
    [ alignbytes => sub { $_[0]{alignbytes} }, sub { "$_[0]-byte alignment" } ],
    # Any other define may change a structure or an inline macro: a wider
    # mark stack offset, a longer scalar head, a field fewer ahead of
    # PL_sv_yes.
    [ defines => sub { join(',', sort grep { !$HARMLESS{ define_name($_) } } defines($_[0])) || 'none' },
      sub { $_[0] eq 'none' ? 'no defines beyond the harmless ones' : join ' ', map { /^-U/ ? $_ : "-D$_" } split /,/, $_[0] } ],
);

sub an { $_[0] =~ /^(8|11|18)/ ? 'an' : 'a' }

sub yes { defined $_[0] && $_[0] eq 'define' ? 'yes' : 'no' }

sub interface_keys { map { $_->[0] } @interface }

# The interface of a Config-like hash: { key => value }.
sub interface {
    my ($config) = @_;
    return { map { ($_->[0] => $_->[1]->($config)) } @interface };
}

# The same as one line of key=value words, in a fixed order.
sub interface_text {
    my ($i) = @_;
    return join ' ', map { "$_=$i->{$_}" } interface_keys();
}

sub parse_interface {
    my ($text) = @_;
    return { map { split /=/, $_, 2 } split ' ', $text };
}

# Why a build compiled for the interface $built does not fit the perl of
# $config: "built for an 8-byte NV (double), this perl has a 12-byte NV
# (long double)", every difference joined by "; ".  Empty when it fits.
sub misfit {
    my ($built, $config) = @_;
    my $this = interface($config);
    my @why;
    for my $entry (@interface) {
        my ($key, undef, $say) = @$entry;
        my $want = defined $built->{$key} ? $built->{$key} : '(not recorded)';
        next if $want eq $this->{$key};
        push @why, 'built for ' . ($want eq '(not recorded)' ? "an unrecorded $key" : $say->($want))
                 . ', this perl has ' . $say->($this->{$key});
    }
    return join '; ', @why;
}

# The tier whose names include this perl's: its processor, an even series
# in the tier's range and one of its IV widths.  Undef for any other.
sub tier {
    my ($config) = @_;
    my $s = shape($config);
    my $cpu = cpu($config);
    for my $t (@TIERS) {
        return $t if $t->{cpu} eq $cpu && $s->{minor} >= $t->{first} && $s->{minor} <= $t->{last}
                  && $s->{minor} % 2 == 0 && grep { $_ == $s->{iv_bits} } @{ $t->{iv_bits} };
    }
    return undef;
}

# The interface that a supported build of this name has: the one of the
# reference perls of its tier (the tier of this processor for a name of
# none): a double NV, 64-bit file offsets, multiplicity only with threads,
# the processor's pointer size and alignment, no define beyond the harmless.
sub standard_interface {
    my ($config) = @_;
    my $s = shape($config);
    my $cpu = cpu($config);
    my $t = tier($config) || (grep({ $_->{cpu} eq $cpu } @TIERS), $TIERS[0])[0];
    my $threads = $s->{threads} ? 'yes' : 'no';
    return { cpu => $t->{cpu}, series => "5.$s->{minor}", threads => $threads, multiplicity => $threads,
             ivsize => $s->{iv_bits} / 8, nvsize => '8-double', ptrsize => $t->{ptrsize}, lseeksize => 8,
             alignbytes => $t->{alignbytes}, defines => 'none' };
}

# One of the names of a tier: the 24 of 32-bit x86, the 20 of x86_64, the
# 20 of aarch64.
sub supported_name { tier(@_) ? 1 : 0 }

# Whether the perl's series is newer than every series of the supported set
# (a release that came after the set was last widened).
sub newer_series {
    my ($config) = @_;
    my ($newest) = sort { $b <=> $a } map { $_->{last} } @TIERS;
    return shape($config)->{minor} > $newest ? 1 : 0;
}

# One of those names with that name's standard interface.
sub supported {
    my ($config) = @_;
    return supported_name($config) && misfit(standard_interface($config), $config) eq '' ? 1 : 0;
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

PlotRune::Configuration - which PlotRune build a perl needs, and which perls a build fits

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
C<ivsize>, C<ptrsize>, C<archname>, and for the interface C<nvsize>,
C<nvtype>, C<usemultiplicity>, C<lseeksize>, C<alignbytes>,
C<ccflags>, C<cppflags>, C<optimize>) and dies, with a message ending in a
newline, for a perl older than 5.12.

=over 4

=item module_name(\%config)

The build's name: C<perlplotrune>, C<5> and the two-digit minor version,
C<i64> for a 64-bit IV, C<mt> for interpreter threads: C<perlplotrune512>,
C<perlplotrune522i64mt>.
C<parse_module_name($name)> reads one back, as a hash reference (C<minor>,
C<iv_bits>, C<threads>), and returns nothing for a name the rule does not
give.

=item interface(\%config)

The binary interface that a build compiled for this perl depends on, as a
hash reference: C<cpu> (below), C<series> (C<5.16>: point releases
keep the interface), C<threads>, C<multiplicity>, C<ivsize>, C<nvsize>
(with the NV's type: C<8-double>, C<12-long-double>), C<ptrsize>,
C<lseeksize> (the width of file offsets, which sizes the stat buffer in the
interpreter's structure), C<alignbytes> and C<defines>: every define the
perl was built with that is not harmless (C<%HARMLESS>), sorted, or
C<none>.  Not the archname, the point release, the prefix, the kind of
libperl or hardening flags.  C<interface_text> writes it as one line of
C<key=value> words, as each build's C<.pm> records it; C<parse_interface>
reads that line back.

=item defines(\%config)

Every C<-D> and C<-U> of C<ccflags>, C<cppflags> and C<optimize> (also
inside C<-Wp,>), in order, once each: C<NAME> or C<NAME=VALUE> for a
C<-D>, C<-UNAME> for a C<-U>.

=item %HARMLESS

The defines that are not part of the binary interface, each with the
reason read from Perl's headers.  Every other define is: deny by default.

    _GNU_SOURCE, _REENTRANT, _THREAD_SAFE
        select what the C library's headers declare; config.h defines
        _GNU_SOURCE itself on glibc, perl.h reads _REENTRANT only on AIX
    _FORTIFY_SOURCE, _GLIBCXX_ASSERTIONS
        checks in the C and C++ libraries; no type or structure changes
    _LARGEFILE_SOURCE, _LARGEFILE64_SOURCE, _FILE_OFFSET_BITS
        their one effect, the width of file offsets, is lseeksize
    __GNUC__
        the compiler's own mark, which gcc and clang define themselves
    DEBIAN
        read only by patchlevel.h, for the local patches perl -V lists
    PERL_UTF8_CACHE_ASSERT
        changes only the initial value of PL_utf8cache (intrpvar.h)
    PERL_USE_SAFE_PUTENV
        drops the process-wide PL_use_safe_putenv (perlvars.h)
    USE_ITHREADS, MULTIPLICITY, PERL_IMPLICIT_CONTEXT
        counted as threads and multiplicity instead

=item multiplicity(\%config)

C<yes> when the interpreter's variables are fields of its structure:
C<usemultiplicity> or C<useithreads> in Config, or among its defines one
with which F<perl.h> turns multiplicity on (C<MULTIPLICITY>,
C<PERL_IMPLICIT_CONTEXT>, C<USE_ITHREADS>, C<USE_THREADS>,
C<PERL_GLOBAL_STRUCT>); else C<no>.

=item misfit(\%interface, \%config)

Why a build compiled for C<%interface> does not fit the perl of
C<%config>, every difference in words (C<built for an 8-byte NV (double),
this perl has a 12-byte NV (long double)>), joined by C<; >; the empty
string when it fits.

=item cpu(\%config)

The processor, as builds are filed by it: C<i386> for every 32-bit x86
archname (C<i386>, C<i586>, C<i686>), C<x32> for x86_64 with 4-byte
pointers, otherwise the archname's first word (C<x86_64>).

=item supported(\%config)

1 when the configuration is one of the supported set,
C<$PlotRune::Configuration::SUPPORTED_SET>, else 0: one of the names of a
tier (C<supported_name>) with that name's standard interface
(C<standard_interface>: a double NV, 64-bit file offsets, multiplicity
exactly with threads, no define beyond the harmless ones, and the tier's
pointer size and alignment).  Builds beyond it are made and tested all the same; the shipped
builds refuse such perls.

=item tier(\%config)

The tier of the supported set whose names include this perl's, from
C<@PlotRune::Configuration::TIERS>, or undef.  Tier 1: Perl 5.12 to 5.22
on 32-bit x86 (C<i386>), even minor versions, a 32- or 64-bit IV, threads
or not; 24 names, 4-byte pointers and alignment.  Tier 2: Perl 5.24 to
5.42 on C<x86_64>, even minor versions, a 64-bit IV, threads or not; 20
names, 8-byte pointers and alignment.  Tier 3: the same 20 names on
C<aarch64> (64-bit ARM), 8-byte pointers and alignment.  Each tier is a hash: C<tier>,
C<cpu>, C<first> and C<last> (minor versions), C<iv_bits>, C<ptrsize>,
C<alignbytes>, C<set> (its words).

=item newer_series(\%config)

1 when the perl's series is newer than every series of the supported set
(Perl 5.44, say): a release that came after the set was last widened, which
builds its own module from source.

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
