package PlotruneBuild::Command;

# The build rules as a program, run under the perl built for:
#
#   perl inc/PlotruneBuild/Command.pm cmake [--checked] [--site] [--sanitize] PERL BUILD-FOLDER CXX OUT
#       writes OUT, the set() lines CMake include()s for this perl (the
#       build rules' answers), the build's .pm and version script, and its
#       rows of BUILD-FOLDER's module table (modules.tsv) and builds.tsv;
#   perl inc/PlotruneBuild/Command.pm describe
#       this perl's build as a table of one row (module arch version ptr_bits
#       supported engine_file, and tree_dir tree_pm tree_so: where an install
#       tree holds it), for shell scripts to read by column name;
#   perl inc/PlotruneBuild/Command.pm module-flags CXX | sanitize-flags
#       the module's compile flags, or the sanitizers', one a line.
#
# Kept to what Perl 5.12 understands: it runs under the perl being built for.

use strict;
use warnings;

use File::Spec ();
BEGIN { unshift @INC, File::Spec->rel2abs((File::Spec->splitpath(__FILE__))[1]) . '/..' }
use PlotruneBuild::Rules ();
use PlotruneBuild::BuildFiles ();
use lib "$PlotruneBuild::Rules::root/t/lib";
use PlotruneTestFolder ();

# An install tree's manifest (perlplotrune-manifest.tsv): a commented
# header and one line per build (the build folder's builds.tsv, written as
# each perl is probed), then cmake/install_manifest.cmake's SHA-256 of every
# file installed.
my @manifest_columns = qw(build module perl threads iv_bits ptr_bits archname supported checked interface);

sub add_manifest_line {
    my ($p, $file) = @_;
    PlotruneTestFolder::append_row($file, \@manifest_columns, { %$p, build => 'build', perl => $p->{version} },
        "# perlplotrune $PlotruneBuild::Rules::VERSION: the builds in this tree, then the SHA-256 of every file in "
        . "it\n# ");
}

# A CMake set() line: each value one bracket argument, taken as it is; a ;
# inside a value stays part of it.
sub cmake_set {
    my ($name, @values) = @_;
    return "set($name" . join('', map { (my $v = $_) =~ s/;/\\;/g; " [==[$v]==]" } @values) . ")\n";
}

