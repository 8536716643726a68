# Run under the perl being built for: prints what the CMake build needs from
# that perl, one "key<TAB>value" line each (lists with their words separated
# by \x1f), and writes the module's .pm and version script under OUTDIR.
# The rules themselves are in inc/PlotruneBuild/Rules.pm, which Makefile.PL
# uses too.  Usage: probe_perl.pl [--checked] TABLE [CXX OUTDIR]
# (--checked: the checked build for engine authors).
# Kept to what Perl 5.12 understands.
use strict;
use warnings;
use Config;
use File::Spec;

use lib File::Spec->catdir((File::Spec->splitpath(File::Spec->rel2abs(__FILE__)))[1], File::Spec->updir, 'inc');
use PlotruneBuild::Rules;

my $checked = @ARGV && $ARGV[0] eq '--checked' ? shift @ARGV : 0;
my ($table, $cxx, $outdir) = @ARGV;
my $p = PlotruneBuild::Rules::probe(\%Config, table => $table, checked => $checked);

my %out = map { $_ => $p->{$_} } qw(module version threads iv_bits ptr_bits arch archname interface supported checked core sitelib);
$out{executable} = $^X;
my $list = sub { join "\x1f", @_ };
$out{module_flags}   = $list->(PlotruneBuild::Rules::module_compile_flags($p, $cxx ? (cxx => $cxx) : ()));
$out{module_libs}    = $list->(PlotruneBuild::Rules::module_link_libraries($p));
$out{engine_flags}   = $list->(PlotruneBuild::Rules::engine_compile_flags($p));
$out{engine_ldflags} = $list->(PlotruneBuild::Rules::engine_link_flags($p));
$out{perl_files}     = $list->(PlotruneBuild::Rules::perl_files());
$out{test_command}   = $list->(PlotruneBuild::Rules::test_command());
$out{manifest_columns} = $list->(PlotruneBuild::Rules::manifest_columns());
# Each stand-in engine as its source, subfolder and defines.
my @engines = PlotruneBuild::Rules::standin_engines($p);
$out{standin_engines} = $list->(map { $_->{kind} } @engines);
$out{"standin_$_->{kind}"} = $list->($_->{source}, $_->{dir}, @{ $_->{defines} }) for @engines;
$out{"standin_flags_$_->{kind}"} = $list->(@{ $_->{flags} || [] }) for @engines;
$out{"column_$_->{kind}"} = $_->{column} for @engines;
$out{supported_set} = $PlotRune::Configuration::SUPPORTED_SET;
for my $style (qw(tree site)) {
    my $layout = $style eq 'tree' ? PlotruneBuild::Rules::tree_layout($p) : PlotruneBuild::Rules::site_layout($p);
    $out{"${style}_$_"} = $layout->{$_} for qw(lib dir);
}

if ($outdir) {
    ($out{module_pm}, $out{version_script}) = PlotruneBuild::Rules::write_build_files($p, "$outdir/$p->{arch}");
    $out{module_ldflags} = $list->(PlotruneBuild::Rules::module_link_flags($p, $out{version_script}));
}
print "$_\t$out{$_}\n" for sort keys %out;
