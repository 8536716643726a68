package PlotRune;

# The one name Perl programs use for the plotrune engine:
#
#   use PlotRune qw(callMethod);
#   my $result = callMethod('method', @arguments);
#
# Its import loads the build of perlplotrune that fits the running
# interpreter (without use: require PlotRune; PlotRune->import;).  The
# build's name follows from the perl's version, IV width and threads
# (PlotRune->module); of the builds of that name in @INC it takes the first
# compiled for this perl's binary interface, whatever the archname or point
# release of the perl that built it.  It makes the build's five subs
# PlotRune's own: the same subs, not wrappers, so a call through PlotRune
# costs what a call of the build's sub costs.  A build of another
# interface is never loaded: it would corrupt the interpreter.
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

use Config ();
use PlotRune::Configuration ();

our $VERSION = '5.01';

# The subs every build registers, which PlotRune makes its own.
our @SUBS = qw(callMethod major_ver minor_ver copyright id);

my $module = PlotRune::Configuration::module_name(\%Config::Config);
my $cpu = PlotRune::Configuration::cpu(\%Config::Config);

sub module { $module }

# Where a library folder files the builds: one folder per processor,
# PlotRune/<cpu> (PlotRune without one), which every build for it and the
# engine they load share; and a build's own files there.  The build rules,
# the tests and the tools take these from here.
sub build_dir { "$_[0]/PlotRune" . (defined $_[1] ? "/$_[1]" : '') }

sub build_files { my ($module) = @_; return { pm => "$module.pm", so => "$module.so" } }

# The folder of every build in the library folders of @INC.
sub build_folders {
    my @folders;
    for my $lib (grep { !ref } @INC) {
        opendir my $dh, build_dir($lib) or next;
        push @folders, map { [ $_, build_dir($lib, $_) ] } grep { !/^\./ && -d build_dir($lib, $_) } sort readdir $dh;
        closedir $dh;
    }
    return @folders;
}

# What a build's .pm says of itself, read without running it: its version
# and the interface its module file was compiled for.
sub describe_build {
    my ($file) = @_;
    open my $fh, '<', $file or return;
    my %said;
    while (my $line = <$fh>) {
        $said{version} = $1 if $line =~ /^our \$VERSION = '([^']*)';/;
        $said{interface} = $1 if $line =~ /^our \$INTERFACE = '([^']*)';/;
        last if defined $said{version} && defined $said{interface};
    }
    close $fh;
    return \%said;
}

# "perlplotrune516 (/opt/plotrune/lib/perl5/PlotRune/i386)", for the
# builds near the one wanted: this name on another processor, and the other
# builds of this Perl series on this one.  When there are none (a series or
# processor outside the supported set), the nearest instead: the builds of
# this shape (IV width and threads) in the closest series below and above on
# this processor, and this series' builds on the other processors.  Returns
# those and the count of the others (a .pm of no name the rule gives among
# them).
sub near_builds {
    my $this = PlotRune::Configuration::parse_module_name($module);
    my (@all, %seen);
    for my $folder (build_folders()) {
        my ($folder_cpu, $dir) = @$folder;
        opendir my $dh, $dir or next;
        for my $name (sort map { /^(\w+)\.pm\z/ ? $1 : () } readdir $dh) {
            my $parts = PlotRune::Configuration::parse_module_name($name) || { minor => -1 };
            push @all, [ $name, $folder_cpu, $dir, $parts ] unless $seen{"$dir/$name"}++;
        }
        closedir $dh;
    }
    my $series = sub { $_[0][3]{minor} == $this->{minor} };
    my $near = sub {
        my ($name, $folder_cpu) = @{ $_[0] };
        return $name eq $module ? $folder_cpu ne $cpu : $folder_cpu eq $cpu && $series->($_[0]);
    };
    my @near = grep { $near->($_) } @all;
    if (!@near) {
        # The closest series below and above with a build of this shape here.
        my $shape = sub { $_[0][3]{minor} >= 0 && $_[0][3]{iv_bits} == $this->{iv_bits}
                          && $_[0][3]{threads} == $this->{threads} };
        my ($minor, %closest) = ($this->{minor});
        for (grep { $_->[1] eq $cpu && $shape->($_) && !$series->($_) } @all) {
            my $other = $_->[3]{minor};
            my $side = $other < $minor ? 'below' : 'above';
            $closest{$side} = $other if !defined $closest{$side} || abs($other - $minor) < abs($closest{$side} - $minor);
        }
        my %nearest = map { ($_ => 1) } values %closest;
        $near = sub { $_[0][1] eq $cpu ? $shape->($_[0]) && $nearest{ $_[0][3]{minor} } : $series->($_[0]) };
        @near = grep { $near->($_) } @all;
    }
    my %named = map { ("$_->[2]/$_->[0]" => 1) } @near;
    return ([ map { "$_->[0] ($_->[2])" } @near ], scalar grep { !$named{"$_->[2]/$_->[0]"} } @all);
}