# What the CMake build needs to build, test and install one perl's module,
# as CMake set() lines.  $o: perl, build (the build folder), cxx, site
# (install into the perl's own site library), sanitize (the module and the
# engines compiled with the sanitizers).
sub cmake_settings {
    my ($p, $o) = @_;
    my @sanitize = $o->{sanitize} ? PlotruneBuild::Rules::sanitize_flags() : ();
    # For a processor CMake's compilers make no code for, the rules' compile and link in their place.
    my $cross = @{ PlotruneBuild::Rules::cross_flags($p) } ? [ qw(bash -c), 'exec "$0" "${@:2}"' ] : undef;
    my $cxx = $cross ? PlotruneBuild::Rules::cxx_compiler($p) : $o->{cxx};
    my ($pm, $map) = PlotruneBuild::BuildFiles::write_build_files($p, "$o->{build}/generated/$p->{arch}", $cxx);
    my $folder = PlotruneTestFolder::build_folder($p, $o->{build});
    my $install = $o->{site} ? PlotruneBuild::Rules::site_layout($p) : PlotruneBuild::Rules::tree_layout($p);
    my @engines = PlotruneTestFolder::test_engines($p);
    my $text = join '',
        (map { cmake_set("plotrune_$_", $p->{$_}) } qw(module arch)),
        cmake_set(plotrune_perl => $o->{perl}),
        cmake_set(plotrune_summary => PlotruneBuild::Rules::summary($p, $o->{perl})),
        cmake_set(plotrune_dist_version => $PlotruneBuild::Rules::VERSION),
        # The archive's name, apart for a checked tree.
        cmake_set(plotrune_package => ($p->{checked} ? 'perlplotrune-checked-' : 'perlplotrune-') . $PlotruneBuild::Rules::VERSION),
        cmake_set(plotrune_module_flags => PlotruneBuild::Rules::module_compile_flags($p, cxx => $cxx), @sanitize),
        cmake_set(plotrune_cxx_launcher => $cross ? (@$cross, $cxx) : ()),
        cmake_set(plotrune_c_launcher => $cross ? (@$cross, PlotruneBuild::Rules::c_compiler($p)) : ()),
        cmake_set(plotrune_module_ldflags => PlotruneBuild::Rules::module_link_flags($p, $map)),
        cmake_set(plotrune_module_libs => PlotruneBuild::Rules::module_link_libraries($p)),
        cmake_set(plotrune_module_pm => $pm), cmake_set(plotrune_version_script => $map),
        cmake_set(plotrune_module_dir => $folder->{dir}), cmake_set(plotrune_module_pm_file => $folder->{pm_file}),
        cmake_set(plotrune_engine_file => PlotruneBuild::Rules::engine_file()),
        cmake_set(plotrune_engine_flags => PlotruneBuild::Rules::engine_compile_flags($p), @sanitize),
        cmake_set(plotrune_engine_ldflags => PlotruneBuild::Rules::engine_link_flags($p)),
        cmake_set(plotrune_test_engines => map { $_->{kind} } @engines),
        (map { (cmake_set("plotrune_test_engine_$_->{kind}_source" => PlotruneTestFolder::test_engine_source($_)),
                cmake_set("plotrune_test_engine_$_->{kind}_dir" => $folder->{"$_->{kind}_dir"}),
                cmake_set("plotrune_test_engine_$_->{kind}_defines" => @{ $_->{defines} }),
                cmake_set("plotrune_test_engine_$_->{kind}_flags" => @{ $_->{flags} || [] })) } @engines),
        cmake_set(plotrune_test_command => PlotruneTestFolder::test_command()),
        cmake_set(plotrune_call_path_tests => PlotruneTestFolder::call_path_tests()),
        cmake_set(plotrune_perl_files => PlotruneBuild::Rules::perl_files()),
        cmake_set(plotrune_install_lib => $install->{lib}), cmake_set(plotrune_install_dir => $install->{dir}),
        # As the install's own code reads it: a tree's under the prefix.
        cmake_set(plotrune_install_engine => ($o->{site} ? '' : '${CMAKE_INSTALL_PREFIX}/') . $install->{engine});
    PlotruneTestFolder::add_module_row($p, "$o->{build}/modules.tsv", $o->{perl}, $folder);
    return $text;
}

sub main {
    my ($command, @args) = @_;
    require Config;
    my %flag;
    # --checked, or --checked=VALUE, as CMake says yes (ON, 1, TRUE ...) or no.
    while (@args && (my ($name, $value) = $args[0] =~ /^--(checked|site|sanitize)(?:=(.*))?\z/)) {
        shift @args;
        $flag{$name} = !defined $value || $value !~ /^(?:OFF|0|FALSE|NO|N|IGNORE|NOTFOUND|.*-NOTFOUND)?\z/i;
    }
    my $p = PlotruneBuild::Rules::probe(\%Config::Config, checked => $flag{checked});
    if ($command eq 'cmake' && @args == 4) {
        my ($perl, $build, $cxx, $out) = @args;
        my $settings = cmake_settings($p, { %flag, perl => $perl, build => $build, cxx => $cxx });
        PlotruneBuild::Rules::write_text($out, $settings);
        add_manifest_line($p, "$build/builds.tsv");
    } elsif ($command eq 'describe' && !@args) {
        my @columns = qw(module arch version ptr_bits supported engine_file tree_dir tree_pm tree_so);
        my $tree = PlotruneBuild::Rules::tree_layout($p);
        my %row = (%$p, engine_file => PlotruneBuild::Rules::engine_file(),
                   map { ("tree_$_" => $tree->{$_}) } qw(dir pm so));
        print join("\t", @columns), "\n", join("\t", @row{@columns}), "\n";
    } elsif ($command eq 'module-flags' && @args == 1) {
        print "$_\n" for PlotruneBuild::Rules::module_compile_flags($p, cxx => $args[0]);
    } elsif ($command eq 'sanitize-flags' && !@args) {
        print "$_\n" for PlotruneBuild::Rules::sanitize_flags();
    } else {
        die "usage: perl $0 cmake [--checked] [--site] [--sanitize] PERL BUILD-FOLDER CXX OUT | describe"
          .  " | module-flags CXX | sanitize-flags\n";
    }
    return 0;
}

exit main(@ARGV) unless caller;

1;
