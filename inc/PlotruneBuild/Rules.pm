package PlotruneBuild::Rules;

# How the module is built and installed for one perl: the one place that
# decides, for both front doors.  Makefile.PL loads it and hands its answers
# to MakeMaker; CMake runs it as a program under each perl
# (perl inc/PlotruneBuild/Rules.pm COMMAND ...: see main at the end) and
# include()s the file of set() lines it writes.  The module's name, its
# compile and link flags, the per-build .pm that loads it, where everything
# goes in a build folder and in an install, the engine's install and the
# columns of every table the build writes all come from here, and from that
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

# The one version of the distribution, as lib/PlotRune.pm declares it (read,
# not run: PlotRune refuses to load under a perl it has no name for).
our $VERSION;
BEGIN {
    require ExtUtils::MakeMaker;
    $VERSION = MM->parse_version("$root/lib/PlotRune.pm");
}

# The engine's file name, as the contract header gives it to the module.
my $engine_file;
sub engine_file {
    return $engine_file if defined $engine_file;
    my $header = "$root/contract/plotrune_engine.h";
    open my $fh, '<', $header or die "cannot read $header: $!\n";
    while (<$fh>) {
        return $engine_file = $1 if /^#define PLOTRUNE_LIBRARY_NAME "([^"]+)"/;
    }
    die "no PLOTRUNE_LIBRARY_NAME in $header\n";
}

# ---------------------------------------------------------------- tables

# The rows of a tab-separated table, each a hash by the column names of its
# header: the first line not commented out, or the commented line that
# $header matches (an install tree's manifest: "# build\tmodule...").
# Lines that are comments, or do not start as $header's rows do, are
# passed over.  The one reader of every table the project keeps or writes.
sub read_table {
    my ($file, $header) = @_;
    open my $fh, '<', $file or die "cannot read $file: $!\n";
    my (@columns, @rows);
    while (my $line = <$fh>) {
        chomp $line;
        if (!@columns) {
            if ($header ? $line =~ $header : $line !~ /^#/) {
                $line =~ s/^# //;
                @columns = split /\t/, $line;
            }
            next;
        }
        next if $line =~ /^#/ || ($header && $line !~ /^\Q$columns[0]\E\t/);
        my %row;
        @row{@columns} = split /\t/, $line;
        push @rows, \%row;
    }
    return @rows;
}

# One row of a table by its column names; the header first when the file is
# new.  The one writer of the build folders' module tables (modules.tsv).
sub append_row {
    my ($file, $columns, $row) = @_;
    my $new = !-s $file;
    open my $fh, '>>', $file or die "cannot write $file: $!\n";
    print $fh join("\t", @$columns), "\n" if $new;
    print $fh join("\t", map { defined $row->{$_} ? $row->{$_} : '' } @$columns), "\n";
    close $fh or die "cannot write $file: $!\n";
}

# ---------------------------------------------------------------- a perl