sub from_source {
    "Build one for this perl from the perlplotrune sources: perl Makefile.PL && make && make test && make install\n";
}

# The one message when no build in @INC fits this perl.  $refused: the
# builds of this name found and why each did not fit.
sub missing {
    my (@refused) = @_;
    my $this = PlotRune::Configuration::describe(\%Config::Config);
    my $beyond = PlotRune::Configuration::supported(\%Config::Config) ? ''
        : PlotRune::Configuration::newer_series(\%Config::Config)
        ? "; its series is newer than the supported set, $PlotRune::Configuration::SUPPORTED_SET"
        : "; beyond the supported set, $PlotRune::Configuration::SUPPORTED_SET";
    my $interface = PlotRune::Configuration::interface_text(PlotRune::Configuration::interface(\%Config::Config));
    my $text = "PlotRune: no build for this perl: it wants $module ($this$beyond; interface $interface)";
    if (@refused) {
        $text .= ", and the ones in \@INC do not fit:\n" . join '', map { "  $_\n" } @refused;
    } else {
        my ($near, $others) = near_builds();
        $text .= ", which is not installed in \@INC.\n"
               . 'Builds near it in @INC: ' . (@$near ? join(', ', @$near) : 'none')
               . ($others ? " (and $others of other Perl series or processors)" : '') . ".\n";
    }
    return $text . from_source();
}

# The first build of this name in @INC that fits: its .pm, or dies with
# the one message.
sub find_build {
    my @refused;
    my %seen;
    for my $lib (grep { !ref } @INC) {
        my $file = build_dir($lib, $cpu) . '/' . build_files($module)->{pm};
        next unless -f $file;
        require File::Spec;
        $file = File::Spec->rel2abs($file);
        next if $seen{$file}++;
        my $said = describe_build($file) or do { push @refused, "$file: cannot read it: $!"; next };
        if (!defined $said->{version} || $said->{version} ne $VERSION) {
            push @refused, "$file: a build of version " . (defined $said->{version} ? $said->{version} : 'unknown')
                         . ", and this PlotRune is $VERSION: install PlotRune and its builds from one release";
            next;
        }
        my $why = PlotRune::Configuration::misfit(
            PlotRune::Configuration::parse_interface(defined $said->{interface} ? $said->{interface} : ''),
            \%Config::Config);
        return $file if $why eq '';
        push @refused, "$file: $why";
    }
    die missing(@refused);
}

# Loads the build once; every later import answers as the first did.  Its
# error is the build's own message (an engine that did not load) or the
# missing-build message, as it is: the build's .pm runs through do, not
# require, which would append its own line to any error raised inside.
my ($loaded, $error);
sub load {
    return 1 if $loaded;
    die $error if defined $error;
    my $key = "$module.pm";
    no strict 'refs';
    # A program that loaded the build by its own name first: booted already.
    unless ($INC{$key} && defined &{"${module}::callMethod"}) {
        my $path = eval { find_build() };
        die $error = $@ unless defined $path;
        $INC{$key} = $path;
        {
            local $@;
            $error = $@ ne '' ? $@ : "PlotRune: cannot read $path: $!\n" unless defined do $path;
        }
        if (defined $error) {
            delete $INC{$key};
            die $error;
        }
    }
    *{"PlotRune::$_"} = \&{"${module}::$_"} for @SUBS;
    return $loaded = 1;
}

