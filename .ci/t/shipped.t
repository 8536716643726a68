# The shipped archive, unpacked anywhere, under any perl: given only
# -I<unpacked>/lib/perl5, a perl of a supported shape loads the build of its
# binary interface, whatever its archname or point release, and it works
# through PlotRune; a perl of another interface is refused with one message
# that names the difference, before anything is loaded.
# Run by .ci/shipped-archive.sh: PLOTRUNE_SHIPPED is the unpacked lib/perl5.

use strict;
use warnings;
use Test::More;
use Config;
use File::Spec;

my $lib = $ENV{PLOTRUNE_SHIPPED} or plan skip_all => 'PLOTRUNE_SHIPPED is not set: no archive to try';
my $root = File::Spec->rel2abs(File::Spec->catdir((File::Spec->splitpath(__FILE__))[1], File::Spec->updir,
                                                   File::Spec->updir));
unshift @INC, "$root/lib", "$root/t/lib";
require PlotRune::Configuration;
require PlotruneTest;
PlotruneTest->import('in_child');
my $M = PlotRune::Configuration::module_name(\%Config);
my $cpu = PlotRune::Configuration::cpu(\%Config);
my $supported = PlotRune::Configuration::supported(\%Config);
my $who = "$^X ($M, $Config{archname})";

# A plain program: only -I into the archive, nothing of the environment.
sub plain {
    my ($code) = @_;
    return in_child(plain => 1, switches => ["-I$lib"], code => $code,
                    unset => [qw(PERL5LIB PERL5OPT LD_LIBRARY_PATH LD_PRELOAD)]);
}

my $behaviour = q{
    use PlotRune qw(callMethod id major_ver minor_ver);
    my @r = (id(), major_ver() . "." . minor_ver(), callMethod("num", 2.5), callMethod("sumArray", [1 .. 10]),
             join(",", @{ callMethod("newDoubleArray", [1.5, -2]) }), unpack("H*", callMethod("newBinaryHex", "410042")),
             callMethod("newString", "text"), eval { callMethod("fail", "no such thing") } ? "lived" : $@,
             $INC{ PlotRune->module . ".pm" });
    print join("|", @r);
};
$behaviour =~ s/\n\s*/ /g;
my ($status, $out, $err) = plain($behaviour);

if ($supported) {
    is($status, 0, "$who: loads its build from the archive with only -I") or diag($err);
    my @got = split /\|/, $out, -1;
    is_deeply([ @got[0 .. 7] ], [ $M, '5.1', '2.5', '55', '1.5,-2', '410042', 'text', "no such thing\n" ],
              "$who: the build reaches the engine: numbers, arrays, bytes, texts and a failure as a Perl error");
    is($got[8], "$lib/PlotRune/$cpu/$M.pm", "$who: from the $cpu folder, whatever the archname of the perl that built it");
} else {
    my $name_known = -f "$lib/PlotRune/$cpu/$M.pm";
    isnt($status, 0, "$who: a perl beyond the supported set does not load a shipped build");
    if ($name_known) {
        # Shipped builds have their name's standard interface.
        my $why = PlotRune::Configuration::misfit(PlotRune::Configuration::standard_interface(\%Config), \%Config);
        like($err, qr/\APlotRune: no build for this perl: it wants \Q$M\E .*the ones in \@INC do not fit:\n  \Q$lib\E\/PlotRune\/\Q$cpu\/$M\E\.pm: \Q$why\E\n/,
             "$who: the build of its name is refused, with a message that names the difference") or diag($err);
    } else {
        # The archive holds builds of both tiers: whatever the series, some
        # are near (this name elsewhere, this series, or the closest series).
        like($err, qr/\APlotRune: no build for this perl: it wants \Q$M\E .*which is not installed in \@INC\.\nBuilds near it in \@INC: perlplotrune5\d\d\w* \(\Q$lib\E\/PlotRune\/\w+\)/,
             "$who: no build of its name ships: the message says so and names the nearest builds") or diag($err);
    }
    like($err, qr/^Build one for this perl from the perlplotrune sources: perl Makefile\.PL && make && make test && make install$/m,
         "$who: and how to build one from source");
}

done_testing();
