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

my %pm = map { ("lib/$_" => "\$(INST_LIB)/$_") } PlotruneBuild::Rules::perl_files();
$pm{"$gen/$M.pm"} = "\$(INST_ARCHLIB)/$M.pm";

WriteMakefile(
    NAME          => 'PlotRune',
    VERSION_FROM  => 'lib/PlotRune.pm',
    ABSTRACT      => 'Perl binding of the plotrune engine',
    PM            => \%pm,
    # Not blib/arch: when that holds files, ExtUtils::Install puts the
    # pure-Perl files into the arch folder too, and PlotRune.pm, one file for
    # every build, belongs in the arch-independent folder, as in the CMake
    # install.
    INST_ARCHLIB  => 'blib/archlib',
    # The module is no XS of MakeMaker's: the rules below build it.
    XS            => {},
    C             => [],
    H             => [],
    OBJECT        => '',
    clean         => { FILES => $gen },
);

sub MY::postamble {
    my $so = "\$(INST_ARCHLIB)/auto/$M/$M.so";
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
    my @columns = qw(module arch perl module_file engine_file engine_without_entry_file engine_lazy_file supported
                     checked engine_breaching_file);
    my $breaching = $checked ? "$dir/breaching/libplotrune.so" : '';
    my %row = (module => $M, arch => $p->{arch}, perl => $^X, module_file => "$dir/$M.so",
               engine_file => "$dir/libplotrune.so", engine_without_entry_file => "$dir/no-entry/libplotrune.so",
               engine_lazy_file => "$dir/lazy/libplotrune.so", supported => $p->{supported},
               checked => $checked, engine_breaching_file => $breaching);
    my $manifest = "$test/modules.tsv";
    mkpath($test);
    open my $fh, '>', $manifest or die "cannot write $manifest: $!\n";
    print $fh join("\t", @columns), "\n", join("\t", @row{@columns}), "\n";
    close $fh or die "cannot write $manifest: $!\n";

    my @stage = (line('$(RM_RF)', $tree),
                 line('$(MKPATH)', "$tree/lib/perl5/PlotRune", "$tree/$layout->{auto}"),
                 (map { line('$(CP)', "\$(INST_LIB)/$_", "$tree/lib/perl5/$_") } PlotruneBuild::Rules::perl_files()),
                 line('$(CP)', "\$(INST_ARCHLIB)/$M.pm", "$tree/$layout->{pm}"),
                 line('$(CP)', $so, "$tree/$layout->{so}"),
                 line('$(CP)', "$dir/libplotrune.so", "$tree/$layout->{auto}/libplotrune.so"),
                 line('$(CP)', $so, "$dir/$M.so"),
                 line('$(CP)', "\$(INST_ARCHLIB)/$M.pm", "$dir/$M.pm"));
    return join "\n",
        "pure_all :: $so", '',
        "$so: module/perlapi.cpp contract/plotrune_engine.h $gen/$M.map",
        "\t" . line('$(MKPATH)', "\$(INST_ARCHLIB)/auto/$M"),
        "\t" . line($cxx, PlotruneBuild::Rules::module_compile_flags($p, cxx => $cxx), '-c', 'module/perlapi.cpp', '-o', $obj),
        "\t" . line($cxx, '-shared', PlotruneBuild::Rules::module_link_flags($p, "$gen/$M.map"), '-o', $so, $obj,
                    PlotruneBuild::Rules::module_link_libraries($p)),
        "\t" . line('$(CHMOD)', '$(PERM_RWX)', $so), '',
        "$dir/libplotrune.so: engine/standin_engine.c contract/plotrune_engine.h",
        "\t" . line('$(MKPATH)', $dir),
        "\t" . line($cc, @engine, @engine_ld, '-o', "$dir/libplotrune.so", 'engine/standin_engine.c'), '',
        "$dir/no-entry/libplotrune.so: engine/no_entry.c contract/plotrune_engine.h",
        "\t" . line('$(MKPATH)', "$dir/no-entry"),
        "\t" . line($cc, @engine, @engine_ld, '-o', "$dir/no-entry/libplotrune.so", 'engine/no_entry.c'), '',
        "$dir/lazy/libplotrune.so: engine/standin_engine.c contract/plotrune_engine.h",
        "\t" . line('$(MKPATH)', "$dir/lazy"),
        "\t" . line($cc, @engine, '-DPLOTRUNE_NEEDS_LAZY_BINDING', @engine_ld, '-o', "$dir/lazy/libplotrune.so",
                    'engine/standin_engine.c'), '',
        # The checked build's tests add an engine that breaks every rule it can.
        ($checked ? ("$breaching: engine/breaching_engine.c contract/plotrune_engine.h",
                     "\t" . line('$(MKPATH)', "$dir/breaching"),
                     "\t" . line($cc, @engine, '-pthread', @engine_ld, '-pthread', '-o', $breaching,
                                 'engine/breaching_engine.c'), '') : ()),
        "plotrune_test_copy: pure_all $dir/libplotrune.so $dir/no-entry/libplotrune.so $dir/lazy/libplotrune.so $breaching",
        (map { "\t$_" } @stage), '',
        '.PHONY: plotrune_test_copy', '',
        # The engine is not ours: installed only when given, PLOTRUNE_ENGINE=/path/to/libplotrune.so.
        'PLOTRUNE_ENGINE =', '',
        'pure_site_install ::',
        "\t\$(NOECHO) \$(FULLPERLRUN) " . line('-Iinc', '-MConfig', '-MPlotruneBuild::Rules', '-e',
            'exit 0 unless length $ARGV[0]; my $p = PlotruneBuild::Rules::probe(\%Config); '
            . 'print "Installing engine ", PlotruneBuild::Rules::install_engine($p, @ARGV), " in $ARGV[1]\n"')
            . ' "$(PLOTRUNE_ENGINE)" ' . sh("\$(DESTINSTALLSITEARCH)/auto/$M"), '';
}

# The whole suite, under this perl, against the module just built.
sub MY::test {
    my $test = "$here/$gen/test";
    my $prove = 'my $p = App::Prove->new; $p->process_args(($ENV{TEST_VERBOSE} ? ("-v") : ()), @ARGV); '
              . 'exit($p->run ? 0 : 1)';
    return join "\n",
        'TEST_VERBOSE = 0', '',
        'test :: plotrune_test_copy',
        "\t" . line('PLOTRUNE_MANIFEST=' . "$test/modules.tsv", "PLOTRUNE_MODULE=$M", "PLOTRUNE_ARCH=$p->{arch}",
                    "PLOTRUNE_TREE=$test/tree") . ' TEST_VERBOSE=$(TEST_VERBOSE) $(FULLPERLRUN) '
                    . line('-MApp::Prove', '-e', $prove, '--', '-I', 't/lib') . ' t/*.t',
        '', 'test_dynamic :: test', '';
}