# The one boot of a build, which its .pm calls with what it was built as
# ($pm: the .pm's own file).  A module compiled for another interface would
# corrupt the interpreter that loads it: refuse before the module file is
# opened.  The module file lies beside the .pm, so that the builds of one
# processor share a folder and the engine in it.
sub boot_build {
    my ($package, $pm, $interface) = @_;
    my $why = PlotRune::Configuration::misfit(PlotRune::Configuration::parse_interface($interface),
                                              \%Config::Config);
    die "$package does not fit this perl: $why: not loaded\n" if $why ne '';
    require File::Spec;
    my (undef, $dir) = File::Spec->splitpath(File::Spec->rel2abs($pm));
    boot_file($package, File::Spec->catfile($dir, build_files($package)->{so}));
    return 1;
}

# Loads a module file and runs its boot, as DynaLoader's bootstrap would,
# with @args (the package name by default); returns what boot returns.
sub boot_file {
    my ($package, $file, @args) = @_;
    require DynaLoader;
    my $handle = DynaLoader::dl_load_file($file, 0)
        or die "$package: cannot load $file: " . DynaLoader::dl_error() . "\n";
    my $boot = DynaLoader::dl_find_symbol($handle, "boot_$package")
        or die "$package: no boot_$package in $file: " . DynaLoader::dl_error() . "\n";
    push @DynaLoader::dl_librefs, $handle;
    push @DynaLoader::dl_modules, $package;
    push @DynaLoader::dl_shared_objects, $file;
    no warnings 'redefine';    # a second boot (the tests') registers the same subs again
    return DynaLoader::dl_install_xsub("${package}::bootstrap", $boot, $file)->(@args ? @args : $package);
}

# use PlotRune qw(callMethod id): loads the build, then gives the caller
# the subs it names; none by default.
sub import {
    my ($class, @names) = @_;
    my %known = map { ($_ => 1) } @SUBS;
    if (my @unknown = grep { !$known{$_} } @names) {
        require Carp;
        Carp::croak("PlotRune does not export " . join(', ', map { "'$_'" } @unknown)
                  . "; it exports " . join(', ', @SUBS));
    }
    load();
    my $caller = caller;
    no strict 'refs';
    *{"${caller}::$_"} = \&{"PlotRune::$_"} for @names;
    return;
}

1;

__END__

=head1 NAME

PlotRune - Perl binding of the plotrune engine

=head1 SYNOPSIS

    use PlotRune qw(callMethod);

    my $result = callMethod('method', @arguments);   # the engine's one result

    my $ok = eval { PlotRune::callMethod('method', 'bad argument'); 1 };
    print "the engine said: $@" unless $ok;          # its message, ending in "\n"

    print PlotRune->module, "\n";                    # the build this perl needs
    print PlotRune::id(), "\n";                      # the build that is loaded

=head1 DESCRIPTION

PlotRune calls the plotrune engine, C<libplotrune.so>, from Perl.  The
binding is built once for every Perl configuration (a build such as
C<perlplotrune512> or C<perlplotrune522i64mt>); C<use PlotRune> loads the
build made for the running perl and makes its five subs PlotRune's own:
the build's subs themselves, not wrappers, so a call through PlotRune costs
what a call of the build's sub costs.

=over 4

=item callMethod($method, @arguments)

Hands the method name and its arguments to the engine and returns the
engine's one result (undef when it gives none).  Arguments go as they are:
numbers, texts, undef, and references to arrays, which the engine may read
as lists of numbers or texts.  Tied and other magical scalars are read once
per read, as their current value.  The engine reads texts as C strings,
which end at their first NUL byte: a text with a NUL inside reaches it cut
there, and a method name with a NUL inside is refused (see L</Errors>).

=item major_ver(), minor_ver()

The binding's version in two numbers: 5 and 1 for PlotRune 5.01.

=item copyright()

The copyright notice of the binding.

=item id()

The name of the build that is loaded, such as C<perlplotrune536i64mt>.

=back

=head2 Errors

