# The CPAN way, for one perl and no CMake:
#
#   perl Makefile.PL && make && make test && make install
#
# builds the module for the perl that runs this, tests it with the stand-in
# engine beside a test copy of it, and installs it, its .pm and PlotRune.pm
# into that perl's site folders (or INSTALL_BASE=DIR, or DESTDIR=...).  The
# module's name, flags, link rules, .pm, install layout and the engine's
# install are those of inc/PlotruneBuild/Rules.pm, which the CMake build
# takes too: this file hands them to MakeMaker.
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
use File::Path ();
use lib 'inc', 't/lib';
use PlotruneBuild::Rules;
use PlotruneTestFolder;

# Ours, not MakeMaker's, which would warn about an argument it does not know.
my $checked = 0;
@ARGV = grep { /^CHECKED=(.*)\z/ ? do { $checked = $1 ? 1 : 0; 0 } : 1 } @ARGV;

my $p = PlotruneBuild::Rules::probe(\%Config, checked => $checked);
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

# The build goes where every install of it goes: PlotRune/<cpu> in the
# library folder, beside PlotRune.pm (the site library, or INSTALL_BASE's
# lib/perl5), not in an archname folder that perls of another archname
# would not look in.
my $blib = PlotruneBuild::Rules::layout($p, '$(INST_LIB)');
my %pm = map { ("lib/$_" => "\$(INST_LIB)/$_") } PlotruneBuild::Rules::perl_files();
$pm{"$gen/$M.pm"} = $blib->{pm};

