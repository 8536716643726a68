#!/usr/bin/perl
# Prints what a build and test run covered: every supported configuration,
# whether a perl served it, whether its module was built, and how its tests
# went; then the builds beyond the supported set.  A run may span several
# build folders (two perls that give one module name need one each): give
# each folder's manifest and test report.
# Usage: summary.pl configurations.tsv modules.tsv [results.xml] [modules.tsv results.xml ...]
use strict;
use warnings;

my ($table, @runs) = @ARGV;
die "usage: $0 configurations.tsv modules.tsv [results.xml] ...\n" unless $table && @runs;

sub rows {
    my ($file) = @_;
    open my $fh, '<', $file or die "cannot read $file: $!\n";
    my @lines = grep { !/^#/ } <$fh>;
    chomp @lines;
    my @columns = split /\t/, shift @lines;
    return map { my %r; @r{@columns} = split /\t/; \%r } @lines;
}

# Test results per module and architecture, from ctest's JUnit report.
sub results {
    my ($junit) = @_;
    my %tests;
    open my $fh, '<', $junit or return \%tests;
    local $/;
    my $xml = <$fh>;
    while ($xml =~ /<testcase name="([^"\/]+)\/([^"\/]+)\/([^"]+)"[^>]*status="(\w+)"/g) {
        my $t = $tests{"$1/$2"} ||= { run => 0, passed => 0, failed => [] };
        $t->{run}++;
        if ($4 eq 'run') { $t->{passed}++ } else { push @{ $t->{failed} }, $3 }
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
printf $format, 'Configuration', 'Arch', 'Perl', 'Built', 'Tests', 'Result';
my ($covered, $passed, $missing, @failed) = (0, 0, 0);
for my $c (@configurations) {
    my @served = grep { $_->{module} eq $c->{module} && $_->{arch} eq 'i386' && $_->{supported} } @built;
    if (!@served) {
        printf $format, $c->{module}, 'i386', '(no perl given)', '-', '-', '-';
        $missing++;
        next;
    }
    my $all_passed = 1;
    for my $row (@served) {
        my @status = status_of($row);
        printf $format, $row->{module}, $row->{arch}, $row->{perl}, @status;
        $all_passed = 0 unless $status[2] eq 'passed';
    }
    $covered++;
    if ($all_passed) { $passed++ } else { push @failed, $c->{module} }
}
my @beyond = grep { !$_->{supported} } @built;
if (@beyond) {
    print "\nBeyond the supported set (built and tested all the same):\n";
    for my $row (@beyond) {
        my @status = status_of($row);
        printf $format, $row->{module}, $row->{arch}, $row->{perl}, @status;
        push @failed, "$row->{module} ($row->{arch}, beyond)" unless $status[2] eq 'passed';
    }
}
printf "\n%d of %d supported configurations had a perl; %d passed; %d had no perl.\n",
    $covered, scalar @configurations, $passed, $missing;
print "Failed: ", join(', ', @failed), "\n" if @failed;