When the engine reports a failure, C<callMethod> dies with the engine's
message as a Perl error ending in a newline (so Perl adds no "at ... line"
to it).  Catch it with C<eval>:

    my $result = eval { callMethod('method', @arguments) };
    warn "plotrune: $@" if $@;

C<callMethod> also dies, before the engine runs or while it reads its
arguments, with:

=over 4

=item C<perlplotrune536i64mt: callMethod: the method name holds a NUL byte after "num", so the engine would run "num": refused>

The method name holds a NUL byte: the engine would see only its part before
it, which is not the name your code chose.

=item C<perlplotrune536i64mt: out of memory in getDoubleArray: 98760 bytes could not be allocated>

An array argument could not be copied for the engine (C<getStringArray>,
C<getDoubleArray>, C<getIntArray>).  Whatever the call had been lent is
freed; the next call works as usual.

=item C<perlplotrune536i64mt: getDoubleArray: an array of 3000000000 elements, more than a count of the engine holds>

The engine counts elements in 32 bits.

=item Errors of your own code

A tie's C<FETCH> or an overloaded conversion that dies while the engine
reads the value, or a warning you made fatal (C<use warnings FATAL =E<gt>
'all'>: non-numeric text or undef read as a number), ends the call with that
error; nothing the call was lent is leaked.

=back

=head1 IMPORTS

Nothing is imported by default; C<PlotRune::callMethod(...)> and the other
subs are always there by their full names.  Name the subs to import:

    use PlotRune qw(callMethod id);

Any of C<callMethod>, C<major_ver>, C<minor_ver>, C<copyright> and C<id> may
be named.  An unknown name is refused at compile time, with a message that
names it.  C<use PlotRune 5.01> asks for at least this version, as for any
module.  Without C<use>: C<require PlotRune; PlotRune-E<gt>import;>.

=head1 WHICH BUILD IS LOADED

C<PlotRune-E<gt>module> gives the name of the build this perl needs, by
the rule of L<PlotRune::Configuration>: its Perl series, IV width and
threads.  Of the builds of that name in C<@INC>, C<use PlotRune> loads the
first that was compiled for this perl's binary interface, and
C<PlotRune::id()> gives the name of the build that was loaded.

A build fits every perl of the binary interface it was compiled for, and
only those.  Each build records its interface when it is built (C<$INTERFACE>
in its C<.pm>, and the C<interface> column of an installed tree's
manifest), and PlotRune and the build's C<.pm> compare it with the running
perl's C<%Config> before anything is loaded.  What decides, and why:

=over 4

=item *

the processor (C<cpu>: C<i386> for i386, i586 and i686, C<x86_64>, C<x32>,
C<aarch64>, ...): machine code runs on one processor only;

=item *

the Perl series (C<5.16>, any point release): each series changes the
interpreter's structures and functions, point releases keep them;

=item *

interpreter threads: every call fetches the interpreter from the thread key
and passes it on;

=item *

multiplicity: the interpreter's variables become fields of its structure,
and its functions take it as an argument;

=item *

the sizes of IV, NV (and the NV's type) and pointers: the module reads
these values straight out of scalars;

=item *

the width of file offsets (C<lseeksize>): it sizes the stat buffer inside
the interpreter's structure.  Large-file support changes it only where
offsets are not 64 bits wide anyway: on x86_64 a perl built without it
still fits;

=item *

the alignment of a double (C<alignbytes>): where a double sits in a
scalar's body;

=item *

every compile-time define the perl was built with (C<-D> and C<-U> in
C<ccflags>, C<cppflags> and C<optimize>), unless it is shown harmless:
defines may widen the mark stack offsets (C<-DPERL_STACK_OFFSET_SSIZET>),
lengthen every scalar's head (C<-DDEBUG_LEAKING_SCALARS>), or take a field
out of the interpreter's structure ahead of C<PL_sv_yes>
(C<-DPERL_PERTURB_KEYS_RANDOM> with threads, 5.24 to 5.32), and the module
compiled those into its own code.  The harmless ones, each with the reason
read from Perl's headers, are C<%PlotRune::Configuration::HARMLESS>: the C
library's feature and hardening defines (C<_GNU_SOURCE>, C<_REENTRANT>,
C<_FORTIFY_SOURCE>, the large-file ones), C<DEBIAN>,
C<PERL_UTF8_CACHE_ASSERT> and C<PERL_USE_SAFE_PUTENV>.  C<-DMULTIPLICITY>
and C<-DPERL_IMPLICIT_CONTEXT> count as multiplicity, whatever Config's
C<usemultiplicity> says.

