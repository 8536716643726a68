package PlotruneBuild::Rules;

# How the module is built and installed for one perl, for both front doors:
# the CMake build (through configs/probe_perl.pl) and Makefile.PL.  The
# module's name, its compile and link flags, the per-build .pm that loads it
# and where everything goes in an install all come from here, and from that
# perl's own Config.
#
# Kept to what Perl 5.12 understands: it runs under the perl being built for.

use strict;
use warnings;

use File::Spec ();
use Text::ParseWords ();

my $root;
BEGIN {
    my $here = File::Spec->rel2abs((File::Spec->splitpath(__FILE__))[1]);
    require Cwd;
    $root = Cwd::abs_path(File::Spec->catdir($here, File::Spec->updir, File::Spec->updir));
    unshift @INC, "$root/lib";
}
use PlotRune::Configuration ();

our $VERSION = '5.01';

sub root { $root }

# What the build needs to know of one perl, from its Config (pass \%Config).
# Options: table (configs/configurations.tsv, checked against the rule);
# checked (true: the checked build for engine authors, which checks every
# rule of the engine contract; same module name, same table).
sub probe {
    my ($config, %o) = @_;
    my $shape = PlotRune::Configuration::shape($config);
    my $module = PlotRune::Configuration::module_name($config);
    my $supported = PlotRune::Configuration::supported($config);
    if ($o{table}) {
        my $listed = 0;
        open my $fh, '<', $o{table} or die "cannot read $o{table}: $!\n";
        while (<$fh>) {
            next if /^#/ || /^module\t/;
            chomp;
            my ($name, $version, $mt, $bits) = split /\t/;
            next unless $shape->{ptr_bits} == 32 && $version eq "5.$shape->{minor}"
                     && ($mt eq 'yes') == $shape->{threads} && $bits == $shape->{iv_bits};
            die "configuration table names $name where the rule gives $module\n" if $name ne $module;
            $listed = 1;
        }
        die "configuration table and rule disagree on whether $module is supported\n" if $listed != $supported;
    }
    my %p = (
        %$shape,
        module     => $module,
        # The build folder's name for the architecture.
        arch       => $shape->{ptr_bits} == 32 ? 'i386' : 'x86_64',
        supported  => $supported,
        checked    => $o{checked} ? 1 : 0,
        core       => "$config->{archlibexp}/CORE",
        sitelib    => $config->{installsitelib},
        sitearch   => $config->{installsitearch},
        cc         => $config->{cc},
        ccflags    => $config->{ccflags},
        optimize   => $config->{optimize},
        cccdlflags => $config->{cccdlflags},
        lddlflags  => $config->{lddlflags},
    );
    die "no perl.h under $p{core}: this perl cannot build extensions\n" unless -f "$p{core}/perl.h";
    return \%p;
}

sub words { map { Text::ParseWords::shellwords($_) } grep { defined } @_ }

# Flags that the C compiler takes and C++ refuses or warns about.
my @c_only = (qr/^-std=/, qr/^-Wdeclaration-after-statement$/, qr/^-Wc\+\+-compat$/, qr/^-Wbad-function-cast$/,
              qr/^-Wnested-externs$/, qr/^-Wstrict-prototypes$/, qr/^-Wmissing-prototypes$/,
              qr/^-Wold-style-definition$/);

sub cxx_only {
    my @kept;
    for my $word (@_) {
        push @kept, $word unless grep { $word =~ $_ } @c_only;
    }
    return @kept;
}

# Flags of the interpreter's ABI: any riding on its compiler's word (a
# "gcc -m32"), and -m32 for a 32-bit perl, whose Config may not say so when
# this host is 64-bit.
sub arch_flags {
    my ($p) = @_;
    my (undef, @riding) = words($p->{cc});
    push @riding, '-m32' if $p->{ptr_bits} == 32 && !grep { $_ eq '-m32' } @riding;
    return @riding;
}

# The compilers of the perl's own toolchain: its C compiler for the engines,
# and the C++ compiler of the same family for the module ($ENV{CXX} first).
# A cross compiler named in Config (Debian's i386 perl says i686-linux-gnu-gcc)
# that this host lacks gives way to the host's cc and c++, with -m32 from
# the ABI flags.
sub on_path {
    my ($program) = @_;
    return 1 if File::Spec->file_name_is_absolute($program) && -x $program;
    return scalar grep { -x File::Spec->catfile($_, $program) } File::Spec->path;
}

sub c_compiler {
    my ($p) = @_;
    my ($cc) = words($p->{cc});
    return on_path($cc) ? $cc : 'cc';
}

sub cxx_compiler {
    my ($p) = @_;
    return $ENV{CXX} if $ENV{CXX};
    my $cc = c_compiler($p);
    my $cxx = $cc =~ /^(.*)gcc(-[\d.]+)?\z/ ? "$1g++" . (defined $2 ? $2 : '')
            : $cc =~ /^(.*)clang(-[\d.]+)?\z/ ? "$1clang++" . (defined $2 ? $2 : '')
            : 'c++';
    return on_path($cxx) ? $cxx : 'c++';
}

