# The test command's closing report (tools/summary.pl): what ran comes
# first, the supported configurations only as a table once a perl of the set
# was given (one line naming each that had none), and the last line counts the tests that passed and failed, a
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

# Debian's i386 5.36 is beyond the supported set; the same name on x86_64
# is in its second tier.
my @passing_beyond = ([ 'i386/perlplotrune536i64mt/a.t', 'run' ], [ 'i386/perlplotrune536i64mt/b.t', 'run' ],
                      [ 'install/tree', 'run' ]);
my @cases = (
    {
        what   => 'a build beyond the supported set alone',
        builds => [ [ 'perlplotrune536i64mt', 'i386', 0, 1 ] ],
        tests  => \@passing_beyond,
        rows   => 0,
        has    => [ qr/^perlplotrune536i64mt .* 2\/2 +passed \(beyond the supported set\)$/m,
                    qr/^No perl of the supported set .* none of its 64 configurations ran here\.$/m,
                    qr/^  \.\/test\.sh PERL \.\.\.$/m ],
        last   => '3 passed, 0 failed: the tests of 1 build, 0 of the 64 supported configurations among them.',
    },
    {
        what   => 'one supported configuration beside it',
        builds => [ [ 'perlplotrune536i64mt', 'i386', 0, 1 ], [ 'perlplotrune512', 'i386', 1, 1 ] ],
        tests  => [ @passing_beyond, [ 'i386/perlplotrune512/a.t', 'run' ] ],
        rows   => 63,
        has    => [ qr/^1 of the 64 supported configurations were tested; 1 of them passed \(tier 1: 1 of 24 tested, 1 passed; tier 2: 0 of 20 tested, 0 passed; tier 3: 0 of 20 tested, 0 passed\)\.$/m,
                    qr/^The supported configurations of tier 1 \(Perl 5\.12 to 5\.22 on 32-bit x86\):$/m,
                    qr/^The supported configurations of tier 2 \(Perl 5\.24 to 5\.42 on x86_64\):$/m,
                    qr/^The supported configurations of tier 3 \(Perl 5\.24 to 5\.42 on aarch64\):$/m,
                    qr/^To test the others/m ],
        last   => '4 passed, 0 failed: the tests of 2 builds, 1 of the 64 supported configurations among them.',
    },
    {
        what   => 'one name on two processors, supported on one',
        builds => [ [ 'perlplotrune536i64mt', 'i386', 0, 1 ], [ 'perlplotrune536i64mt', 'x86_64', 1, 1 ] ],
        tests  => [ @passing_beyond, [ 'x86_64/perlplotrune536i64mt/a.t', 'run' ] ],
        rows   => 63,
        has    => [ qr/tier 1: 0 of 24 tested, 0 passed; tier 2: 1 of 20 tested, 1 passed/,
                    qr/^perlplotrune536i64mt +x86_64 +\S+ +yes +1\/1 +passed$/m ],
        last   => '4 passed, 0 failed: the tests of 2 builds, 1 of the 64 supported configurations among them.',
    },
    {
        # A test that did not run counts as failed; one disabled, not at all.
        what   => 'a failed test, one that did not run and a build that was not made',
        builds => [ [ 'perlplotrune536i64mt', 'i386', 0, 1 ], [ 'perlplotrune514', 'i386', 1, 0 ] ],
        tests  => [ [ 'i386/perlplotrune536i64mt/a.t', 'run' ], [ 'i386/perlplotrune536i64mt/b.t', 'fail' ],
                    [ 'install/package', 'notrun' ], [ 'i386/perlplotrune536i64mt/c.t', 'disabled' ] ],
        rows   => 63,
        has    => [ qr/FAILED: b\.t/, qr/^perlplotrune514 .* no +- +not built$/m,
                    qr/^Failed: perlplotrune536i64mt \(i386, beyond\), perlplotrune514$/m ],
        last   => '1 passed, 3 failed: the tests of 2 builds, 1 of the 64 supported configurations among them.',
    },
);
for my $case (@cases) {
    my $out = run_summary($case->{builds}, $case->{tests});
    my @empty = $out =~ /^  not tested, no perl given: perlplotrune\w+ on \w+$/mg;
    is(scalar @empty, $case->{rows}, "$case->{what}: $case->{rows} lines for configurations without a perl");
    like($out, $_, "$case->{what}: says $_") for @{ $case->{has} };
    my ($last) = $out =~ /([^\n]*)\n\z/;
    is($last, $case->{last}, "$case->{what}: the last line counts the tests");
}

done_testing();
