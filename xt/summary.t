# The test command's closing report (tools/summary.pl): what ran comes
# first, the supported configurations only as a table once a perl of the set
# was given, and the last line counts the tests that passed and failed, a
# build that broke before its tests counting as one failure.

use strict;
use warnings;
use Test::More;
use File::Temp ();
use PlotruneTest;

my $root = project_root();
my $dir = File::Temp->newdir;
my $n = 0;

sub write_file {
    my ($text) = @_;
    my $file = "$dir/" . ++$n;
    open my $fh, '>', $file or die "cannot write $file: $!\n";
    print $fh $text;
    close $fh or die "cannot write $file: $!\n";
    return $file;
}

# A build folder's manifest and report: builds as [module, arch, supported,
# made], tests as [arch/module/file or other name, status].
sub run_summary {
    my ($builds, $tests) = @_;
    my @columns = qw(module arch perl module_file supported);
    my $manifest = join "\t", @columns;
    for my $b (@$builds) {
        my ($module, $arch, $supported, $made) = @$b;
        my $file = $made ? write_file('') : "$dir/absent-$module.so";
        $manifest .= "\n" . join "\t", $module, $arch, "/opt/$module/bin/perl", $file, $supported;
    }
    my $junit = join "\n", '<testsuite>',
        (map { qq{<testcase name="$_->[0]" time="1" status="$_->[1]"></testcase>} } @$tests), '</testsuite>';
    my $out = `"$^X" "$root/tools/summary.pl" "$root/data/configurations.tsv" "${\ write_file("$manifest\n")}" "${\ write_file($junit)}"`;
    is($?, 0, 'summary.pl runs') or diag($out);
    return $out;
}

my @passing_host = ([ 'x86_64/perlplotrune536i64mt/a.t', 'run' ], [ 'x86_64/perlplotrune536i64mt/b.t', 'run' ],
                    [ 'install/tree', 'run' ]);
my @cases = (
    {
        what   => 'a build beyond the supported set alone',
        builds => [ [ 'perlplotrune536i64mt', 'x86_64', 0, 1 ] ],
        tests  => \@passing_host,
        rows   => 0,
        has    => [ qr/^perlplotrune536i64mt .* 2\/2 +passed \(beyond the supported set\)$/m,
                    qr/^No perl of the supported set .* none of its 24 configurations ran here\.$/m,
                    qr/^  \.\/test\.sh PERL \.\.\.$/m ],
        last   => '3 passed, 0 failed: the tests of 1 build, 0 of the 24 supported configurations among them.',
    },
    {
        what   => 'one supported configuration beside it',
        builds => [ [ 'perlplotrune536i64mt', 'x86_64', 0, 1 ], [ 'perlplotrune512', 'i386', 1, 1 ] ],
        tests  => [ @passing_host, [ 'i386/perlplotrune512/a.t', 'run' ] ],
        rows   => 23,
        has    => [ qr/^1 of the 24 supported configurations had a perl; 1 of them passed\.$/m,
                    qr/^To test the others/m ],
        last   => '4 passed, 0 failed: the tests of 2 builds, 1 of the 24 supported configurations among them.',
    },
    {
        what   => 'a failed test and a build that was not made',
        builds => [ [ 'perlplotrune536i64mt', 'x86_64', 0, 1 ], [ 'perlplotrune514', 'i386', 1, 0 ] ],
        tests  => [ [ 'x86_64/perlplotrune536i64mt/a.t', 'run' ], [ 'x86_64/perlplotrune536i64mt/b.t', 'fail' ] ],
        rows   => 23,
        has    => [ qr/FAILED: b\.t/, qr/^perlplotrune514 .* no +- +not built$/m,
                    qr/^Failed: perlplotrune536i64mt \(x86_64, beyond\), perlplotrune514$/m ],
        last   => '1 passed, 2 failed: the tests of 2 builds, 1 of the 24 supported configurations among them.',
    },
);
for my $case (@cases) {
    my $out = run_summary($case->{builds}, $case->{tests});
    my @empty = $out =~ /\(no perl given\)/g;
    is(scalar @empty, $case->{rows}, "$case->{what}: $case->{rows} rows for configurations without a perl");
    like($out, $_, "$case->{what}: says $_") for @{ $case->{has} };
    my ($last) = $out =~ /([^\n]*)\n\z/;
    is($last, $case->{last}, "$case->{what}: the last line counts the tests");
}

done_testing();