# Whether the C++ compiler takes a flag; -fno-plt is newer than g++ 4.8.
my %accepts;
sub accepts {
    my ($cxx, $flag) = @_;
    return $accepts{"$cxx $flag"} if exists $accepts{"$cxx $flag"};
    my $null = File::Spec->devnull;
    my @cmd = (words($cxx), $flag, qw(-x c++ -c -o), $null, $null);
    open my $save, '>&', \*STDERR or die "dup: $!\n";
    open STDERR, '>', $null;
    my $ok = system(@cmd) == 0;
    open STDERR, '>&', $save;
    return $accepts{"$cxx $flag"} = $ok;
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
    return (arch_flags($p), cxx_only(words($p->{ccflags}, $p->{optimize}, $p->{cccdlflags})),
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

# It records no needed library and exports only its boot symbol; everything
# it calls is resolved from the perl process that loads it.  -shared is the
# front door's to add.
sub module_link_flags {
    my ($p, $version_script) = @_;
    return (arch_flags($p), (grep { $_ ne '-shared' } words($p->{lddlflags})), '-nostdlib',
            "-Wl,--version-script=$version_script");
}

sub module_link_libraries { qw(-lgcc -lc_nonshared) }

sub version_script {
    my ($p) = @_;
    return "{ global: boot_$p->{module}; local: *; };\n";
}

# The stand-in engine and the test libraries beside it: plain C.
sub engine_compile_flags {
    my ($p) = @_;
    return (arch_flags($p), qw(-std=c11 -O2 -g -fPIC -fvisibility=hidden -Wall -Wextra), "-I$root/contract");
}

sub engine_link_flags { arch_flags($_[0]) }

# Where an install puts things, relative to its prefix: a Perl library tree
# that -I, PERL5LIB and lib.pm understand.  The per-build files go under the
# perl's archname, which those three add by themselves, so that builds of
# one name for two architectures stand side by side.
sub tree_layout {
    my ($p) = @_;
    my $arch = "lib/perl5/$p->{archname}";
    return {
        lib  => 'lib/perl5',
        arch => $arch,
        pm   => "$arch/$p->{module}.pm",
        auto => "$arch/auto/$p->{module}",
        so   => "$arch/auto/$p->{module}/$p->{module}.so",
    };
}

# The same layout in the perl's own site folders (absolute).
sub site_layout {
    my ($p) = @_;
    return {
        lib  => $p->{sitelib},
        arch => $p->{sitearch},
        pm   => "$p->{sitearch}/$p->{module}.pm",
        auto => "$p->{sitearch}/auto/$p->{module}",
        so   => "$p->{sitearch}/auto/$p->{module}/$p->{module}.so",
    };
}

# Copies the engine given (one file, or several separated by ':', one per
# architecture) beside an installed module: the one of the module's ELF
# class, since an engine of another class would never load.  Returns the
# file copied; dies when none fits.
sub install_engine {
    my ($p, $engines, $dir) = @_;
    my $want = $p->{ptr_bits} == 32 ? 1 : 2;
    for my $engine (split /:/, $engines) {
        open my $fh, '<', $engine or die "PLOTRUNE_ENGINE: cannot read $engine: $!\n";
        binmode $fh;
        my $head = '';
        read $fh, $head, 5;
        close $fh;
        next unless $head eq "\x7fELF" . chr $want;
        require File::Copy;
        require File::Path;
        File::Path::mkpath($dir);
        File::Copy::copy($engine, "$dir/libplotrune.so") or die "PLOTRUNE_ENGINE: cannot copy $engine to $dir: $!\n";
        chmod 0755, "$dir/libplotrune.so";
        return $engine;
    }
    die "PLOTRUNE_ENGINE: none of $engines is a $p->{ptr_bits}-bit library, as $p->{module} needs\n";
}

# The pure-Perl files every install holds, relative to the library folder.
sub perl_files { ('PlotRune.pm', 'PlotRune/Configuration.pm') }

# The .pm of one build: loads it with XSLoader from auto/<module>/ beside
# it, after checking that this perl is the one it was built for.
sub module_pm {
    my ($p) = @_;
    my ($mm) = $p->{version} =~ /^(5\.\d+)/;
    my $threads = $p->{threads} ? 'define' : 'undef';
    my $iv = $p->{iv_bits} / 8;
    my $ptr = $p->{ptr_bits} / 8;
    my $checked = $p->{checked} ? <<"END" : '';

# A checked build, for engine authors: every breach of the engine contract
# is raised as a Perl error naming it.
our \$CHECKED = 1;
END
    return <<"END";
package $p->{module};

# Loads the perlplotrune module built for Perl $mm on $p->{archname}.
# Written by the perlplotrune build; PlotRune picks this file for that perl.

use strict;
use warnings;
use Config ();

our \$VERSION = '$VERSION';
$checked
# A build of another configuration, or of this name for another
# architecture, would corrupt the interpreter that loads it.
{
    my \$built_for = '$mm $p->{archname} ivsize=$iv ptrsize=$ptr useithreads=$threads';
    my \$c = \\%Config::Config;
    my (\$version) = \$c->{version} =~ /^(5\\.\\d+)/;
    my \$this = join ' ', \$version, \$c->{archname}, "ivsize=\$c->{ivsize}", "ptrsize=\$c->{ptrsize}",
        'useithreads=' . ((\$c->{useithreads} || '') eq 'define' ? 'define' : 'undef');
    die "$p->{module} was built for Perl \$built_for, not for this perl (\$this): not loaded\\n"
        if \$this ne \$built_for;
}

require XSLoader;
XSLoader::load(__PACKAGE__);

1;
END
}

# Writes the build's .pm and its linker version script into $dir; returns
# their paths.
sub write_build_files {
    my ($p, $dir) = @_;
    require File::Path;
    File::Path::mkpath($dir);
    my %files = (pm => ["$dir/$p->{module}.pm", module_pm($p)], map => ["$dir/$p->{module}.map", version_script($p)]);
    for my $kind (sort keys %files) {
        my ($file, $text) = @{ $files{$kind} };
        open my $fh, '>', $file or die "cannot write $file: $!\n";
        print $fh $text;
        close $fh or die "cannot write $file: $!\n";
    }
    return ($files{pm}[0], $files{map}[0]);
}

1;
