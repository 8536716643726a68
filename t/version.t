# One version, written in lib/PlotRune.pm: every other place that states it
# (the name rule, the build rules, the build's own .pm, the module's
# major_ver and minor_ver) says the same, and `use PlotRune VERSION` judges
# by it as Perl judges any module's version.

use strict;
use warnings;
use Test::More;
use ExtUtils::MakeMaker ();
use PlotruneTest;

my $root = project_root();
my $b = build();
my $M = $b->{module};
my ($build_dir) = $b->{module_file} =~ m{^(.*)/};

my $version = MM->parse_version("$root/lib/PlotRune.pm");
like($version, qr/^\d+\.\d\d\z/, "PlotRune.pm's version, $version, has the two decimals of 5.01");

build_rules();
my @places = (
    [ 'lib/PlotRune/Configuration.pm', MM->parse_version("$root/lib/PlotRune/Configuration.pm") ],
    [ 'inc/PlotruneBuild/Rules.pm',    $PlotruneBuild::Rules::VERSION ],
    [ "the build's own $M.pm",         MM->parse_version("$build_dir/$M.pm") ],
);
for my $place (@places) {
    my ($where, $said) = @$place;
    is($said, $version, "$M: $where says the version PlotRune.pm says");
}

# The module's two numbers: 5.01 is major 5, minor 1.
load();
{
    no strict 'refs';
    my ($major, $minor) = (&{"${M}::major_ver"}(), &{"${M}::minor_ver"}());
    is(sprintf('%d.%02d', $major, $minor), $version, "$M: major_ver and minor_ver ($major, $minor) make $version");
}

# use PlotRune VERSION (), in a child perl with lib/ alone: the version check
# needs no build, since the empty list skips the import.
my ($major) = $version =~ /^(\d+)/;
my $next = sprintf '%.2f', $version + 0.01;
(my $one_decimal = $version) =~ s/\.0(\d)\z/.$1/;
my @wants = (
    [ $version,     1, 'the version itself' ],
    [ $major,       1, 'its major version alone' ],
    [ $next,        0, 'the next version' ],
    [ $one_decimal, $one_decimal == $version, 'the version with one decimal, a larger number,' ],
);
for my $case (@wants) {
    my ($want, $accepted, $what) = @$case;
    my ($status, $out, $err) = in_child(plain => 1, switches => ["-I$root/lib"],
                                        code => "use PlotRune $want (); print PlotRune->VERSION");
    if ($accepted) {
        is("$status $out", "0 $version", "use PlotRune $want (): $what is accepted") or diag($err);
    } else {
        like($err, qr/^PlotRune version \Q$want\E required--this is only version \Q$version\E/,
             "use PlotRune $want (): $what is refused") or diag($err);
    }
}

# The whole use, with the import, from an install tree with the stand-in
# engine, where the test run has one.
SKIP: {
    my $tree = $ENV{PLOTRUNE_TREE};
    skip 'no install tree in this test run', 1 unless $tree && -d "$tree/lib/perl5";
    my ($status, $out, $err) = in_child(plain => 1, switches => ["-I$tree/lib/perl5"], unset => ['PERL5LIB'],
                                        code => "use PlotRune $version; print PlotRune::id()");
    is("$status $out", "0 $M", "use PlotRune $version loads $M from the install tree") or diag($err);
}

done_testing();
