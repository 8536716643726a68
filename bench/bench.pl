#!/usr/bin/perl
# bench.pl - figures for the module under the perl that runs it, measured in
# one run and printed side by side with anchors from the same run: call
# overhead, conversion throughput, heap allocations per call, and (under
# valgrind's callgrind) instructions per call.
#
# Run it through bench/run.sh, which builds the module, installs it into a
# tree with the stand-in engine (PLOTRUNE_BENCH_TREE: the build is loaded
# from there through PlotRune, as a Perl program loads it) and sets the
# environment PlotruneTest reads (PLOTRUNE_MODULES, a table of one row) and the
# allocation counter's path (PLOTRUNE_MALLOC_COUNT).
#
# Options: --reps N (repetitions per figure, default 9), --no-callgrind,
# --no-allocs.  Internal: --alloc-child, --loop CASE N with|without.
#
# With PLOTRUNE_BENCH_CHECKED_MODULES (the module table of a checked build of
# the same module, which bench/run.sh --checked makes), the callgrind
# figures are measured for the checked build too, and what its checks cost
# per call and per array element is printed beside the normal build's.
#
# Under user-mode emulation of i386 (PLOTRUNE_BENCH_EMULATED says by what:
# bench/run.sh sets it) every time is labelled as emulated, and there are
# no instruction counts: valgrind cannot run i386 code that qemu runs.
#
# Every time figure is CPU time of this process: the difference between a loop
# with the operation and the same loop without it, divided by the iteration
# count; min and median over the repetitions.

use strict;
use warnings;

use Config;
use File::Temp ();
use List::Util qw(sum0);
use Scalar::Util qw(looks_like_number);
use Time::HiRes qw(clock_gettime CLOCK_PROCESS_CPUTIME_ID);
use PlotruneTest;

my %opt = (reps => 9, callgrind => 1, allocs => 1);
my @loop;
while (@ARGV) {
    my $a = shift @ARGV;
    if    ($a eq '--reps')         { $opt{reps} = shift @ARGV }
    elsif ($a eq '--no-callgrind') { $opt{callgrind} = 0 }
    elsif ($a eq '--no-allocs')    { $opt{allocs} = 0 }
    elsif ($a eq '--alloc-child')  { $opt{alloc_child} = 1 }
    elsif ($a eq '--loop')         { @loop = splice @ARGV, 0, 3 }
    else                           { die "unknown option $a\n" }
}

# Through PlotRune from the installed tree when there is one: its subs are
# the build's own, so the two call rows below run the same sub.
my $M;
if ($ENV{PLOTRUNE_BENCH_TREE}) {
    require lib;
    lib->import("$ENV{PLOTRUNE_BENCH_TREE}/lib/perl5");
    require PlotRune;
    PlotRune->import;
    $M = PlotRune->module;
} else {
    $M = load();
}

# A pure-Perl anchor: a sub that returns its argument.
sub ident { return $_[0] }

# FFI::Platypus calling libm's fabs with one argument, attached as a sub (its
# fastest calling form).
my $ffi_error = '';
sub ffi_setup {
    return 1 if defined &main::ffi_fabs;
    my $ok = eval {
        require FFI::Platypus;
        my $ffi = FFI::Platypus->new(api => 1);
        $ffi->lib(undef); # perl itself links libm: fabs is found in the process
        $ffi->attach([ fabs => 'main::ffi_fabs' ] => ['double'] => 'double');
        1;
    };
    $ffi_error = $@ unless $ok;
    return $ok;
}

# ------------------------------------------------------------ the arrays

# Plain arrays of each kind and size, built once: numbers with only a
# cached NV, integers with only an IV, texts with only a PV.
our (%D, %I, %S);
sub arrays {
    my ($size) = @_;
    no strict 'refs';
    unless ($D{$size}) {
        @{"main::D$size"} = map { $_ + 0.5 } 1 .. $size;
        @{"main::I$size"} = map { $_ * 1 } 1 .. $size;
        @{"main::S$size"} = map { "t$_" } 1 .. $size;
        $D{$size} = $I{$size} = $S{$size} = 1;
    }
}

# ------------------------------------------------------------ the loops

