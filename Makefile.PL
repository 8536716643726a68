# The CPAN way, for one perl and no CMake:
#
#   perl Makefile.PL && make && make test && make install
#
# builds the module for the perl that runs this, tests it with the stand-in
# engine beside a test copy of it, and installs it, its .pm and PlotRune.pm
# into that perl's site folders (or INSTALL_BASE=DIR, or DESTDIR=...).  The
# module's name, flags, link rules, .pm and install layout are those of
# inc/PlotruneBuild/Rules.pm, which the CMake build takes too.
#
#   perl Makefile.PL CHECKED=1
#
# builds the checked build for engine authors instead: the same module with
# every rule of the engine contract checked, tested with a misbehaving engine
# too.  Install it apart from the normal build (INSTALL_BASE=...).
#
# Kept to what Perl 5.12 understands.

use strict;
use warnings;

use Config;
use Cwd ();
use ExtUtils::MakeMaker;
use File::Path qw(mkpath);
use lib 'inc';
use PlotruneBuild::Rules;

# Ours, not MakeMaker's, which would warn about an argument it does not know.
my $checked = 0;
@ARGV = grep { /^CHECKED=(.*)\z/ ? do { $checked = $1 ? 1 : 0; 0 } : 1 } @ARGV;

my $p = PlotruneBuild::Rules::probe(\%Config, table => 'configs/configurations.tsv', checked => $checked);
my $M = $p->{module};
my $here = Cwd::getcwd();
my $cxx = PlotruneBuild::Rules::cxx_compiler($p);
my $cc = PlotruneBuild::Rules::c_compiler($p);
print "perl $p->{version} ($^X): $M on $p->{arch}",
      ($p->{supported} ? '' : ", beyond the supported set ($PlotRune::Configuration::SUPPORTED_SET)"),
      ($checked ? ', checked build' : ''), "\n";

# What the build writes, beside MakeMaker's own blib.
my $gen = 'plotrune-mm';
PlotruneBuild::Rules::write_build_files($p, $gen);

