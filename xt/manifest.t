# The distribution's file list: MANIFEST names sources only, each of them
# there, none that MANIFEST.SKIP leaves out (what builds write); and, in a
# clone, every file under version control is either in it or left out on
# purpose, so that `make dist` misses nothing.

use strict;
use warnings;
use Test::More;
use ExtUtils::Manifest ();
use PlotruneTest;

my $root = project_root();
my $listed = ExtUtils::Manifest::maniread("$root/MANIFEST");
my $skipped = ExtUtils::Manifest::maniskip("$root/MANIFEST.SKIP");
my @files = sort keys %$listed;

ok(scalar(@files) > 0, 'MANIFEST lists files');
my @absent = grep { !-f "$root/$_" } @files;
is_deeply(\@absent, [], 'every file MANIFEST lists is in the tree');
my @generated = grep { $skipped->($_) } @files;
is_deeply(\@generated, [], 'MANIFEST lists nothing that MANIFEST.SKIP leaves out');

# What a build writes is left out, wherever it lies; the sources are not.
my @cases = (
    [ 'plotrune-mm/perlapi.o',                                        1 ],
    [ 'plotrune-mm/test/modules.tsv',                                 1 ],
    [ 'plotrune-mm/perlplotrune512.pm',                               1 ],
    [ 'build-test/generated/i386/perlplotrune522i64mt.map',           1 ],
    [ 'blib/archlib/auto/perlplotrune512/perlplotrune512.so',         1 ],
    [ 'Makefile',                                                     1 ],
    [ 'MYMETA.json',                                                  1 ],
    [ 'PlotRune-5.01.tar.gz',                                         1 ],
    [ 'lib/PlotRune.pm',                                              0 ],
    [ 'Makefile.PL',                                                  0 ],
    [ 'module/perlapi.cpp',                                           0 ],
    [ 't/engines/standin_engine.c',                                   0 ],
);
for my $case (@cases) {
    my ($file, $skip) = @$case;
    is($skipped->($file) ? 1 : 0, $skip, "MANIFEST.SKIP " . ($skip ? 'leaves out' : 'keeps') . " $file");
}

SKIP: {
    my @tracked = -e "$root/.git" ? `git -C "$root" ls-files 2>/dev/null` : ();
    skip 'not a clone with git at hand', 1 unless @tracked;
    chomp @tracked;
    my @forgotten = grep { !exists $listed->{$_} && !$skipped->($_) } @tracked;
    is_deeply(\@forgotten, [], 'every file under version control is in MANIFEST or left out by MANIFEST.SKIP');
}

done_testing();