=back

When a build is made, a probe compiled with the module's own flags against
its perl's headers measures what the module depends on (the size of the
interpreter's structure and where C<PL_sv_yes> and C<PL_sv_undef> lie in it,
the size of a scalar's head, of a mark stack entry, of IV and NV), and the
build records it beside its interface (C<$LAYOUT> in its C<.pm>).  The tests
check, for every perl they run under, that perls this rule calls one
interface measure the same.

Not the archname, the point release, the install prefix, whether libperl is
shared, or hardening flags: a distribution's 5.16.3
(C<i386-linux-thread-multi>, C<-D_FORTIFY_SOURCE=2
-fstack-protector-strong>) loads the C<perlplotrune516mt> built with
another 5.16.3, and Debian 12's own 5.36.0
(C<x86_64-linux-gnu-thread-multi>, C<-DDEBIAN>) the
C<perlplotrune536i64mt> built with a plain 5.36.0.

C<use PlotRune> never loads a build of another binary interface, which would
corrupt the interpreter:

=over 4

=item *

A build whose binary interface differs from this perl's is refused with one
message naming the difference.

=item *

When no installed build fits, one message names the build wanted, this
perl's version, shape and interface, then either the builds of that name
found and why each does not fit, or the builds near it (this name for
another processor, the other builds of this Perl series; when there are
none, as for a series or processor outside the supported set, the nearest:
this shape in the closest series below and above on this processor, and
this series on the others), and how to build one from source (see
L</INSTALLING>):

    PlotRune: no build for this perl: it wants perlplotrune522 (Perl 5.22.4, no threads, 32-bit IV, 32-bit pointers, i686-linux-ld; beyond the supported set, Perl 5.12 to 5.22 on 32-bit x86, Perl 5.24 to 5.42 on x86_64 and Perl 5.24 to 5.42 on aarch64; interface cpu=i386 series=5.22 threads=no multiplicity=no ivsize=4 nvsize=12-long-double ptrsize=4 lseeksize=8 alignbytes=4 defines=none), and the ones in @INC do not fit:
      /opt/plotrune/lib/perl5/PlotRune/i386/perlplotrune522.pm: built for an 8-byte NV (double), this perl has a 12-byte NV (long double)
    Build one for this perl from the perlplotrune sources: perl Makefile.PL && make && make test && make install

=item *

A build of another version than PlotRune.pm's is refused.

=item *

A build's own C<.pm>, loaded by name, makes the same check and dies naming
the difference before its module file is opened.

=item *

From Perl 5.22 on, the module file itself does Perl's own handshake at
boot, as every module that C<xsubpp> writes does: loaded in any other way
(through C<DynaLoader> directly, say) into a perl of another interpreter
size, threads setting or API version, it is refused by Perl with Perl's own
message.  Perl 5.12 to 5.20 have no such handshake: there the checks above
are all there is.

=back

=head1 SUPPORTED PERLS