# What make test reads: the module table of the test copy, which holds the
# module and its .pm with the test engines (build_folder), and an install
# tree staged from blib by the install layout.
my $test = "$here/$gen/test";
my $folder = PlotruneTestFolder::build_folder($p, $test);
unlink "$test/modules.tsv";
File::Path::mkpath($test);
PlotruneTestFolder::add_module_row($p, "$test/modules.tsv", $^X, $folder);

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
    PREREQ_PM          => { 'File::Spec' => 0 },
    META_MERGE         => {
        # No modules of the distribution's own there (MakeMaker adds inc and t).
        no_index => { directory => [qw(cmake data bench demo fuzz tools xt)] },
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

# Words for the shell inside make, quoted as MakeMaker quotes them; make's
# own variables, $(NAME), are left for make to expand.
# MakeMakers from 6.57 on double a $ that starts no make variable
# themselves; older ones leave that to their caller.
sub line {
    my ($mm, @words) = @_;
    my $doubles = $mm->quote_literal('$x') =~ /\$\$/;
    return join ' ', map {
        my $word = $_;
        $word =~ s/\$(?!\()/\$\$/g unless $doubles;
        $word =~ m{^(?:[\w\-+=./,:@%^]+|\$\([A-Z_]+\))\z} ? $word : $mm->quote_literal($word);
    } @words;
}

sub MY::postamble {
    my ($mm) = @_;
    my $so = $blib->{so};
    my $obj = "$gen/perlapi.o";
    my $dir = $folder->{dir};
    my $tree = "$test/tree";
    my $layout = PlotruneBuild::Rules::tree_layout($p);
    my @stage = (line($mm, '$(RM_RF)', $tree),
                 line($mm, '$(MKPATH)', "$tree/lib/perl5/PlotRune", "$tree/$layout->{dir}"),
                 (map { line($mm, '$(CP)', "\$(INST_LIB)/$_", "$tree/lib/perl5/$_") } PlotruneBuild::Rules::perl_files()),
                 line($mm, '$(CP)', $blib->{pm}, "$tree/$layout->{pm}"),
                 line($mm, '$(CP)', $so, "$tree/$layout->{so}"),
                 line($mm, '$(CP)', $folder->{engine}, "$tree/$layout->{engine}"),
                 line($mm, '$(CP)', $so, "$dir/$M.so"),
                 line($mm, '$(CP)', $blib->{pm}, "$dir/$M.pm"));
    my @engines = PlotruneTestFolder::test_engines($p);
    return join "\n",
        "pure_all :: $so", '',
        "$so: module/perlapi.cpp contract/plotrune_engine.h $gen/$M.map",
        "\t" . line($mm, '$(MKPATH)', $blib->{dir}),
        "\t" . line($mm, $cxx, PlotruneBuild::Rules::module_compile_flags($p, cxx => $cxx), '-c', 'module/perlapi.cpp', '-o', $obj),
        "\t" . line($mm, $cxx, '-shared', PlotruneBuild::Rules::module_link_flags($p, "$gen/$M.map"), '-o', $so, $obj,
                    PlotruneBuild::Rules::module_link_libraries($p)),
        "\t" . line($mm, '$(CHMOD)', '$(PERM_RWX)', $so), '',
        (map { test_engine_rule($mm, $_) } @engines),
        "plotrune_test_copy: pure_all " . join(' ', map { $folder->{ $_->{kind} } } @engines),
        (map { "\t$_" } @stage), '',
        '.PHONY: plotrune_test_copy', '',
        engine_install_rules($mm);
}

# One test engine, as CMake builds it.
sub test_engine_rule {
    my ($mm, $e) = @_;
    my $source = "t/engines/$e->{source}";
    my @flags = @{ $e->{flags} || [] };
    return ("$folder->{$e->{kind}}: $source t/engines/test_engine.h contract/plotrune_engine.h",
            "\t" . line($mm, '$(MKPATH)', $folder->{"$e->{kind}_dir"}),
            "\t" . line($mm, $cc, PlotruneBuild::Rules::engine_compile_flags($p), (map { "-D$_" } @{ $e->{defines} }),
                        @flags, PlotruneBuild::Rules::engine_link_flags($p), '-shared', @flags,
                        '-o', $folder->{ $e->{kind} }, $source), '');
}

# The engine's install, the build rules' one step, into the library folder
# INSTALLDIRS chooses, before anything else is installed; its note, when no
# engine was given, is the install's last line.
sub engine_install_rules {
    my ($mm) = @_;
    my $dir = PlotruneBuild::Rules::layout($p, '$(PLOTRUNE_LIB_$(INSTALLDIRS))')->{dir};
    my $note = "$gen/engine-note.txt";
    return ('PLOTRUNE_LIB_perl = $(DESTINSTALLPRIVLIB)', 'PLOTRUNE_LIB_site = $(DESTINSTALLSITELIB)',
            'PLOTRUNE_LIB_vendor = $(DESTINSTALLVENDORLIB)', '',
            'plotrune_engine :',
            "\t\$(NOECHO) \$(FULLPERLRUN) " . line($mm, 'inc/PlotruneBuild/Engine.pm', $note, '', $dir, $p->{arch}), '',
            'install ::',
            "\t\$(NOECHO) " . $mm->oneliner('print while <>') . ' ' . line($mm, $note), '',
            '.PHONY: plotrune_engine', '');
}

# Nothing is installed before the engine given has been read and chosen.
{
    package MY;
    sub install {
        my $self = shift;
        my $text = $self->SUPER::install(@_);
        $text =~ s/^(pure_(?:perl|site|vendor)_install ::)/$1 plotrune_engine/mg;
        return $text;
    }
}

# The whole suite, under this perl, against the module just built, by the
# build rules' test command.
sub MY::test {
    my ($mm) = @_;
    return join "\n",
        'TEST_VERBOSE = 0', '',
        'test :: plotrune_test_copy',
        "\t" . line($mm, "PLOTRUNE_MODULES=$test/modules.tsv", "PLOTRUNE_MODULE=$M", "PLOTRUNE_ARCH=$p->{arch}",
                    "PLOTRUNE_TREE=$test/tree") . ' TEST_VERBOSE=$(TEST_VERBOSE) $(FULLPERLRUN) '
                    . line($mm, PlotruneTestFolder::test_command()) . ' t/*.t',
        '', 'test_dynamic :: test', '';
}