# A word for the shell, inside make: quoted when it needs it, $ doubled;
# make's own variables, $(NAME), are left for make to expand.
sub sh {
    my ($word) = @_;
    my @parts = split /(\$\([A-Z_]+\))/, $word;
    (my $plain = $word) =~ s/\$\([A-Z_]+\)/X/g;
    my $quote = $plain =~ m{[^\w\-+=./,:@%^]};
    return join '', map {
        my $part = $_;
        if ($part !~ /^\$\([A-Z_]+\)\z/) {
            $part =~ s/\$/\$\$/g;
            $part = "'" . join("'\\''", split /'/, $part, -1) . "'" if $quote && $part ne '';
        }
        $part;
    } @parts;
}
sub line { join ' ', map { sh($_) } @_ }

# The build goes where every install of it goes: PlotRune/<cpu> in the
# library folder, beside PlotRune.pm (the site library, or INSTALL_BASE's
# lib/perl5), not in an archname folder that perls of another archname
# would not look in.
my $blib = PlotruneBuild::Rules::layout($p, '$(INST_LIB)');
my %pm = map { ("lib/$_" => "\$(INST_LIB)/$_") } PlotruneBuild::Rules::perl_files();
$pm{"$gen/$M.pm"} = $blib->{pm};

# What the distribution says of itself.  The MakeMaker of Perl 5.12 (6.56)
# knows no TEST_REQUIRES: there the tests' needs count as the build's.
my %test_requires = ('Test::More' => 0, 'App::Prove' => 0, 'File::Temp' => 0, 'Pod::Checker' => 0,
                     'ExtUtils::MakeMaker' => 0);
my %meta = (
    AUTHOR             => 'The perlplotrune developers',
    # The copyright notice reserves every right (LICENSE).
    LICENSE            => 'restricted',
    MIN_PERL_VERSION   => '5.012',
    CONFIGURE_REQUIRES => { 'ExtUtils::MakeMaker' => 0 },
    PREREQ_PM          => { 'XSLoader' => 0, 'File::Spec' => 0 },
    META_MERGE         => {
        # No modules of the distribution's own there (MakeMaker adds inc and t).
        no_index => { directory => [qw(configs bench demo fuzz tools)] },
    },
    eval { ExtUtils::MakeMaker->VERSION('6.64'); 1 }
        ? (TEST_REQUIRES => \%test_requires) : (BUILD_REQUIRES => \%test_requires),
);

WriteMakefile(
    NAME          => 'PlotRune',
    VERSION_FROM  => 'lib/PlotRune.pm',
    ABSTRACT_FROM => 'lib/PlotRune.pm',
    %meta,
    PM            => \%pm,
    # Manual pages for what programs use; a build's own .pm documents
    # itself for perldoc, under its own name.
    MAN3PODS      => { map { my $name = join '::', split m{/}, substr($_, 0, -3);
                             ("lib/$_" => "\$(INST_MAN3DIR)/$name.\$(MAN3EXT)") } PlotruneBuild::Rules::perl_files() },
    # The module is no XS of MakeMaker's: the rules below build it.
    XS            => {},
    C             => [],
    H             => [],
    OBJECT        => '',
    clean         => { FILES => $gen },
);

sub MY::postamble {
    my $so = $blib->{so};
    my $obj = "$gen/perlapi.o";
    my $test = "$here/$gen/test";
    my $dir = "$test/modules/$p->{arch}/$M";
    my $tree = "$test/tree";
    my $layout = PlotruneBuild::Rules::tree_layout($p);
    my @engine = PlotruneBuild::Rules::engine_compile_flags($p);
    my @engine_ld = (PlotruneBuild::Rules::engine_link_flags($p), '-shared');

    # The test copy: the module and its .pm with the stand-in engine and
    # the load tests' libraries beside it, the manifest the tests read, and
    # an install tree staged from blib by the install layout.
    my @engines = PlotruneBuild::Rules::standin_engines($p);
    my %file = map { ($_->{kind} => join('/', $dir, (length $_->{dir} ? $_->{dir} : ()), 'libplotrune.so')) } @engines;
    my @columns = PlotruneBuild::Rules::manifest_columns();
    my %row = ((map { ($_ => '') } @columns), module => $M, arch => $p->{arch}, perl => $^X, module_file => "$dir/$M.so",
               supported => $p->{supported}, checked => $p->{checked}, map { ($_->{column} => $file{$_->{kind}}) } @engines);
    my $manifest = "$test/modules.tsv";
    mkpath($test);
    open my $fh, '>', $manifest or die "cannot write $manifest: $!\n";
    print $fh join("\t", @columns), "\n", join("\t", @row{@columns}), "\n";
    close $fh or die "cannot write $manifest: $!\n";

    my @stage = (line('$(RM_RF)', $tree),
                 line('$(MKPATH)', "$tree/lib/perl5/PlotRune", "$tree/$layout->{dir}"),
                 (map { line('$(CP)', "\$(INST_LIB)/$_", "$tree/lib/perl5/$_") } PlotruneBuild::Rules::perl_files()),
                 line('$(CP)', $blib->{pm}, "$tree/$layout->{pm}"),
                 line('$(CP)', $so, "$tree/$layout->{so}"),
                 line('$(CP)', $file{engine}, "$tree/$layout->{engine}"),
                 line('$(CP)', $so, "$dir/$M.so"),
                 line('$(CP)', $blib->{pm}, "$dir/$M.pm"));
    return join "\n",
        "pure_all :: $so", '',
        "$so: module/perlapi.cpp contract/plotrune_engine.h $gen/$M.map",
        "\t" . line('$(MKPATH)', $blib->{dir}),
        "\t" . line($cxx, PlotruneBuild::Rules::module_compile_flags($p, cxx => $cxx), '-c', 'module/perlapi.cpp', '-o', $obj),
        "\t" . line($cxx, '-shared', PlotruneBuild::Rules::module_link_flags($p, "$gen/$M.map"), '-o', $so, $obj,
                    PlotruneBuild::Rules::module_link_libraries($p)),
        "\t" . line('$(CHMOD)', '$(PERM_RWX)', $so), '',
        (map {
            my ($out, $source) = ($file{$_->{kind}}, "engine/$_->{source}");
            (my $folder = $out) =~ s{/[^/]+\z}{};
            ("$out: $source contract/plotrune_engine.h",
             "\t" . line('$(MKPATH)', $folder),
             "\t" . line($cc, @engine, (map { "-D$_" } @{ $_->{defines} }), @{ $_->{flags} || [] }, @engine_ld,
                         @{ $_->{flags} || [] }, '-o', $out, $source), '');
        } @engines),
        "plotrune_test_copy: pure_all " . join(' ', map { $file{$_->{kind}} } @engines),
        (map { "\t$_" } @stage), '',
        '.PHONY: plotrune_test_copy', '',
        # The engine is not ours: installed only when given, in
        # PLOTRUNE_ENGINE on make's command line or in the environment.  It
        # is read and chosen before anything is installed; an install
        # without one ends saying where one must go.
        'plotrune_engine_check :',
        "\t\$(NOECHO) " . engine_step('check'), '',
        'pure_install ::',
        "\t\$(NOECHO) " . engine_step('copy'), '',
        'install ::',
        "\t\$(NOECHO) " . engine_step('note'), '',
        '.PHONY: plotrune_engine_check', '';
}

# One step of the engine's install (check, copy or note) into the library
# folder that INSTALLDIRS chooses: the build rules' choice of engine, run by
# this perl.
sub engine_step {
    my ($step) = @_;
    my $code = 'my ($step, $origin, $engines, $dirs, %lib) = @ARGV; my $p = PlotruneBuild::Rules::probe(\%Config); '
             . 'my $dir = PlotruneBuild::Rules::layout($p, $lib{$dirs})->{dir}; '
             . 'if ($step eq "check") { PlotruneBuild::Rules::engine_for($p, $engines, $origin ne "undefined") } '
             . 'elsif ($step eq "copy") { my $e = PlotruneBuild::Rules::install_engine($p, $engines, $dir); '
             . 'print "Installing engine $e in $dir\n" if defined $e } '
             . 'elsif ($engines eq "") { print PlotruneBuild::Rules::no_engine_note($dir) }';
    return '$(FULLPERLRUN) ' . line('-Iinc', '-MConfig', '-MPlotruneBuild::Rules', '-e', $code, $step)
         . ' "$(origin PLOTRUNE_ENGINE)" "$(PLOTRUNE_ENGINE)" "$(INSTALLDIRS)" site "$(DESTINSTALLSITELIB)"'
         . ' perl "$(DESTINSTALLPRIVLIB)" vendor "$(DESTINSTALLVENDORLIB)"';
}

# Nothing is installed before the engine given has been read and chosen.
{
    package MY;
    sub install {
        my $self = shift;
        my $text = $self->SUPER::install(@_);
        $text =~ s/^(pure_(?:perl|site|vendor)_install ::)/$1 plotrune_engine_check/mg;
        return $text;
    }
}

# The whole suite, under this perl, against the module just built, by the
# build rules' test command.
sub MY::test {
    my $test = "$here/$gen/test";
    return join "\n",
        'TEST_VERBOSE = 0', '',
        'test :: plotrune_test_copy',
        "\t" . line('PLOTRUNE_MANIFEST=' . "$test/modules.tsv", "PLOTRUNE_MODULE=$M", "PLOTRUNE_ARCH=$p->{arch}",
                    "PLOTRUNE_TREE=$test/tree") . ' TEST_VERBOSE=$(TEST_VERBOSE) $(FULLPERLRUN) '
                    . line(PlotruneBuild::Rules::test_command()) . ' t/*.t',
        '', 'test_dynamic :: test', '';
}
