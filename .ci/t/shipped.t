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
unshift @INC, "$root/lib", "$root/t/lib", "$root/inc";
require PlotRune::Configuration;
require PlotruneTest;
PlotruneTest->import('in_child');
my $M = PlotRune::Configuration::module_name(\%Config);
my $cpu = PlotRune::Configuration::cpu(\%Config);
my $supported = PlotRune::Configuration::supported(\%Config);
my $who = "$^X ($M, $Config{archname})";

# A plain program: only -I into the archive, nothing of the environment.
sub plain {
    my ($code, @args) = @_;
    return in_child(plain => 1, switches => ["-I$lib"], code => $code, args => \@args,
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

# The shipped build of this perl's name against this perl: the layout its
# module was built with, and this perl's, measured by the same probe against
# this perl's headers.  Where the rule lets the build in, the two must be
# the same; where the rule refuses it, it stays refused however it is
# loaded: its own .pm by name, or its module file through DynaLoader, past
# every check of ours, where from 5.22 on Perl's own handshake refuses a
# module of another interpreter size.
SKIP: {
    my $pm = "$lib/PlotRune/$cpu/$M.pm";
    skip "no $M ships for $cpu", 3 unless -f $pm;
    require PlotruneBuild::Rules;
    my $text = PlotruneTest::slurp($pm);
    my ($interface) = $text =~ /^our \$INTERFACE = '([^']*)';/m;
    my ($shipped) = $text =~ /^our \$LAYOUT = '([^']*)';/m;
    my $p = PlotruneBuild::Rules::probe(\%Config);
    my $here = PlotruneBuild::Rules::measure($p);
    my $why = PlotRune::Configuration::misfit(PlotRune::Configuration::parse_interface($interface), \%Config);
    ok($why ne '' || $here eq $shipped, "$who: the rule lets in the shipped $M only with its layout")
        or diag("shipped: $shipped\nhere:    $here");
    skip "the shipped $M fits $who", 2 if $why eq '';
    my ($status, $out, $err) = plain('require $ARGV[0]; print "loaded\n"', $pm);
    like($err, qr/\A\Q$M does not fit this perl: $why\E: not loaded\n/,
         "$who: the shipped $M.pm loaded by itself refuses, naming the difference") or diag($err);
    my %built = map { split /=/ } split ' ', $shipped;
    my %this = map { split /=/ } split ' ', $here;
    skip "Perl $Config{version} has no handshake at boot", 1 if $] < 5.022;
    skip "the interpreter of $M has the size of this perl's", 1
        if ($built{interpreter} || 0) == ($this{interpreter} || 0);
    (my $so = $pm) =~ s/\.pm\z/.so/;
    ($status, $out, $err) = plain('require DynaLoader; my ($so, $m) = @ARGV;'
        . ' my $h = DynaLoader::dl_load_file($so, 0) or die DynaLoader::dl_error();'
        . ' my $boot = DynaLoader::dl_find_symbol($h, "boot_$m") or die DynaLoader::dl_error();'
        . ' DynaLoader::dl_install_xsub("${m}::bootstrap", $boot, $so)->($m); print "booted\n"', $so, $M);
    like($err, qr/loadable library and perl binaries are mismatched/,
         "$who: the shipped $M.so loaded by DynaLoader is refused by Perl's handshake "
         . '(interpreter of ' . ($built{interpreter} || 'none') . ' bytes, this perl\'s ' . ($this{interpreter} || 'none') . ')')
        or diag("$out$err");
}

done_testing();
