#!/usr/bin/perl
# A short tour of the module through the stand-in engine: loads the build
# made for this perl, makes a few calls, and prints what went in and what
# came back.  Usage: perl demo/demo.pl [build/modules.tsv]
use strict;
use warnings;
use Config;
use DynaLoader ();

my $manifest = shift || 'build/modules.tsv';
open my $fh, '<', $manifest or die "cannot read $manifest: $! (build first: ./demo.sh)\n";
chomp(my $header = <$fh>);
my @columns = split /\t/, $header;
my $arch = $Config{ptrsize} == 8 ? 'x86_64' : 'i386';
my ($row) = grep { $_->{arch} eq $arch && $_->{perl} eq $^X }
            map { chomp; my %r; @r{@columns} = split /\t/; \%r } <$fh>;
die "no module in $manifest was built for $^X\n" unless $row;
my $M = $row->{module};

# What a Perl program's loader does: open the file, run its boot.
my $lib = DynaLoader::dl_load_file($row->{module_file}, 0) or die DynaLoader::dl_error();
my $boot = DynaLoader::dl_find_symbol($lib, "boot_$M") or die DynaLoader::dl_error();
DynaLoader::dl_install_xsub("${M}::bootstrap", $boot, $row->{module_file})->($M);

no strict 'refs';
my $call = \&{"${M}::callMethod"};
printf "Loaded %s %d.%d from %s\n%s\n\n", &{"${M}::id"}(), &{"${M}::major_ver"}(),
    &{"${M}::minor_ver"}(), $row->{module_file}, &{"${M}::copyright"}();

sub show {
    my ($what, @args) = @_;
    my $shown = join ', ', map { defined $_ ? (ref $_ ? '[' . join(', ', @$_) . ']' : "'$_'") : 'undef' } @args;
    my $result = eval { $call->(@args) };
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
