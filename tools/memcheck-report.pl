#!/usr/bin/perl
# Reads the valgrind logs tools/memcheck.sh wrote (one per process) for the
# builds of a module table (modules.tsv) and says what they hold.  Exit status 1 when any process had a memory error, died of
# a signal, or lost a block that the module or the stand-in engine
# allocated; perl's own leaks are counted and shown, not failed.
#
# With --direct (for a perl that keeps its heap at exit whatever
# PERL_DESTRUCT_LEVEL says, as the old 32-bit perls here do), every
# scalar and glob perl made is still unfreed at exit, those made on the
# module's behalf included: only blocks that the module or the engine took
# from the allocator itself count as theirs then.
use strict;
use warnings;
use File::Basename qw(basename dirname);
use lib dirname(__FILE__) . '/../t/lib';
use PlotruneTestFolder ();

my $direct = @ARGV && $ARGV[0] eq '--direct' ? shift @ARGV : '';
my ($dir, $modules) = @ARGV;
die "usage: $0 [--direct] LOG-FOLDER MODULES.TSV\n" unless defined $modules;
opendir my $dh, $dir or die "memcheck-report: cannot read $dir: $!\n";
my @logs = sort grep { /\.log\z/ } readdir $dh;
closedir $dh;

# Our code, as valgrind names it in a stack: the sources of the module and
# the test engines, and the files the build made of them.
my $ours = join '|', map { quotemeta } 'perlapi.cpp', map({ $_->{source} } PlotruneTestFolder::test_engines({ checked => 1 })),
    map { basename($_) } grep { $_ } map { @$_{qw(module_file engine_file)} } PlotruneTestFolder::read_table($modules);
$ours = qr/$ours/;
my $error_start = qr/^(?:Invalid (?:read|write|free)|Conditional jump|Use of uninitialised|Syscall param|Source and destination overlap|Mismatched free|Argument '\w+' of function|Process terminating)/;

my (%count, @bad, @foreign);
for my $log (@logs) {
    open my $fh, '<', "$dir/$log" or die "memcheck-report: $log: $!\n";
    my @blocks = ([]);
    my $summary = 0;
    while (my $line = <$fh>) {
        $line =~ s/^==\d+== ?// or next;
        chomp $line;
        $summary = 1 if $line =~ /^ERROR SUMMARY:/;
        if ($line eq '') { push @blocks, [] if @{ $blocks[-1] }; next }
        push @{ $blocks[-1] }, $line;
    }
    close $fh;
    $count{processes}++;
    # A process that valgrind itself started (the first line names perl) but
    # that never reached its summary was killed or crashed.
    push @bad, "$log: ended without an error summary (killed or crashed?)" unless $summary;
    for my $block (@blocks) {
        next unless @$block;
        my $head = $block->[0];
        my $text = join "\n", @$block;
        if ($head =~ /^Process terminating with default action of signal 6/ && $text =~ /\babortOffCall\b/) {
            # The checked build's abort for a routine called with no call
            # running on its thread, which t/checked.t provokes on purpose.
            $count{checked_aborts}++;
        } elsif ($head =~ $error_start) {
            $count{errors}++;
            push @bad, "$log:\n$text";
        } elsif ($head =~ /^([\d,]+) bytes in ([\d,]+) blocks are (definitely|indirectly) lost/) {
            (my $bytes = $1) =~ tr/,//d;
            # The frame that called the allocator: the line after "at ...".
            my $caller = $block->[2] || '';
            if ($direct ? $caller =~ $ours : $text =~ $ours) {
                $count{our_leaks} += $bytes;
                push @bad, "$log:\n$text";
            } else {
                $count{perl_leaks} += $bytes;
                push @foreign, "$log:\n$text";
            }
        }
    }
}

printf "memcheck: %d process(es) checked, %d memory error(s), %d byte(s) lost by the module or engine, %d byte(s) lost by perl itself\n",
    $count{processes} || 0, $count{errors} || 0, $count{our_leaks} || 0, $count{perl_leaks} || 0;
print "memcheck: $count{checked_aborts} process(es) aborted by the checked build, as their test meant\n"
    if $count{checked_aborts};
print "memcheck: perl's own losses (not failed):\n", map { "$_\n\n" } @foreign if @foreign && $ENV{PLOTRUNE_MEMCHECK_VERBOSE};
if (@bad) {
    print "memcheck: FAILED\n", map { "$_\n\n" } @bad;
    exit 1;
}
exit 0 if $count{processes};
print "memcheck: no log found in $dir\n";
exit 1;