# A sub running BODY n times after SETUP, returning the change of METER
# (an expression: a clock, or the allocation counter) over the loop.
sub make_loop {
    my ($setup, $body, $meter) = @_;
    my $code = "package main; no warnings; sub { my \$n = shift; $setup; my \$m0 = $meter; "
             . "for my \$i (1 .. \$n) { $body; } return $meter - \$m0; }";
    my $sub = eval $code or die "bench loop does not compile: $@\n$code\n";
    return $sub;
}

my $CLOCK = 'Time::HiRes::clock_gettime(Time::HiRes::CLOCK_PROCESS_CPUTIME_ID())';

sub args_list { my ($method, $n) = @_; join ', ', "'$method'", ('$x') x $n }

sub median {
    my @s = sort { $a <=> $b } @_;
    return @s % 2 ? $s[$#s / 2] : ($s[@s / 2 - 1] + $s[@s / 2]) / 2;
}

# Seconds per operation: (min, median) over the repetitions.
sub time_per_op {
    my ($setup, $body, $target) = @_;
    $target ||= 0.05;
    my $with = make_loop($setup, $body, $CLOCK);
    my $without = make_loop($setup, '', $CLOCK);
    my $n = 1;
    while (1) {
        my $t = $with->($n);
        last if $t > $target / 4;
        $n *= 4;
    }
    $n = int($n * $target / ($with->($n) || 1e-9)) || 1;
    $n = 1 if $n < 1;
    my @per;
    for (1 .. $opt{reps}) {
        my $t_without = $without->($n);
        my $t_with = $with->($n);
        push @per, ($t_with - $t_without) / $n;
    }
    my @s = sort { $a <=> $b } @per;
    return ($s[0], median(@per));
}

# ------------------------------------------------------------ the cases

my $X = "my \$x = 1.5";

my @call_cases;
push @call_cases, [ "callMethod('nop', $_ args)", $X, "${M}::callMethod(" . args_list('nop', $_) . ")" ]
    for 0, 1, 4, 16;
push @call_cases, [ "callMethod('num', 1 args)", $X, "${M}::callMethod(" . args_list('num', 1) . ")" ],
    [ "PlotRune::callMethod('num', 1 args)", $X, "PlotRune::callMethod(" . args_list('num', 1) . ")" ];
push @call_cases, [ "callMethod('num', $_ args)", $X, "${M}::callMethod(" . args_list('num', $_) . ")" ]
    for 4, 16;
my $XSUB = 'Scalar::Util::looks_like_number($x)';
push @call_cases,
    [ 'anchor: looks_like_number($x) (XSUB)', $X, $XSUB ],
    [ 'anchor: pure-Perl sub returning $_[0]', $X, 'main::ident($x)' ],
    [ 'anchor: FFI::Platypus fabs($x)', $X, 'main::ffi_fabs($x)' ];

my @sizes = (10, 1_000, 1_000_000);
sub conversion_cases {
    my @c;
    for my $size (@sizes) {
        push @c,
            [ 'getDoubleArray (countDoubleArray)', $size, "${M}::callMethod('countDoubleArray', \\\@main::D$size)" ],
            [ 'getDoubleArray and sum (sumArray)', $size, "${M}::callMethod('sumArray', \\\@main::D$size)" ],
            [ 'getIntArray (countIntArray)', $size, "${M}::callMethod('countIntArray', \\\@main::I$size)" ],
            [ 'getStringArray (countStringArray)', $size, "${M}::callMethod('countStringArray', \\\@main::S$size)" ],
            [ 'newDoubleArray (after its read)', $size, "${M}::callMethod('newDoubleArray', \\\@main::D$size)" ],
            [ 'anchor: List::Util::sum0', $size, "List::Util::sum0(\@main::D$size)" ];
    }
    return @c;
}

# Arguments after the method name; the call's own argument count is one more.
my @alloc_cases = (
    [ 'nop', 0 ], [ 'nop', 4 ], [ 'nop', 15 ], [ 'nop', 16 ], [ 'nop', 64 ], [ 'num', 1 ], [ 'num', 16 ],
);

# The callgrind comparisons: each runs the same script with and without the
# operation in its loop.
my %loop_cases = (
    num     => [ $X, "${M}::callMethod('num', \$x)", 200_000, 1 ],
    lln     => [ $X, $XSUB, 200_000, 1 ],
    getDoubleArray => [ 'main::arrays(1000000)', "${M}::callMethod('countDoubleArray', \\\@main::D1000000)", 10, 1_000_000 ],
    sumArray => [ 'main::arrays(1000000)', "${M}::callMethod('sumArray', \\\@main::D1000000)", 10, 1_000_000 ],
    getIntArray => [ 'main::arrays(1000000)', "${M}::callMethod('countIntArray', \\\@main::I1000000)", 10, 1_000_000 ],
    getStringArray => [ 'main::arrays(1000000)', "${M}::callMethod('countStringArray', \\\@main::S1000000)", 10, 1_000_000 ],
    sum0    => [ 'main::arrays(1000000)', 'List::Util::sum0(@main::D1000000)', 10, 1_000_000 ],
);

# ------------------------------------------------------------ child modes

if (@loop) {
    my ($case, $n, $which) = @loop;
    my $c = $loop_cases{$case} or die "no loop case $case\n";
    make_loop($c->[0], $which eq 'with' ? $c->[1] : '', '0')->($n);
    exit 0;
}

if ($opt{alloc_child}) {
    require FFI::Platypus;
    my $ffi = FFI::Platypus->new(api => 1);
    $ffi->lib($ENV{PLOTRUNE_MALLOC_COUNT});
    $ffi->attach([ plotrune_bench_allocations => 'main::allocs' ] => [] => 'uint64');
    my $n = 10_000;
    for my $case (@alloc_cases) {
        my ($method, $args) = @$case;
        my $loop = make_loop($X, "${M}::callMethod(" . args_list($method, $args) . ")", 'main::allocs()');
        $loop->($n); # the stack and the arenas have grown to what the loop needs
        my $none = $loop->(0);
        my $some = $loop->($n);
        printf "%s\t%d\t%.4f\n", $method, $args, ($some - $none) / $n;
    }
    exit 0;
}

# ------------------------------------------------------------ the report

sub ns { sprintf '%.1f', $_[0] * 1e9 }
sub rate {
    my $r = shift;
    return $r >= 1e9 ? sprintf('%.2fG', $r / 1e9) : $r >= 1e6 ? sprintf('%.1fM', $r / 1e6) : sprintf('%.0fk', $r / 1e3);
}

sub table {
    my ($head, @rows) = @_;
    my @w = map { length } @$head;
    for my $r (@rows) { $w[$_] = length $r->[$_] > $w[$_] ? length $r->[$_] : $w[$_] for 0 .. $#$r }
    my $fmt = join('  ', "%-$w[0]s", map { "%$_" . 's' } @w[1 .. $#w]) . "\n";
    printf $fmt, @$head;
    printf $fmt, map { '-' x $_ } @w;
    printf $fmt, @$_ for @rows;
    print "\n";
}

my $threads = $Config{usethreads} ? 'threads' : 'no threads';
print "perl $^V ($Config{archname}, $threads, ivsize $Config{ivsize}), module $M\n";
print "repetitions per figure: $opt{reps}; times are CPU time, per operation, loop overhead subtracted\n";
# Emulated times say little of native ones: every table of them says so.
my $emulated = $ENV{PLOTRUNE_BENCH_EMULATED} || '';
my $times_label = $emulated ? ' [EMULATED times]' : '';
print "EMULATED: $emulated; every time below was measured under emulation\n" if $emulated;
print "\n";

my %result;

# ---- call overhead
ffi_setup();
{
    my @rows;
    my %t;
    for my $case (@call_cases) {
        my ($label, $setup, $body) = @$case;
        if (($body =~ /ffi_fabs/ && !defined &main::ffi_fabs) || ($body =~ /^PlotRune::/ && !defined &PlotRune::callMethod)) {
            push @rows, [ $label, 'n/a', 'n/a', 'n/a' ];
            next;
        }
        my ($min, $med) = time_per_op($setup, $body);
        $t{$label} = [ $min, $med ];
        push @rows, [ $label, ns($min), ns($med), undef ];
    }
    my $anchor = $t{'anchor: looks_like_number($x) (XSUB)'}[1];
    for my $r (@rows) {
        next if defined $r->[3];
        my $med = $t{ $r->[0] }[1];
        $r->[3] = $anchor > 0 ? sprintf('%.2f', $med / $anchor) : 'n/a';
    }
    print "Call overhead (args: arguments after the method name)$times_label\n";
    table([ 'call', 'ns min', 'ns median', 'x XSUB (median)' ], @rows);
    print "FFI anchor unavailable: $ffi_error\n" if $ffi_error;
    $result{num_ns} = $t{"callMethod('num', 1 args)"}[1];
    $result{ffi_ns} = $t{'anchor: FFI::Platypus fabs($x)'} ? $t{'anchor: FFI::Platypus fabs($x)'}[1] : undef;
}

# ---- conversion throughput
{
    arrays($_) for @sizes;
    my @rows;
    my %anchor;
    my @measured;
    for my $case (conversion_cases()) {
        my ($label, $size, $body) = @$case;
        my ($min, $med) = time_per_op('', $body);
        push @measured, [ $label, $size, $min, $med ];
        $anchor{$size} = $med if $label =~ /^anchor/;
    }
    for my $m (@measured) {
        my ($label, $size, $min, $med) = @$m;
        my $ratio = $anchor{$size} / $med;
        push @rows, [ $label, $size, rate($size / $min), rate($size / $med), sprintf('%.2f', $ratio) ];
        $result{double_ratio} = $ratio if $label =~ /^getDoubleArray \(/ && $size == 1_000_000;
        $result{sum_ratio} = $ratio if $label =~ /^getDoubleArray and sum/ && $size == 1_000_000;
    }
    print "Conversion throughput (elements per second; 'best' from the min time, arrays of plain values)$times_label\n";
    table([ 'operation', 'elements', 'best el/s', 'median el/s', 'x sum0 (median)' ], @rows);
}

# ---- allocations
if ($opt{allocs}) {
    if (!$ENV{PLOTRUNE_MALLOC_COUNT} || !-e $ENV{PLOTRUNE_MALLOC_COUNT}) {
        print "Allocations: skipped (PLOTRUNE_MALLOC_COUNT names no counter library)\n\n";
    } elsif (!eval { require FFI::Platypus; 1 }) {
        # The counter is read through FFI::Platypus, which not every perl has.
        print "Allocations: skipped (this perl has no FFI::Platypus to read the counter with)\n\n";
    } else {
        local $ENV{LD_PRELOAD} = $ENV{PLOTRUNE_MALLOC_COUNT};
        my @out = `$^X -It/lib $0 --alloc-child`;
        die "allocation child failed\n" if $?;
        my @rows;
        for (@out) {
            chomp;
            my ($method, $args, $per) = split /\t/;
            push @rows, [ "callMethod('$method', $args args)", $args + 1, sprintf('%.2f', $per) ];
            $result{max_alloc_16} = $per
                if $args <= 16 && (!defined $result{max_alloc_16} || $per > $result{max_alloc_16});
        }
        print "Heap allocations per call (counted by a preloaded malloc counter, 10,000 calls minus 0)\n";
        table([ 'call', 'items on the stack', 'allocations per call' ], @rows);
    }
}

# ---- callgrind
sub callgrind_run {
    my ($case, $which, $checked) = @_;
    my $out = File::Temp->new(SUFFIX => '.callgrind');
    local $ENV{PERL_HASH_SEED} = 0;
    local $ENV{PERL_PERTURB_KEYS} = 0;
    # The checked build is loaded from its own build folder.
    local $ENV{PLOTRUNE_BENCH_TREE} = $checked ? '' : $ENV{PLOTRUNE_BENCH_TREE};
    local $ENV{PLOTRUNE_MODULES} = $checked ? $ENV{PLOTRUNE_BENCH_CHECKED_MODULES} : $ENV{PLOTRUNE_MODULES};
    my $n = $loop_cases{$case}[2];
    system('valgrind', '--tool=callgrind', '--quiet', "--callgrind-out-file=$out", '--compress-strings=no',
           '--compress-pos=no', $^X, '-It/lib', $0, '--loop', $case, $n, $which) == 0
        or die "callgrind run $case $which failed\n";
    my ($total, $getspecific) = (0, 0);
    open my $fh, '<', "$out" or die;
    my $in_getspecific = 0;
    while (<$fh>) {
        if (/^(?:summary|totals):\s*(\d+)/) { $total = $1 }
        elsif (/^cfn=(.*)/) { $in_getspecific = $1 =~ /\bpthread_getspecific\b/ ? 1 : 0 }
        elsif ($in_getspecific && /^calls=(\d+)/) { $getspecific += $1; $in_getspecific = 0 }
    }
    return ($total, $getspecific);
}

if ($opt{callgrind}) {
    if ($emulated) {
        print "Instructions: not measured: valgrind cannot run i386 code under emulation ($emulated)\n\n";
    } elsif (system('valgrind --version >/dev/null 2>&1') != 0) {
        print "Callgrind: skipped (no valgrind)\n";
    } else {
        my @rows;
        my %per;
        my @cases = qw(num lln getDoubleArray sumArray getIntArray getStringArray sum0);
        my %anchor_of = (num => 'lln', map { $_ => 'sum0' } qw(getDoubleArray sumArray getIntArray getStringArray));
        for my $case (@cases) {
            my ($with, $gw) = callgrind_run($case, 'with');
            my ($without, $go) = callgrind_run($case, 'without');
            my ($setup, $body, $n, $elements) = @{ $loop_cases{$case} };
            my $ops = $n * $elements;
            $per{$case} = ($with - $without) / $ops;
            push @rows, [ $body, $n, $elements > 1 ? 'element' : 'call', sprintf('%.1f', $per{$case}),
                          sprintf('%.2f', ($gw - $go) / $ops) ];
        }
        for my $i (0 .. $#cases) {
            my $anchor = $anchor_of{ $cases[$i] };
            $rows[$i][5] = $anchor ? sprintf('%.2f', $per{ $cases[$i] } / $per{$anchor}) : '';
        }
        print "Instructions (callgrind; loop with the operation minus the same loop without it)\n";
        table([ 'operation', 'iterations', 'per', 'instructions', 'pthread_getspecific calls', 'x anchor' ], @rows);
        $result{ir_ratio} = $per{num} / $per{lln};
        $result{ir_double_ratio} = $per{sum0} / $per{getDoubleArray};

        if ($ENV{PLOTRUNE_BENCH_CHECKED_MODULES}) {
            my @cost;
            for my $case (qw(num getDoubleArray getIntArray getStringArray)) {
                my ($with) = callgrind_run($case, 'with', 1);
                my ($without) = callgrind_run($case, 'without', 1);
                my ($setup, $body, $n, $elements) = @{ $loop_cases{$case} };
                my $checked = ($with - $without) / ($n * $elements);
                push @cost, [ $body, $elements > 1 ? 'element' : 'call', sprintf('%.1f', $per{$case}),
                              sprintf('%.1f', $checked), sprintf('%+.1f', $checked - $per{$case}),
                              sprintf('%.2f', $checked / $per{$case}) ];
            }
            print "The checked build's checks (callgrind instructions; the normal build's from the table above)
";
            table([ 'operation', 'per', 'normal', 'checked', 'cost', 'x normal' ], @cost);
        }
    }
}

# ---- goals
{
    my @rows;
    push @rows, [ "callMethod('num', \$x) instructions <= 2.0x looks_like_number",
                  sprintf('%.2fx', $result{ir_ratio}), $result{ir_ratio} <= 2.0 ? 'met' : 'missed' ]
        if defined $result{ir_ratio};
    push @rows, [ "callMethod('num', \$x) >= 2x faster than FFI fabs (median time)",
                  sprintf('%.2fx', $result{ffi_ns} / $result{num_ns}), $result{ffi_ns} / $result{num_ns} >= 2 ? 'met' : 'missed' ]
        if $result{ffi_ns};
    push @rows, [ 'getDoubleArray 1e6 >= 3x sum0 elements/s (median time)',
                  sprintf('%.2fx', $result{double_ratio}), $result{double_ratio} >= 3 ? 'met' : 'missed' ];
    push @rows, [ "getDoubleArray and the engine's sum (sumArray) 1e6 >= 3x sum0 (median time)",
                  sprintf('%.2fx', $result{sum_ratio}), $result{sum_ratio} >= 3 ? 'met' : 'missed' ];
    push @rows, [ 'getDoubleArray 1e6: sum0 instructions per element / ours (callgrind)',
                  sprintf('%.2fx', $result{ir_double_ratio}), 'info' ]
        if defined $result{ir_double_ratio};
    push @rows, [ 'no heap allocation per callMethod with up to 16 args',
                  sprintf('%.2f max', $result{max_alloc_16}), $result{max_alloc_16} < 0.01 ? 'met' : 'missed' ]
        if defined $result{max_alloc_16};
    print "Goals$times_label\n";
    table([ 'goal', 'measured', 'status' ], @rows);
}
