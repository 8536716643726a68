package PlotruneBuild::Rules;

# How the module is built for one perl: its name, its compile and link
# flags and where everything goes in an install.  The one place that
# decides, for both front doors: PlotruneBuild::MakeMaker hands these
# answers to MakeMaker, and CMake takes them as set() lines from
# PlotruneBuild::Command, run under each perl.  Everything here follows from
# that perl's own Config and the name rule (PlotRune::Configuration).
#
# Kept to what Perl 5.12 understands: it runs under the perl being built for.

use strict;
use warnings;

use File::Spec ();
use Text::ParseWords ();

# The source tree's root; the one version of the distribution, as
# lib/PlotRune.pm declares it.
our ($root, $VERSION);
BEGIN {
    require Cwd;
    $root = Cwd::abs_path(File::Spec->rel2abs((File::Spec->splitpath(__FILE__))[1]) . '/../..');
    unshift @INC, "$root/lib";
    require ExtUtils::MakeMaker;
    $VERSION = MM->parse_version("$root/lib/PlotRune.pm");
}
use PlotRune::Configuration ();

# The engine's file name, as the contract header gives it to the module.
my $engine_file;
sub engine_file {
    return $engine_file if defined $engine_file;
    my $header = "$root/contract/plotrune_engine.h";
    open my $fh, '<', $header or die "cannot read $header: $!\n";
    ($engine_file) = join('', <$fh>) =~ /^#define PLOTRUNE_LIBRARY_NAME "([^"]+)"/m
        or die "no PLOTRUNE_LIBRARY_NAME in $header\n";
    return $engine_file;
}

# Where the files of a processor this host does not run lie (Debian's C
# library, its headers and whatever else tools/emulation.sh unpacks there):
# the sysroot its modules compile against and its programs run with under
# emulation.  In the cache, outside any checkout; the one place that names it.
sub cache_dir { $ENV{PLOTRUNE_CACHE} || '/var/cache/perlplotrune' }
sub sysroot { cache_dir() . "/$_[0]-sysroot" }

# ---------------------------------------------------------------- a perl

# What the build needs to know of one perl, from its Config (pass \%Config).
# checked: the checked build for engine authors, which checks every rule of
# the engine contract (same module name).
sub probe {
    my ($config, %o) = @_;
    my $interface = PlotRune::Configuration::interface($config);
    my %p = (
        %{ PlotRune::Configuration::shape($config) },
        module     => PlotRune::Configuration::module_name($config),
        # The processor, as builds and build folders are filed by it.
        arch       => $interface->{cpu},
        interface  => PlotRune::Configuration::interface_text($interface),
        supported  => PlotRune::Configuration::supported($config),
        checked    => $o{checked} ? 1 : 0,
        core       => "$config->{archlibexp}/CORE",
        sitelib    => $config->{installsitelib},
        # The compiler and flags the perl was built with.
        map { ($_ => $config->{$_}) } qw(cc ccflags optimize cccdlflags lddlflags),
    );
    # A perl of another processor may lie in its sysroot (Debian's arm64
    # perl), where the host's compiler finds its headers.  Asked first: to
    # an emulated perl, the sysroot's files may show at their own paths too.
    my $sysroot = sysroot($p{arch});
    $p{core} = "$sysroot$p{core}" if -f "$sysroot$p{core}/perl.h";
    die "no perl.h under $p{core}: this perl cannot build extensions\n" unless -f "$p{core}/perl.h";
    return \%p;
}

# What a build says of itself when it is configured, for the perl $perl.
sub summary {
    my ($p, $perl) = @_;
    return "perl $p->{version} ($perl): $p->{module} on $p->{arch}"
         . ($p->{supported} ? '' : ", beyond the supported set ($PlotRune::Configuration::SUPPORTED_SET)")
         . ($p->{checked} ? ', checked build' : '');
}

sub words { map { Text::ParseWords::shellwords($_) } grep { defined } @_ }

# Flags that the C compiler takes and C++ refuses or warns about.
my $c_only = qr/^(?:-std=.*|-W(?:declaration-after-statement|c\+\+-compat|bad-function-cast|nested-externs
                                 |strict-prototypes|missing-prototypes|old-style-definition))\z/x;

sub cxx_only { grep { !/$c_only/ } @_ }

