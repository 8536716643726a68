#!/usr/bin/perl
# Prints what a build and test run did: first every build, whether it was
# made and how its tests went; then the supported configurations it covered
# (tier by tier, once a perl of the set was given, with a line for each one
# no perl was given for; else how to give them); last one line counting the
# tests that passed and failed.  A run may span several build folders (two perls that give one
# module name need one each): give each folder's manifest and test report.
# Usage: summary.pl configurations.tsv modules.tsv [results.xml] [modules.tsv results.xml ...]
use strict;
use warnings;
use File::Spec;
my $root;
BEGIN { $root = File::Spec->catdir((File::Spec->splitpath(File::Spec->rel2abs(__FILE__)))[1], File::Spec->updir) }
use lib File::Spec->catdir($root, 't', 'lib'), File::Spec->catdir($root, 'lib');
use PlotruneTestFolder ();
use PlotRune::Configuration ();

my ($table, @runs) = @ARGV;
die "usage: $0 configurations.tsv modules.tsv [results.xml] ...\n" unless $table && @runs;

sub rows { PlotruneTestFolder::read_table(@_) }

# Test results per module and architecture, from ctest's JUnit report (the
# one reader of it: CI's report takes its counts from here); and the count
# of every test in it (the install steps too) that passed and that failed.
# A test that did not run (its fixture failed, its program was missing) was
# meant to and passed nothing: it counts as failed.  Only a test disabled
# on purpose is left out.
my ($tests_passed, $tests_failed) = (0, 0);
sub results {
    my ($junit) = @_;
    my %tests;
    open my $fh, '<', $junit or return \%tests;
    local $/;
    my $xml = <$fh>;
    while ($xml =~ /<testcase name="([^"]+)"[^>]*status="(\w+)"/g) {
        my ($name, $status) = ($1, $2);
        next if $status eq 'disabled';
        if ($status eq 'run') { $tests_passed++ } else { $tests_failed++ }
        my ($module, $arch_module, $file) = $name =~ m{^([^/]+)/([^/]+)/(.+)$} or next;
        my $t = $tests{"$module/$arch_module"} ||= { run => 0, passed => 0, failed => [] };
        $t->{run}++;
        if ($status eq 'run') { $t->{passed}++ } else { push @{ $t->{failed} }, $file }
    }
    return \%tests;
}

my @configurations = rows($table);
my @built;
while (@runs) {
    my ($manifest, $junit) = splice @runs, 0, 2;
    next unless -f $manifest;
    my $tests = $junit ? results($junit) : {};
    for my $row (rows($manifest)) {
        $row->{tests} = $tests->{"$row->{arch}/$row->{module}"};
        push @built, $row;
    }
}

sub status_of {
    my ($row) = @_;
    my $t = $row->{tests};
    my $made = -f $row->{module_file} ? 'yes' : 'no';
    return ($made, '-', 'not built') if $made eq 'no';
    return ($made, '-', 'not tested') unless $t;
    my $result = @{ $t->{failed} } ? 'FAILED: ' . join(', ', @{ $t->{failed} }) : 'passed';
    return ($made, "$t->{passed}/$t->{run}", $result);
}

my $format = "%-22s %-8s %-46s %-6s %-7s %s\n";
my @header = ('Configuration', 'Arch', 'Perl', 'Built', 'Tests', 'Result');
my $set = $PlotRune::Configuration::SUPPORTED_SET;

# What ran, first: every build, supported or beyond the set.
my @failed;
print "Builds:\n";
printf $format, @header;
for my $row (@built) {
    my @status = status_of($row);
    printf $format, $row->{module}, $row->{arch}, $row->{perl}, @status[0, 1],
        $status[2] . ($row->{supported} ? '' : ' (beyond the supported set)');
    if ($status[2] ne 'passed') {
        push @failed, $row->{module} . ($row->{supported} ? '' : " ($row->{arch}, beyond)");
        # A build that broke before its tests ran still counts as one failure.
        $tests_failed++ unless $row->{tests};
    }
}

# Then the supported configurations this run covered, tier by tier.
my @served = grep { $_->{supported} } @built;
my ($covered, $passed) = (0, 0);
my @tiers = map { my $t = $_; [ $t, [ grep { $_->{tier} eq $t->{tier} } @configurations ] ] } @PlotRune::Configuration::TIERS;
my @counts;
if (@served) {
    for (@tiers) {
        my ($tier, $rows) = @$_;
        my ($tier_covered, $tier_passed, @untested) = (0, 0);
        print "\nThe supported configurations of tier $tier->{tier} ($tier->{set}):\n";
        printf $format, @header;
        for my $c (@$rows) {
            my @rows = grep { $_->{module} eq $c->{module} && $_->{arch} eq $c->{cpu} } @served;
            if (!@rows) {
                push @untested, "  not tested, no perl given: $c->{module} on $c->{cpu}\n";
                next;
            }
            $tier_covered++;
            my $all_passed = 1;
            for my $row (@rows) {
                my @status = status_of($row);
                printf $format, $row->{module}, $row->{arch}, $row->{perl}, @status;
                $all_passed = 0 unless $status[2] eq 'passed';
            }
            $tier_passed++ if $all_passed;
        }
        print @untested;
        push @counts, sprintf 'tier %d: %d of %d tested, %d passed', $tier->{tier}, $tier_covered, scalar @$rows,
            $tier_passed;
        $covered += $tier_covered;
        $passed += $tier_passed;
    }
    printf "%d of the %d supported configurations were tested; %d of them passed (%s).\n",
        $covered, scalar @configurations, $passed, join '; ', @counts;
} else {
    printf "\nNo perl of the supported set (%s) was given: none of its %d configurations ran here.\n",
        $set, scalar @configurations;
}
if ($covered < @configurations) {
    print "To test ", ($covered ? 'the others' : 'them'), ", give perls of those configurations ",
          "(data/configurations.tsv lists them):\n",
          "  ./test.sh PERL ...\n";
    print "or run bash .ci/run, which unpacks the archived perls it is given and tests every one.\n"
        if -f File::Spec->catfile($root, '.ci', 'run');
}

print "\nFailed: ", join(', ', @failed), "\n" if @failed;
printf "\n%d passed, %d failed: the tests of %d build%s, %d of the %d supported configurations among them.\n",
    $tests_passed, $tests_failed, scalar @built, (@built == 1 ? '' : 's'), $covered, scalar @configurations;