# What the build needs to know of one perl, from its Config (pass \%Config).
# Options: table (data/configurations.tsv, checked against the rule);
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
        for my $row (read_table($o{table})) {
            next unless $row->{cpu} eq $interface->{cpu} && $row->{perl} eq "5.$shape->{minor}"
                     && ($row->{threads} eq 'yes') == $shape->{threads} && $row->{iv_bits} == $shape->{iv_bits};
            die "configuration table names $row->{module} where the rule gives $module\n" if $row->{module} ne $module;
            die "configuration table puts $module in tier $row->{tier}, the rule in "
                . ($tier ? "tier $tier->{tier}" : 'none') . "\n" unless $tier && $tier->{tier} eq $row->{tier};
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
    # An emulated perl sees the file tree of its handler's C library
    # (QEMU_LD_PREFIX) as its own, Debian's arm64 perl its headers there;
    # the compiler, a program of this host, finds them under that folder.
    $p{core} = "$ENV{QEMU_LD_PREFIX}$p{core}" if $ENV{QEMU_LD_PREFIX} && -f "$ENV{QEMU_LD_PREFIX}$p{core}/perl.h";
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
# this host is 64-bit; or, for a processor the perl's own compiler makes no
# code for, those that make clang build for it (cross_flags).
sub arch_flags {
    my ($p) = @_;
    return @{ cross_flags($p) } if @{ cross_flags($p) };
    my (undef, @riding) = words($p->{cc});
    push @riding, '-m32' if $p->{ptr_bits} == 32 && !grep { $_ eq '-m32' } @riding;
    return @riding;
}

# The compilers of the perl's own toolchain: its C compiler for the engines,
# and the C++ compiler of the same family for the module ($ENV{CXX} first).
# A cross compiler named in Config (Debian's i386 perl says i686-linux-gnu-gcc)
# that this host lacks gives way to the host's cc and c++, with -m32 from
# the ABI flags.  When those make code for another processor (an aarch64
# perl run under emulation on an x86_64 host), clang and clang++ build for
# the perl's (cross_flags).
sub on_path {
    my ($program) = @_;
    return 1 if File::Spec->file_name_is_absolute($program) && -x $program;
    return scalar grep { -x File::Spec->catfile($_, $program) } File::Spec->path;
}

sub own_c_compiler {
    my ($p) = @_;
    my ($cc) = words($p->{cc});
    return on_path($cc) ? $cc : 'cc';
}

sub own_cxx_compiler {
    my ($p) = @_;
    return $ENV{CXX} if $ENV{CXX};
    my $cc = own_c_compiler($p);
    my $cxx = $cc =~ /^(.*)gcc(-[\d.]+)?\z/ ? "$1g++" . (defined $2 ? $2 : '')
            : $cc =~ /^(.*)clang(-[\d.]+)?\z/ ? "$1clang++" . (defined $2 ? $2 : '')
            : 'c++';
    return on_path($cxx) ? $cxx : 'c++';
}

sub c_compiler { @{ cross_flags($_[0]) } ? 'clang' : own_c_compiler($_[0]) }

sub cxx_compiler { @{ cross_flags($_[0]) } ? 'clang++' : own_cxx_compiler($_[0]) }

# The processor a compiler makes code for with these flags, from the macros
# it predefines; undef when it cannot be run.
my %makes_for;
sub compiler_cpu {
    my (@compiler) = @_;
    my $key = join ' ', @compiler;
    return $makes_for{$key} if exists $makes_for{$key};
    my $null = File::Spec->devnull;
    open my $save, '>&', \*STDERR or die "dup: $!\n";
    open STDERR, '>', $null;
    my %defined;
    if (open my $fh, '-|', words($compiler[0]), @compiler[1 .. $#compiler], qw(-dM -E -x c), $null) {
        %defined = map { /^#define (\w+)/ ? ($1 => 1) : () } <$fh>;
        close $fh or %defined = ();
    }
    open STDERR, '>&', $save;
    return $makes_for{$key} = !%defined ? undef
        : $defined{__aarch64__} ? 'aarch64' : $defined{__x86_64__} ? ($defined{__ILP32__} ? 'x32' : 'x86_64')
        : $defined{__i386__} ? 'i386' : $defined{__arm__} ? 'arm' : 'unknown';
}

# Where the perl's own compiler makes code for another processor, clang
# builds for the perl's, against the file tree the perl runs on: the one
# the emulation's handler gives it as the root of its libraries
# (QEMU_LD_PREFIX: tools/emulation.sh unpacks the C library there), else
# this host's own (multiarch packages); it links with that processor's
# binutils, which clang finds by the target's name.  A module that no
# compiler here can make for the perl's processor is refused, never built
# for another and filed under this one.
my %clang_target = (aarch64 => 'aarch64-linux-gnu');
sub cross_flags {
    my ($p) = @_;
    return $p->{cross_flags} if $p->{cross_flags};
    my $cxx = own_cxx_compiler($p);
    my (undef, @riding) = words($p->{cc});
    push @riding, '-m32' if $p->{ptr_bits} == 32 && !grep { $_ eq '-m32' } @riding;
    my $own = compiler_cpu($cxx, @riding);
    return $p->{cross_flags} = [] if !defined $own || $own eq $p->{arch};
    my $target = $clang_target{ $p->{arch} };
    my @flags = $target ? ("--target=$target", '--sysroot=' . ($ENV{QEMU_LD_PREFIX} || '/')) : ();
    my $cross = @flags && on_path('clang') && on_path('clang++') ? compiler_cpu('clang++', @flags) : undef;
    die "cannot build for $p->{arch} here: $cxx makes code for $own, "
      . ($target ? "and clang, which would build for $p->{arch}, is not installed (tools/emulation.sh setup installs it)"
                 : "and no compiler for $p->{arch} is known") . "\n"
        unless defined $cross && $cross eq $p->{arch};
    return $p->{cross_flags} = \@flags;
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
# load tests, in folders that say so.  kind, source (in t/engines), defines,
# subfolder of the module's folder ('' for beside it), the column of the
# module table that names the file, and flags for compiling and linking.
sub test_engines {
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

sub test_engine_source { "$root/t/engines/$_[0]{source}" }

# The module table of a build folder (modules.tsv): one row per module, these
# columns, read by their names.
sub module_table_columns {
    return (qw(module arch perl module_file), (map { $_->{column} } test_engines({ checked => 1 })),
            qw(supported checked));
}

# Where a build folder (CMake's, or Makefile.PL's test copy) puts one
# module: modules/<cpu>/<module>/, the test engines beside it or in their
# subfolders.  Returns { dir, module_file, engine folder and file per kind }.
sub build_folder {
    my ($p, $top) = @_;
    my $dir = "$top/modules/$p->{arch}/$p->{module}";
    my %folder = (dir => $dir, module_file => "$dir/$p->{module}.so");
    for my $e (test_engines($p)) {
        my $sub = length $e->{dir} ? "$dir/$e->{dir}" : $dir;
        $folder{"$e->{kind}_dir"} = $sub;
        $folder{ $e->{kind} } = "$sub/" . engine_file();
    }
    return \%folder;
}

# Adds the module's row to the build folder's module table.
sub add_module_row {
    my ($p, $table, $perl, $folder) = @_;
    my %row = (module => $p->{module}, arch => $p->{arch}, perl => $perl, module_file => $folder->{module_file},
               supported => $p->{supported}, checked => $p->{checked},
               map { ($_->{column} => $folder->{ $_->{kind} }) } test_engines($p));
    append_row($table, [ module_table_columns() ], \%row);
}

# The builds an install tree's manifest (perlplotrune-manifest.tsv) lists:
# its header, commented, and one line per build.
sub tree_manifest_columns { qw(build module perl threads iv_bits ptr_bits archname supported checked interface) }

sub tree_manifest_line {
    my ($p) = @_;
    my %line = (%$p, build => 'build', perl => $p->{version});
    return join("\t", map { $line{$_} } tree_manifest_columns()) . "\n";
}

sub tree_manifest_header {
    return "# perlplotrune $VERSION: the builds in this tree, then the SHA-256 of every file in it\n"
         . '# ' . join("\t", tree_manifest_columns()) . "\n";
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
        engine => "$dir/" . engine_file(),
    };
}

# Relative to the install prefix.
sub tree_layout { layout($_[0], 'lib/perl5') }

# In the perl's own site library (absolute).
sub site_layout { layout($_[0], $_[0]{sitelib}) }

# The processor an ELF file is for, as builds are filed (the names of
# PlotRune::Configuration::cpu), from its class and machine: 'unknown' for
# another processor, undef for a file that is no ELF file.  The one reader of ELF
# headers (tools/emulation.sh asks it which processor a perl is for).
my %elf_cpu = ('1 3' => 'i386', '2 62' => 'x86_64', '1 62' => 'x32', '2 183' => 'aarch64', '1 40' => 'arm');
sub elf_cpu {
    my ($file) = @_;
    open my $fh, '<', $file or die "cannot read $file: $!\n";
    binmode $fh;
    my $head = '';
    read $fh, $head, 20;
    return undef unless length $head == 20 && substr($head, 0, 4) eq "\x7fELF";
    return $elf_cpu{ ord(substr $head, 4, 1) . ' ' . unpack('v', substr $head, 18, 2) } || 'unknown';
}

# The engine given for an install (one file, or several separated by ':',
# one per processor): the one for this build's processor, since an engine
# built for another would never load.  Reads every file given and dies,
# before anything is installed, when one cannot be read, is no shared
# library, or none is for this processor.  None given gives undef: install
# no engine; but PLOTRUNE_ENGINE given and empty ($given) is a mistake.
sub engine_for {
    my ($p, $engines, $given) = @_;
    die "PLOTRUNE_ENGINE is set but empty: give the path of " . engine_file() . " (several separated by ':'), "
      . "or leave it unset to install no engine\n" if $given && (!defined $engines || $engines eq '');
    return undef unless defined $engines && $engines ne '';
    my $chosen;
    for my $engine (split /:/, $engines) {
        die "PLOTRUNE_ENGINE: an empty path in '$engines'\n" if $engine eq '';
        my $cpu = eval { elf_cpu($engine) };
        die "PLOTRUNE_ENGINE: $@" if $@;
        die "PLOTRUNE_ENGINE: $engine is no shared library (not an ELF file)\n" unless defined $cpu;
        $chosen = $engine if !defined $chosen && $cpu eq $p->{arch};
    }
    die "PLOTRUNE_ENGINE: none of $engines is built for $p->{arch} ($p->{ptr_bits}-bit), as $p->{module} needs\n"
        unless defined $chosen;
    return $chosen;
}

# The engine's install, one step for cmake --install and make install
# alike, run before anything else is installed.  The engine is not ours: it
# is installed only when given, in PLOTRUNE_ENGINE (from the environment,
# else $default, the one configured): one file, or several separated by ':',
# one per processor.  Every file given is read and one chosen for each
# folder of builds before anything is copied, so that a wrong one fails the
# install before it writes; then each folder gets its copy.  $builds:
# [ { dir (DESTDIR in it), arch, ptr_bits, module } ], one per folder.
# Returns the line an install without an engine ends with, or ''.
sub install_engine {
    my ($builds, $default) = @_;
    my $given = exists $ENV{PLOTRUNE_ENGINE};
    my $engines = $given ? $ENV{PLOTRUNE_ENGINE} : $default;
    my @chosen = map { engine_for($_, $engines, $given) } @$builds;
    return no_engine_note(join ' and ', map { $_->{dir} } @$builds) unless @chosen && defined $chosen[0];
    require File::Copy;
    require File::Path;
    my $name = engine_file();
    for my $i (0 .. $#chosen) {
        my $dir = $builds->[$i]{dir};
        File::Path::mkpath($dir);
        File::Copy::copy($chosen[$i], "$dir/$name") or die "PLOTRUNE_ENGINE: cannot copy $chosen[$i] to $dir: $!\n";
        chmod 0755, "$dir/$name";
        print "Installing engine $chosen[$i] in $dir\n";
    }
    return '';
}

# The line an install without an engine ends with.
sub no_engine_note {
    my ($dirs) = @_;
    my $name = engine_file();
    return "No engine installed: put $name in $dirs (or where the system's library search finds it), "
         . "or install again with PLOTRUNE_ENGINE=/path/to/$name\n";
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
    return <<"END" . module_pod($p, $mm);
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
END
}

# The POD of a build's .pm: what perldoc says of it.
sub module_pod {
    my ($p, $mm) = @_;
    require PlotRune;    # the names of the subs every build registers
    no warnings 'once';
    my @names = map { "C<$_>" } @PlotRune::SUBS;
    my $subs = join(', ', @names[0 .. $#names - 1]) . " and $names[-1]";
    return <<"END";

=head1 NAME

$p->{module} - the perlplotrune module for Perl $mm on $p->{arch}

=head1 SYNOPSIS

    use PlotRune;    # loads this build when it fits the running perl

=head1 DESCRIPTION

One build of the Perl binding of the plotrune engine, compiled for perls
of the binary interface in C<\$INTERFACE>. Programs do not load it by name:
L<PlotRune> picks it and makes its subs $subs
its own. Loaded into a perl of another interface, it dies naming the
difference, before its module file is opened.

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
    write_text(@{ $files{$_} }) for sort keys %files;
    return ($files{pm}[0], $files{map}[0]);
}

# ---------------------------------------------------------------- CMake

# A CMake set() line: each value one bracket argument, taken as it is; a ;
# inside a value stays part of it.
sub cmake_set {
    my ($name, @values) = @_;
    return "set($name" . join('', map { (my $v = $_) =~ s/;/\\;/g; " [==[$v]==]" } @values) . ")\n";
}

# What the CMake build needs to build, test and install one perl's module,
# as CMake set() lines.  $o: perl, build (the build folder), cxx, site
# (install into the perl's own site library).
sub cmake_settings {
    my ($p, $o) = @_;
    my ($pm, $map) = write_build_files($p, "$o->{build}/generated/$p->{arch}");
    my $folder = build_folder($p, $o->{build});
    my $install = $o->{site} ? site_layout($p) : tree_layout($p);
    my @engines = test_engines($p);
    # CMake's compilers make code for this host's processor: a module for
    # another is compiled and linked by the rules' cross compiler instead.
    my $cross = @{ cross_flags($p) };
    my $cxx = $cross ? cxx_compiler($p) : $o->{cxx};
    my $text = join '',
        (map { cmake_set("plotrune_$_", $p->{$_}) } qw(module arch version ptr_bits supported checked)),
        cmake_set(plotrune_perl => $o->{perl}),
        cmake_set(plotrune_supported_set => $PlotRune::Configuration::SUPPORTED_SET),
        cmake_set(plotrune_dist_version => $VERSION),
        cmake_set(plotrune_module_flags => module_compile_flags($p, cxx => $cxx)),
        cmake_set(plotrune_cross_cxx => $cross ? $cxx : ()), cmake_set(plotrune_cross_cc => $cross ? c_compiler($p) : ()),
        cmake_set(plotrune_module_ldflags => module_link_flags($p, $map)),
        cmake_set(plotrune_module_libs => module_link_libraries($p)),
        cmake_set(plotrune_module_pm => $pm), cmake_set(plotrune_version_script => $map),
        cmake_set(plotrune_module_dir => $folder->{dir}),
        cmake_set(plotrune_engine_file => engine_file()),
        cmake_set(plotrune_engine_flags => engine_compile_flags($p)),
        cmake_set(plotrune_engine_ldflags => engine_link_flags($p)),
        cmake_set(plotrune_test_engines => map { $_->{kind} } @engines),
        (map { (cmake_set("plotrune_test_engine_$_->{kind}_source" => test_engine_source($_)),
                cmake_set("plotrune_test_engine_$_->{kind}_dir" => $folder->{"$_->{kind}_dir"}),
                cmake_set("plotrune_test_engine_$_->{kind}_defines" => @{ $_->{defines} }),
                cmake_set("plotrune_test_engine_$_->{kind}_flags" => @{ $_->{flags} || [] })) } @engines),
        cmake_set(plotrune_test_command => test_command()),
        cmake_set(plotrune_perl_files => perl_files()),
        cmake_set(plotrune_install_lib => $install->{lib}),
        cmake_set(plotrune_install_dir => $install->{dir}),
        cmake_set(plotrune_tree_manifest_header => tree_manifest_header()),
        cmake_set(plotrune_tree_manifest_line => tree_manifest_line($p));
    add_module_row($p, "$o->{build}/modules.tsv", $o->{perl}, $folder);
    return $text;
}

# ---------------------------------------------------------------- as a program

# perl inc/PlotruneBuild/Rules.pm COMMAND ARGS, under the perl built for:
#   cmake [--checked] [--site] PERL BUILD-FOLDER CXX OUT
#       writes OUT, the set() lines CMake include()s for this perl, the
#       build's .pm and version script, and its row of BUILD-FOLDER's
#       module table (modules.tsv);
#   describe
#       this perl's build as a table of one row (module arch version ptr_bits
#       supported engine_file), for shell scripts to read by column name;
#   module-flags CXX
#       the module's compile flags, one a line;
#   elf-cpu FILE
#       the processor FILE is a program or library for (elf_cpu);
#   install-engine NOTE-FILE DEFAULT [DIR CPU POINTER-BITS MODULE] ...
#       the engine's install (install_engine) for these folders of builds;
#       the note an install without an engine ends with goes to NOTE-FILE
#       (empty when an engine was installed), for the install's last line.
sub main {
    my ($command, @args) = @_;
    require Config;
    my %flag;
    while (@args && $args[0] =~ /^--(checked|site)\z/) { shift @args; $flag{$1} = 1 }
    my $p = $command =~ /^(install-engine|elf-cpu)\z/ ? undef
          : probe(\%Config::Config, table => "$root/data/configurations.tsv", checked => $flag{checked});
    if ($command eq 'cmake' && @args == 4) {
        my ($perl, $build, $cxx, $out) = @args;
        write_text($out, cmake_settings($p, { perl => $perl, build => $build, cxx => $cxx, site => $flag{site} }));
    } elsif ($command eq 'describe' && !@args) {
        my @columns = qw(module arch version ptr_bits supported engine_file);
        my %row = (%$p, engine_file => engine_file());
        print join("\t", @columns), "\n", join("\t", @row{@columns}), "\n";
    } elsif ($command eq 'elf-cpu' && @args == 1) {
        my $cpu = elf_cpu($args[0]);
        die "$args[0] is no ELF file\n" unless defined $cpu;
        print "$cpu\n";
    } elsif ($command eq 'module-flags' && @args == 1) {
        print "$_\n" for module_compile_flags($p, cxx => $args[0]);
    } elsif ($command eq 'install-engine' && @args >= 2 && @args % 4 == 2) {
        my ($note, $default, @rest) = @args;
        my @builds;
        push @builds, { dir => shift @rest, arch => shift @rest, ptr_bits => shift @rest, module => shift @rest }
            while @rest;
        write_text($note, install_engine(\@builds, $default));
    } else {
        die "usage: perl $0 cmake [--checked] [--site] PERL BUILD-FOLDER CXX OUT | describe | module-flags CXX\n"
          . "       | elf-cpu FILE | install-engine NOTE-FILE DEFAULT [DIR CPU POINTER-BITS MODULE] ...\n";
    }
    return 0;
}

sub write_text {
    my ($file, $text) = @_;
    open my $fh, '>', $file or die "cannot write $file: $!\n";
    print $fh $text;
    close $fh or die "cannot write $file: $!\n";
}

exit main(@ARGV) unless caller;

1;