# Flags of the interpreter's ABI: any riding on its compiler's word (a
# "gcc -m32"), and -m32 for a 32-bit perl, whose Config may not say so when
# this host is 64-bit; or clang's for the perl's processor (cross_flags).
sub arch_flags {
    my ($p, $own) = @_;
    return @{ cross_flags($p) } if !$own && @{ cross_flags($p) };
    my (undef, @riding) = words($p->{cc});
    push @riding, '-m32' if $p->{ptr_bits} == 32 && !grep { $_ eq '-m32' } @riding;
    return @riding;
}

# The compilers of the perl's own toolchain ($own), or clang's (cross_flags):
# its C compiler for the engines, and the C++ compiler of the same family
# for the module ($ENV{CXX} first).  One named in Config that this host
# lacks (Debian's i386 perl says i686-linux-gnu-gcc) gives way to cc and c++.
sub on_path {
    my ($program) = @_;
    return 1 if File::Spec->file_name_is_absolute($program) && -x $program;
    return scalar grep { -x File::Spec->catfile($_, $program) } File::Spec->path;
}

sub c_compiler {
    my ($p, $own) = @_;
    return 'clang' if !$own && @{ cross_flags($p) };
    my ($cc) = words($p->{cc});
    return on_path($cc) ? $cc : 'cc';
}

sub cxx_compiler {
    my ($p, $own) = @_;
    return 'clang++' if !$own && @{ cross_flags($p) };
    return $ENV{CXX} if $ENV{CXX};
    my $cc = c_compiler($p, 1);
    my $cxx = $cc =~ /^(.*)gcc(-[\d.]+)?\z/ ? "$1g++" . (defined $2 ? $2 : '')
            : $cc =~ /^(.*)clang(-[\d.]+)?\z/ ? "$1clang++" . (defined $2 ? $2 : '')
            : 'c++';
    return on_path($cxx) ? $cxx : 'c++';
}

# The processor a compiler makes code for with these flags, by its macros
# ('' when it does not run).  Where the perl's own makes code for another (an
# aarch64 perl emulated on an x86_64 host), clang builds for the perl's against
# its sysroot, linking with that processor's binutils; with neither, or
# without the sysroot, the build is refused, never mislabelled.
sub makes_code_for {
    my $macros = join ' ', map { quotemeta } words(@_);
    $macros = `$macros -dM -E -x c /dev/null 2>/dev/null`;
    return '' if $?;
    my ($cpu) = $macros =~ /^#define __(aarch64|x86_64|i386|arm)__ /m or return 'unknown';
    return $cpu eq 'x86_64' && $macros =~ /^#define __ILP32__ /m ? 'x32' : $cpu;
}

sub cross_flags {
    my ($p) = @_;
    return $p->{cross} ||= do {
        my $sysroot = sysroot($p->{arch});
        my ($own, @clang) = (makes_code_for(cxx_compiler($p, 1), arch_flags($p, 1)), '--target=aarch64-linux-gnu',
                             "--sysroot=$sysroot");
        $own eq '' || $own eq $p->{arch} ? []
        : $p->{arch} eq 'aarch64' && !-f "$sysroot/usr/include/stdio.h"
            ? die "cannot build for $p->{arch} here: no $p->{arch} C library to compile against in $sysroot "
                . "(as root, tools/emulation.sh setup unpacks it)\n"
        : $p->{arch} eq 'aarch64' && makes_code_for('clang++', @clang) eq 'aarch64'
            ? \@clang : die "cannot build for $p->{arch} here: " . cxx_compiler($p, 1) . " makes code for $own, and "
                            . "no compiler here does (for aarch64, clang: tools/emulation.sh setup installs it)\n";
    };
}

# Whether the C++ compiler takes a flag; -fno-plt is newer than g++ 4.8.
my %accepts;
sub accepts {
    my ($cxx, $flag) = @_;
    return $accepts{"$cxx $flag"} if exists $accepts{"$cxx $flag"};
    my $cmd = join ' ', map { quotemeta } words($cxx), $flag, qw(-x c++ -c -o /dev/null /dev/null);
    return $accepts{"$cxx $flag"} = system("$cmd 2>/dev/null") == 0;
}