The supported set is what the shipped builds serve: in each tier a set of
names, each with its standard interface (a double NV, multiplicity exactly
when there are threads, 64-bit file offsets, no define beyond the harmless
ones, and the processor's pointer size and alignment).

=over 4

=item *

Tier 1: Perl 5.12 to 5.22, even series, threads or not, a 32- or 64-bit IV
(24 names), on 32-bit x86 (C<i386>): 4-byte pointers, 4-byte alignment.

=item *

Tier 2: Perl 5.24 to 5.42, even series, threads or not, a 64-bit IV (20
names), on C<x86_64>: 8-byte pointers, 8-byte alignment.

=item *

Tier 3: the same 20 names on C<aarch64> (64-bit ARM: cloud servers,
workstations, boards), 8-byte pointers, 8-byte alignment.  The builds of
tiers 2 and 3 share their names (C<perlplotrune540i64mt>) and lie in a
folder per processor.

=back

Tiers 2 and 3 cover the perl of every current distribution (Debian 9 to 13,
Ubuntu 18.04 to 24.04, RHEL 8 to 10: all with threads) and the perls of the
official container images and perlbrew (without threads).  A perl that
gives one of these names with another interface (a long double, say) is
beyond the set: it builds its own module from source (L</INSTALLING>), and
the shipped builds refuse it.  So does a perl of a series newer than the
set (Perl 5.44 on, until one has been built and tested here), which the
message above names as such.  C<PlotRune::Configuration::supported> tells
which a perl is.

=head1 WHERE THE ENGINE MUST BE

The engine is not part of this distribution.  A build looks for
C<libplotrune.so> in the folder of its own file first, then through the
system's library search (C<LD_LIBRARY_PATH>, the folders C<ldconfig>
knows).  In an installed tree there is one engine per CPU architecture, beside
that architecture's builds:

    lib/perl5/PlotRune/i386/libplotrune.so
    lib/perl5/PlotRune/x86_64/libplotrune.so
    lib/perl5/PlotRune/aarch64/libplotrune.so

When the build loads but its engine does not, C<use PlotRune> dies with the
engine loader's message as it is: one line per library tried, the one
beside the build first, each with the loader's reason:

    Error loading ".../PlotRune/x86_64/libplotrune.so" : ... No such file or directory
    Error loading "libplotrune.so" : libplotrune.so: cannot open shared object file: ...

To replace the engine of an installed tree or unpacked archive, copy the
new C<libplotrune.so> over C<lib/perl5/PlotRune/E<lt>cpuE<gt>/libplotrune.so>
(one file per processor); programs started afterwards use it.  The tree's
manifest (C<perlplotrune-manifest.tsv>) then names the old file's SHA-256:
install again with C<PLOTRUNE_ENGINE> to have both agree.

=head1 INSTALLING

For the perl that runs it, as any CPAN distribution (ExtUtils::MakeMaker,
which every perl ships; no CMake, any g++ from 4.8; a 32-bit perl on a
64-bit host builds the same, its Config saying C<cc='gcc -m32'>, and an
aarch64 perl with its own g++):

    perl Makefile.PL && make && make test && make install

C<make test> runs the test suite with a stand-in engine of the project's
own (C<TEST_VERBOSE=1> for prove's C<-v>).  C<make install> puts the build,
its C<.pm> and PlotRune.pm into that perl's site folders, where it looks
without C<-I>.  Without an engine it installs none and ends with a line saying where
one must go; give it one:

    make install PLOTRUNE_ENGINE=/path/to/libplotrune.so

An empty C<PLOTRUNE_ENGINE>, or a file that cannot be read or is no shared
library, fails the install with nothing written.  Elsewhere than the perl's
own site folders, or staged for a system package:

    perl Makefile.PL INSTALL_BASE=/opt/plotrune && make && make test && make install
    perl -I/opt/plotrune/lib/perl5 -e 'use PlotRune; print PlotRune::id(), "\n"'
    make install DESTDIR=/tmp/stage

The builds of an installed tree are in C<lib/perl5/PlotRune/E<lt>cpuE<gt>/>
(cpu: C<i386>, C<x86_64> or C<aarch64>), as C<E<lt>moduleE<gt>.pm> and
C<E<lt>moduleE<gt>.so>.  Any perl of a build's binary interface finds it
with nothing more than C<-I DIR/lib/perl5> (or C<PERL5LIB>, or C<use lib>),
whatever its archname or point release; nothing in the tree is named after
an archname.  To build for several perls at once and install them into one
tree, or to ship one archive of every build, see F<docs/building.md> in the
distribution.

=head1 SEE ALSO

L<PlotRune::Configuration>, the rule that names the builds and the fit
rule; in the distribution, F<README.md>, F<docs/building.md> (building
every tier, installing, shipping), F<docs/testing.md>, and
F<contract/README.md> with F<contract/plotrune_engine.h>, for engine
authors.

=head1 COPYRIGHT

Copyright (C) 2026 The perlplotrune developers.  All rights reserved; see
the file LICENSE.

=cut
