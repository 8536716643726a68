#!/usr/bin/perl
# A short tour of the module through the stand-in engine, as a Perl program
# uses it: PlotRune loads the build made for this perl from wherever it is
# installed.  Usage: perl -I DIR/lib/perl5 demo/demo.pl   (./demo.sh installs
# into build/demo-tree and runs it)
use strict;
use warnings;
use PlotRune;

printf "Loaded %s %d.%d from %s\n%s\n\n", PlotRune::id(), PlotRune::major_ver(), PlotRune::minor_ver(),
    $INC{ PlotRune->module . '.pm' }, PlotRune::copyright();

sub show {
    my ($what, @args) = @_;
    my $shown = join ', ', map { defined $_ ? (ref $_ ? '[' . join(', ', @$_) . ']' : "'$_'") : 'undef' } @args;
    my $result = eval { PlotRune::callMethod(@args) };
    if (!defined $result && $@) {
        (my $error = $@) =~ s/\n\z//;
        printf "%-42s callMethod(%s)\n%-42s   died: %s\n", $what, $shown, '', $error;
        return;
    }
    my $out = ref $result eq 'ARRAY' ? '[' . join(', ', @$result) . ']' : "'$result'";
    $out =~ s/([^\x20-\x7e])/sprintf '\\x%02x', ord $1/ge;
    printf "%-42s callMethod(%s)\n%-42s   gave: %s\n", $what, $shown, '', $out;
}

show('A number, read and made again', 'num', 3.25);
show('Near a sentinel: moved onto it', 'getDouble', '1.7000001e308');
show('An integer, as the engine sees it', 'getInt', -42);
show('Truth of "0.0" (a true string)', 'getBool', '0.0');
show('Text of an undefined value', 'getString', undef);
show('An array of numbers, made again', 'newDoubleArray', [ 1.5, 2, 3e10 ]);
show('The sum of an array, read in one call', 'sumArray', [ 1 .. 10 ]);
show('Bytes with a NUL inside (hex 41 00 42)', 'newBinaryHex', '410042');
show('An engine failure, caught with eval', 'fail', 'the engine refused: 100% sure');