# The module: C++11 (the newest standard g++ 4.8 knows fully) without
# exceptions, RTTI or the runtime, and with that perl's own flags, so that
# the interpreter's structures look the same to the module as to the
# interpreter.  Options: cxx (the compiler, to leave out flags it lacks).
sub module_compile_flags {
    my ($p, %o) = @_;
    my @optional = grep { !$o{cxx} || accepts($o{cxx}, $_) }
        # Through the GOT each call into the interpreter (several per Perl
        # call) skips the PLT's jump.
        '-fno-plt';
    # Perl 5.24's GCC -fpcc-struct-return, which clang takes on x86 only, is left out for
    # aarch64: no struct passes by value between the module and the interpreter.
    return (arch_flags($p), grep({ $_ ne '-fpcc-struct-return' || !@{ cross_flags($p) } }
                                 cxx_only(words($p->{ccflags}, $p->{optimize}, $p->{cccdlflags}))),
            qw(-std=gnu++11 -fno-exceptions -fno-rtti -fno-threadsafe-statics -fvisibility=hidden),
            @optional, qw(-Wall -Wextra -Wno-unused-parameter),
            "-I$root/contract",
            # The interpreter's headers are its own: their warnings (old ones
            # predate C++11's literal rules) are not ours to see.
            "-isystem$p->{core}",
            "-DPLOTRUNE_MODULE=$p->{module}",
            # The contract's checks are compiled in, or not at all.
            ($p->{checked} ? '-DPLOTRUNE_CHECKED' : ()));
}

# The layout facts the module depends on, measured with its own compiler
# and flags against the perl's headers (layout_probe.cpp, compiled to
# assembly only: no assembler, linker or processor of the perl's kind):
# one line of key=value words, recorded in the build's .pm.
sub measure {
    my ($p, $cxx) = @_;
    $cxx = cxx_compiler($p) unless defined $cxx;
    my @cmd = (words($cxx), (grep { !/^-DPLOTRUNE_/ } module_compile_flags($p, cxx => $cxx)),
               '-S', '-o', '-', "$root/inc/PlotruneBuild/layout_probe.cpp");
    open my $fh, '-|', @cmd or die "cannot run $cmd[0]: $!\n";
    my @facts = map { /plotrune-layout (\w+) (-?\d+)/ ? "$1=$2" : () } <$fh>;
    close $fh && @facts or die "the layout probe does not compile for this perl: @cmd\n";
    return join ' ', @facts;
}

# It records no needed library and exports only its boot symbol; everything
# it calls is resolved from the perl process that loads it.  -shared is the
# front door's to add.
sub module_link_flags {
    my ($p, $version_script) = @_;
    return (arch_flags($p), (grep { $_ ne '-shared' } words($p->{lddlflags})), '-nostdlib',
            "-Wl,--version-script=$version_script");
}

sub module_link_libraries { qw(-lgcc -lc_nonshared) }

# The stand-in engine and the test libraries beside it: plain C.
sub engine_compile_flags {
    my ($p) = @_;
    return (arch_flags($p), qw(-std=c11 -O2 -g -fPIC -fvisibility=hidden -Wall -Wextra), "-I$root/contract");
}

sub engine_link_flags { arch_flags($_[0]) }

# AddressSanitizer and UndefinedBehaviorSanitizer, for the sanitizer build
# and the fuzz target; vptr checks need RTTI, which the module lacks.
sub sanitize_flags { ('-fsanitize=address,undefined', qw(-fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer)) }

# ---------------------------------------------------------------- an install

# Where an install puts things: a Perl library tree whose one folder the
# perl is given (-I, PERL5LIB, use lib), or a perl's own site library.  The
# builds of one processor share one folder (PlotRune's build_dir), named by
# nothing that differs between perls of one binary interface (not the
# archname, not the point release), so that every such perl finds them;
# and one engine beside them serves them all, found by the module's loader
# in the folder of its own file.
sub layout {
    my ($p, $lib) = @_;
    require PlotRune;
    my $dir = PlotRune::build_dir($lib, $p->{arch});
    my $files = PlotRune::build_files($p->{module});
    return { lib => $lib, dir => $dir, pm => "$dir/$files->{pm}", so => "$dir/$files->{so}",
             engine => "$dir/" . engine_file() };
}

# Relative to the install prefix.
sub tree_layout { layout($_[0], 'lib/perl5') }

# In the perl's own site library (absolute).
sub site_layout { layout($_[0], $_[0]{sitelib}) }

# The pure-Perl files every install holds, relative to the library folder.
sub perl_files { ('PlotRune.pm', 'PlotRune/Configuration.pm') }

sub write_text {
    my ($file, $text) = @_;
    open my $fh, '>', $file or die "cannot write $file: $!\n";
    print $fh $text;
    close $fh or die "cannot write $file: $!\n";
}

1;
