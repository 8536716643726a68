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

# The one version of the distribution, as lib/PlotRune.pm writes it.
sub read_version {
    my $file = "$root/lib/PlotRune.pm";
    open my $fh, '<', $file or die "cannot read $file: $!\n";
    while (<$fh>) {
        return $1 if /^our \$VERSION = '(\d+\.\d+)';/;
    }
    die "no version in $file\n";
}
our $VERSION = read_version();

sub root { $root }

# What the build needs to know of one perl, from its Config (pass \%Config).
# Options: table (configs/configurations.tsv, checked against the rule);
# checked (true: the checked build for engine authors, which checks every
# rule of the engine contract; same module name, same table).
sub probe {
    my ($config, %o) = @_;
    my $shape = PlotRune::Configuration::shape($config);
    my $module = PlotRune::Configuration::module_name($config);
    my $interface = PlotRune::Configuration::interface($config);
    if ($o{table}) {
        my $tier = PlotRune::Configuration::tier($config);
        my $listed;
        open my $fh, '<', $o{table} or die "cannot read $o{table}: $!\n";
        my @columns;
        while (<$fh>) {
            next if /^#/;
            chomp;
            if (!@columns) { @columns = split /\t/; next }
            my %row;
            @row{@columns} = split /\t/;
            next unless $row{cpu} eq $interface->{cpu} && $row{perl} eq "5.$shape->{minor}"
                     && ($row{threads} eq 'yes') == $shape->{threads} && $row{iv_bits} == $shape->{iv_bits};
            die "configuration table names $row{module} where the rule gives $module\n" if $row{module} ne $module;
            die "configuration table puts $module in tier $row{tier}, the rule in "
                . ($tier ? "tier $tier->{tier}" : 'none') . "\n" unless $tier && $tier->{tier} eq $row{tier};
            $listed = 1;
        }
        die "configuration table and rule disagree on whether $module is one of the supported names\n"
            if !$listed != !$tier;
    }
    my %p = (
        %$shape,
        module     => $module,
        # The processor, as builds and build folders are filed by it.
        arch       => $interface->{cpu},
        interface  => PlotRune::Configuration::interface_text($interface),
        supported  => PlotRune::Configuration::supported($config),
        checked    => $o{checked} ? 1 : 0,
        core       => "$config->{archlibexp}/CORE",
        sitelib    => $config->{installsitelib},
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

# What a build folder holds beside each module, all under the engine's file
# name: the stand-in engine, the one to use, and two test doubles for the
# load tests, in folders that say so.  kind, source (in engine/), defines,
# subfolder of the module's folder ('' for beside it), the column of the
# build manifest that names the file, and flags for compiling and linking.
sub standin_engines {
    my ($p) = @_;
    return (
        { kind => 'engine', source => 'standin_engine.c', defines => [], dir => '',
          column => 'engine_file' },
        # A library that lacks runMethod.
        { kind => 'no_entry', source => 'no_entry.c', defines => [], dir => 'test-double-no-entry',
          column => 'engine_without_entry_file' },
        # An engine with a symbol nobody defines, which only lazy binding can open.
        { kind => 'lazy', source => 'standin_engine.c', defines => ['PLOTRUNE_NEEDS_LAZY_BINDING'],
          dir => 'test-double-lazy', column => 'engine_lazy_file' },
        # For the checked build's tests: an engine that breaks every rule it
        # can, one from a thread of its own.
        ($p && $p->{checked} ? { kind => 'breaching', source => 'breaching_engine.c', defines => [],
                                 dir => 'test-double-breaching', column => 'engine_breaching_file',
                                 flags => ['-pthread'] } : ()),
    );
}

# The build manifest (modules.tsv): one line per module, these columns, read
# by their names.
sub manifest_columns {
    return (qw(module arch perl module_file), (map { $_->{column} } standin_engines({ checked => 1 })),
            qw(supported checked));
}

# The test command, the words after the module's own perl: prove with the
# tests' library, then the test files (TEST_VERBOSE=1 for prove's -v).
sub test_command {
    my $prove = 'my $p = App::Prove->new; $p->process_args(($ENV{TEST_VERBOSE} ? ("-v") : ()), @ARGV); '
              . 'exit($p->run ? 0 : 1)';
    return ('-MApp::Prove', '-e', $prove, '--', '-I', "$root/t/lib");
}

# Where an install puts things: a Perl library tree whose one folder the
# perl is given (-I, PERL5LIB, use lib), or a perl's own site library.
# The builds of one processor share one folder, PlotRune/<cpu>, named by
# nothing that differs between perls of one binary interface (not the
# archname, not the point release), so that every such perl finds them;
# and one engine beside them serves them all, found by the module's loader
# in the folder of its own file.
sub layout {
    my ($p, $lib) = @_;
    my $dir = "$lib/PlotRune/$p->{arch}";
    return {
        lib    => $lib,
        dir    => $dir,
        pm     => "$dir/$p->{module}.pm",
        so     => "$dir/$p->{module}.so",
        engine => "$dir/libplotrune.so",
    };
}

# Relative to the install prefix.
sub tree_layout { layout($_[0], 'lib/perl5') }

# In the perl's own site library (absolute).
sub site_layout { layout($_[0], $_[0]{sitelib}) }

# The ELF machine of each processor that builds are filed by.
my %elf_machine = (i386 => 3, x86_64 => 62, x32 => 62, aarch64 => 183, arm => 40);

# The engine given for an install (one file, or several separated by ':',
# one per processor): the one for this build's processor, since an engine
# built for another would never load.  Reads every file given and dies,
# before anything is installed, when one cannot be read, is no shared
# library, or none is for this processor.  None given gives undef: install
# no engine; but PLOTRUNE_ENGINE given and empty ($given) is a mistake.
sub engine_for {
    my ($p, $engines, $given) = @_;
    die "PLOTRUNE_ENGINE is set but empty: give the path of libplotrune.so (several separated by ':'), "
      . "or leave it unset to install no engine\n" if $given && (!defined $engines || $engines eq '');
    return undef unless defined $engines && $engines ne '';
    my $want = $elf_machine{ $p->{arch} };
    my $chosen;
    for my $engine (split /:/, $engines) {
        die "PLOTRUNE_ENGINE: an empty path in '$engines'\n" if $engine eq '';
        open my $fh, '<', $engine or die "PLOTRUNE_ENGINE: cannot read $engine: $!\n";
        binmode $fh;
        my $head = '';
        read $fh, $head, 20;
        close $fh;
        die "PLOTRUNE_ENGINE: $engine is no shared library (not an ELF file)\n" unless substr($head, 0, 4) eq "\x7fELF";
        my $machine = unpack 'v', substr($head, 18, 2);
        my $class = ord substr($head, 4, 1);
        $chosen = $engine if !defined $chosen && defined $want && $machine == $want
                             && $class == ($p->{ptr_bits} == 32 ? 1 : 2);
    }
    die "PLOTRUNE_ENGINE: none of $engines is built for $p->{arch} ($p->{ptr_bits}-bit), as $p->{module} needs\n"
        unless defined $chosen;
    return $chosen;
}

# Copies the engine chosen by engine_for into the build's folder of an
# install.  Returns the file copied, or undef when none was given.
sub install_engine {
    my ($p, $engines, $dir) = @_;
    my $engine = engine_for($p, $engines, 0);
    return undef unless defined $engine;
    require File::Copy;
    require File::Path;
    File::Path::mkpath($dir);
    File::Copy::copy($engine, "$dir/libplotrune.so") or die "PLOTRUNE_ENGINE: cannot copy $engine to $dir: $!\n";
    chmod 0755, "$dir/libplotrune.so";
    return $engine;
}

# The line an install without an engine ends with.
sub no_engine_note {
    my ($dirs) = @_;
    return "No engine installed: put libplotrune.so in $dirs (or where the system's library search finds it), "
         . "or install again with PLOTRUNE_ENGINE=/path/to/libplotrune.so\n";
}

# The pure-Perl files every install holds, relative to the library folder.
sub perl_files { ('PlotRune.pm', 'PlotRune/Configuration.pm') }

# The .pm of one build: checks that the running perl has the binary
# interface the module was compiled for, then loads the module file beside
# it.  PlotRune reads its $VERSION and $INTERFACE lines before loading it.
sub module_pm {
    my ($p) = @_;
    my ($mm) = $p->{version} =~ /^(5\.\d+)/;
    my $checked = $p->{checked} ? <<"END" : '';

# A checked build, for engine authors: every breach of the engine contract
# is raised as a Perl error naming it.
our \$CHECKED = 1;
END
    return <<"END";
package $p->{module};

# Loads the perlplotrune module built for Perl $mm on $p->{arch}.
# Written by the perlplotrune build; PlotRune picks this file for any perl
# of the binary interface below, whatever its archname or point release.

use strict;
use warnings;

our \$VERSION = '$VERSION';
$checked
# The binary interface the module file was compiled for.
our \$INTERFACE = '$p->{interface}';

# A module compiled for another interface would corrupt the interpreter
# that loads it: refuse before the module file is opened.
{
    require Config;
    require PlotRune::Configuration;
    my \$why = PlotRune::Configuration::misfit(PlotRune::Configuration::parse_interface(\$INTERFACE),
                                              \\%Config::Config);
    die "$p->{module} does not fit this perl: \$why: not loaded\\n" if \$why ne '';
}

# The module file lies beside this one, so that the builds of one processor
# share a folder and the engine in it.
{
    require DynaLoader;
    require File::Spec;
    (my \$file = File::Spec->rel2abs(__FILE__)) =~ s/\\.pm\\z/.so/;
    my \$handle = DynaLoader::dl_load_file(\$file, 0)
        or die "$p->{module}: cannot load \$file: " . DynaLoader::dl_error() . "\\n";
    my \$boot = DynaLoader::dl_find_symbol(\$handle, 'boot_$p->{module}')
        or die "$p->{module}: no boot_$p->{module} in \$file: " . DynaLoader::dl_error() . "\\n";
    push \@DynaLoader::dl_librefs, \$handle;
    push \@DynaLoader::dl_modules, __PACKAGE__;
    push \@DynaLoader::dl_shared_objects, \$file;
    DynaLoader::dl_install_xsub(__PACKAGE__ . '::bootstrap', \$boot, \$file)->(__PACKAGE__);
}

1;

__END__

=head1 NAME

$p->{module} - the perlplotrune module for Perl $mm on $p->{arch}

=head1 SYNOPSIS

    use PlotRune;    # loads this build when it fits the running perl

=head1 DESCRIPTION

One build of the Perl binding of the plotrune engine, compiled for perls
of the binary interface in C<\$INTERFACE>. Programs do not load it by name:
L<PlotRune> picks it and makes its subs C<callMethod>, C<major_ver>,
C<minor_ver>, C<copyright> and C<id> its own. Loaded into a perl of another
interface, it dies naming the difference, before its module file is opened.

=cut
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
