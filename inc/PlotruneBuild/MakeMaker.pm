package PlotruneBuild::MakeMaker;

# What Makefile.PL hands to MakeMaker for the perl that runs it, from the
# build rules: MakeMaker says itself what it can (args); make rules stand
# only for what it cannot say (postamble, test, install).
#
# Kept to what Perl 5.12 understands: it runs under the perl being built for.

use strict;
use warnings;

use Cwd ();
use File::Path ();
use PlotruneBuild::BuildFiles ();
use PlotruneBuild::Rules ();
use PlotruneTestFolder ();

# What the build writes, beside MakeMaker's own blib.
my $gen = 'plotrune-mm';

# The build's .pm and version script there (BuildFiles).
my %written;

sub blib { PlotruneBuild::Rules::layout($_[0], '$(INST_LIB)') }

# The tests' folder: the module and its .pm with the test engines
# (PlotruneTestFolder::build_folder), and an install tree staged from blib.
sub test_dir { Cwd::getcwd() . "/$gen/test" }

sub args {
    my ($p) = @_;
    @written{qw(pm map)} = PlotruneBuild::BuildFiles::write_build_files($p, $gen);
    my $test = test_dir();
    unlink "$test/modules.tsv";
    File::Path::mkpath($test);
    PlotruneTestFolder::add_module_row($p, "$test/modules.tsv", $^X, PlotruneTestFolder::build_folder($p, $test));
    my @perl = PlotruneBuild::Rules::perl_files();
    return (PM => { (map { ("lib/$_" => "\$(INST_LIB)/$_") } @perl), $written{pm} => blib($p)->{pm} },
            # Manual pages for what programs use; a build's own .pm
            # documents itself for perldoc, under its own name.
            MAN3PODS => { map { my $name = join '::', split m{/}, substr($_, 0, -3);
                                ("lib/$_" => "\$(INST_MAN3DIR)/$name.\$(MAN3EXT)") } @perl },
            clean => { FILES => $gen });
}

# Words for the shell inside make, quoted as MakeMaker quotes them; make's
# own variables, $(NAME), are left for make to expand.  MakeMakers from
# 6.57 on double a $ that starts no make variable themselves; older ones
# leave that to their caller.
sub words {
    my ($mm, @words) = @_;
    my $doubles = $mm->quote_literal('$x') =~ /\$\$/;
    return join ' ', map {
        my $word = $_;
        $word =~ s/\$(?!\()/\$\$/g unless $doubles;
        $word =~ m{^(?:[\w\-+=./,:@%^]+|\$\([A-Z_]+\))\z} ? $word : $mm->quote_literal($word);
    } @words;
}

# A command of a rule.
sub line { "\t" . words(@_) }

# The module, beside MakeMaker's own pure_all, compiled and linked as the
# CMake build does and filed in PlotRune/<cpu> beside PlotRune.pm, not under
# an archname that perls of another archname would not look in; the test
# engines, each as CMake builds it; the engine's install into the library
# folder INSTALLDIRS chooses.
sub postamble {
    my ($mm, $p) = @_;
    my ($so, $obj, $map) = (blib($p)->{so}, "$gen/perlapi.o", $written{map});
    my $cxx = PlotruneBuild::Rules::cxx_compiler($p);
    my $engine = PlotruneBuild::Rules::layout($p, '$(PLOTRUNE_LIB_$(INSTALLDIRS))')->{engine};
    return join "\n", "pure_all :: $so", '', "$so: module/perlapi.cpp contract/plotrune_engine.h $map",
        line($mm, '$(MKPATH)', blib($p)->{dir}),
        line($mm, $cxx, PlotruneBuild::Rules::module_compile_flags($p, cxx => $cxx), '-c', 'module/perlapi.cpp',
             '-o', $obj),
        line($mm, $cxx, '-shared', PlotruneBuild::Rules::module_link_flags($p, $map), '-o', $so, $obj,
             PlotruneBuild::Rules::module_link_libraries($p)),
        line($mm, '$(CHMOD)', '$(PERM_RWX)', $so), '',
        (map { test_engine($mm, $p, $_) } PlotruneTestFolder::test_engines($p)),
        'PLOTRUNE_LIB_perl = $(DESTINSTALLPRIVLIB)', 'PLOTRUNE_LIB_site = $(DESTINSTALLSITELIB)',
        'PLOTRUNE_LIB_vendor = $(DESTINSTALLVENDORLIB)', '', 'plotrune_engine :',
        line($mm, '$(NOECHO)', '$(FULLPERLRUN)', 'inc/PlotruneBuild/Engine.pm', "$gen/engine-note.txt", '', $engine,
             $p->{arch}),
        '', '.PHONY: plotrune_engine', '';
}

sub test_engine {
    my ($mm, $p, $e) = @_;
    my $folder = PlotruneTestFolder::build_folder($p, test_dir());
    my ($source, @flags) = ("t/engines/$e->{source}", @{ $e->{flags} || [] });
    return ("$folder->{$e->{kind}}: $source t/engines/test_engine.h contract/plotrune_engine.h",
            line($mm, '$(MKPATH)', $folder->{"$e->{kind}_dir"}),
            line($mm, PlotruneBuild::Rules::c_compiler($p), PlotruneBuild::Rules::engine_compile_flags($p),
                 (map { "-D$_" } @{ $e->{defines} }), @flags, PlotruneBuild::Rules::engine_link_flags($p),
                 '-shared', @flags, '-o', $folder->{ $e->{kind} }, $source), '');
}

# Nothing is installed before the engine given has been read and chosen;
# its note, when no engine was given, is the install's last line.
sub install {
    my ($mm, $text) = @_;
    $text =~ s/^(pure_(?:perl|site|vendor)_install ::)/$1 plotrune_engine/mg;
    return $text . join "\n", '', 'install ::',
        "\t\$(NOECHO) " . $mm->oneliner('print while <>') . ' ' . words($mm, "$gen/engine-note.txt"), '';
}

# The whole suite, under this perl, by the tests' own command, against the
# module in the tests' folder and the install tree staged from blib.
sub test {
    my ($mm, $p) = @_;
    my ($test, $folder) = (test_dir(), PlotruneTestFolder::build_folder($p, test_dir()));
    my $tree = PlotruneBuild::Rules::layout($p, "$test/tree/lib/perl5");
    return join "\n", 'TEST_VERBOSE = 0', '',
        'test :: pure_all ' . join(' ', map { $folder->{ $_->{kind} } } PlotruneTestFolder::test_engines($p)),
        line($mm, '$(RM_RF)', "$test/tree"), line($mm, '$(MKPATH)', "$test/tree/lib"),
        line($mm, '$(CP)', '-R', '$(INST_LIB)', $tree->{lib}), line($mm, '$(CP)', $folder->{engine}, $tree->{engine}),
        line($mm, '$(CP)', blib($p)->{so}, $folder->{module_file}), line($mm, '$(CP)', blib($p)->{pm}, $folder->{pm_file}),
        line($mm, "PLOTRUNE_MODULES=$test/modules.tsv", "PLOTRUNE_TREE=$test/tree") . ' TEST_VERBOSE=$(TEST_VERBOSE) '
            . '$(FULLPERLRUN) ' . words($mm, PlotruneTestFolder::test_command()) . ' t/*.t',
        '', 'test_dynamic :: test', '';
}

1;
