# Which perls a build fits: those of the binary interface it was compiled
# for, whatever their archname, point release or hardening flags; any other
# is refused with a message that names each difference.  And which perls
# are of the supported set: the 24 names with their standard interface.

use strict;
use warnings;
use Test::More;
use Config;
use PlotruneTest;

build_rules();    # puts the rules, and so PlotRune::Configuration, in reach
my $M = build()->{module};
my %this = %Config;
my $built = PlotRune::Configuration::interface(\%this);
my ($series) = $Config{version} =~ /^(5\.\d+)\./;
my ($point) = $Config{version} =~ /\.(\d+)\z/;
my ($cpu_word, $rest) = $Config{archname} =~ /^([^-]+)(.*)\z/;
my $other_series = $series eq '5.22' ? '5.20' : '5.22';
my $yes = sub { ($_[0] || '') eq 'define' ? undef : 'define' };

# Name of the case, the change to this perl's Config, what the refusal
# says of this perl (undef: it fits).
my @cases = (
    [ 'another point release',             { version => "$series." . ($point + 7) }, undef ],
    [ 'another archname',                  { archname => ($cpu_word =~ /^i[3-6]86\z/ ? 'i586' : $cpu_word) . '-linux-gnu-other' }, undef ],
    [ "a distribution's hardening flags",  { ccflags => "$Config{ccflags} -D_FORTIFY_SOURCE=2 -fstack-protector-strong -D_GNU_SOURCE -fexceptions" }, undef ],
    [ 'another prefix and a shared libperl', { installprefix => '/opt/elsewhere', useshrplib => 'true', libperl => 'libperl.so' }, undef ],
    [ 'another Perl series',               { version => "$other_series.1" }, "Perl $other_series" ],
    [ 'threads the other way',             { useithreads => $yes->($Config{useithreads}) },
      ($Config{useithreads} || '') eq 'define' ? 'no interpreter threads' : 'interpreter threads' ],
    [ 'multiplicity the other way',        { usemultiplicity => $yes->($Config{usemultiplicity}) },
      ($Config{usemultiplicity} || '') eq 'define' ? 'no multiplicity' : 'multiplicity' ],
    [ 'another IV size',                   { ivsize => 12 - $Config{ivsize} }, ($Config{ivsize} == 4 ? 'an 8' : 'a 4') . '-byte IV' ],
    [ 'a long double NV',                  { nvsize => 16, nvtype => 'long double' }, 'a 16-byte NV (long double)' ],
    [ 'another pointer size',              { ptrsize => 12 - $Config{ptrsize} }, (12 - $Config{ptrsize}) . '-byte pointers' ],
    [ 'no large-file support',             { uselargefiles => undef }, 'no large-file support' ],
    [ 'another alignment',                 { alignbytes => 16 }, '16-byte alignment' ],
    [ 'a DEBUGGING perl',                  { ccflags => "$Config{ccflags} -DDEBUGGING" }, '-DDEBUGGING' ],
    [ 'another processor',                 { archname => "sparc64$rest" }, 'the sparc64 processor' ],
);
# A perl without large-file support has none to lose.
$_->[2] = undef for grep { $_->[0] eq 'no large-file support' && !$Config{uselargefiles} } @cases;
for my $case (@cases) {
    my ($what, $change, $says) = @$case;
    my $why = PlotRune::Configuration::misfit($built, { %this, %$change });
    if (!defined $says) {
        is($why, '', "$M: a perl with $what fits");
    } else {
        # (x86_64 with 4-byte pointers is another processor too: x32)
        like($why, qr/(?:^|; )built for [^;]*, this perl has \Q$says\E(?:;|\z)/, "$M: a perl with $what is refused, naming the difference");
    }
}
{
    my $why = PlotRune::Configuration::misfit($built, { %this, ivsize => 12 - $Config{ivsize}, nvsize => 16, nvtype => 'long double' });
    is(scalar(() = $why =~ /built for/g), 2, "$M: two differences are both named");
    my $i = PlotRune::Configuration::interface_text($built);
    is_deeply(PlotRune::Configuration::parse_interface($i), $built, "$M: the interface reads back from its one line: $i");
}

# The supported set, from a reference 32-bit perl of each kind.
my %reference = (version => '5.16.3', archname => 'i686-linux-thread-multi', useithreads => 'define',
                 usemultiplicity => 'define', ivsize => 4, nvsize => 8, nvtype => 'double', ptrsize => 4,
                 uselargefiles => 'define', alignbytes => 4, ccflags => '-D_REENTRANT -D_GNU_SOURCE -fwrapv');
my @set = (
    [ 'the reference 5.16 with threads',       {}, 1 ],
    [ 'the same as a distribution builds it',  { archname => 'i386-linux-thread-multi', version => '5.16.1',
                                                 ccflags => "$reference{ccflags} -D_FORTIFY_SOURCE=2 -fstack-protector-strong" }, 1 ],
    [ 'without threads and with a 64-bit IV',  { useithreads => undef, usemultiplicity => undef, ivsize => 8 }, 1 ],
    [ 'a long double NV',                      { nvsize => 12, nvtype => 'long double' }, 0 ],
    [ 'multiplicity without threads',          { useithreads => undef }, 0 ],
    [ 'no large-file support',                 { uselargefiles => undef }, 0 ],
    [ 'DEBUGGING',                             { ccflags => '-DDEBUGGING' }, 0 ],
    [ 'Perl 5.24',                             { version => '5.24.0' }, 0 ],
    [ 'Perl 5.10',                             { version => '5.10.1' }, undef ],
    [ '64-bit pointers',                       { ptrsize => 8, archname => 'x86_64-linux-thread-multi', alignbytes => 8 }, 0 ],
);
for my $case (@set) {
    my ($what, $change, $supported) = @$case;
    my $got = eval { PlotRune::Configuration::supported({ %reference, %$change }) };
    if (defined $supported) {
        is($got, $supported, "a perl of $what is " . ($supported ? '' : 'not ') . 'in the supported set');
    } else {
        like($@, qr/older than 5\.12/, "a perl of $what is refused as too old");
    }
}

done_testing();
