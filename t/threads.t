# Interpreter threads: the module is booted in the main interpreter, and
# every thread created afterwards gets a clone of it whose subs reach the
# same engine.  Eight threads call the engine many thousands of times at
# once, each with its own data (arrays read three ways, arrays and texts
# made, failures raised and caught), and check every result.

use strict;
use warnings;
use Config;
use Test::More;

BEGIN {
    if (!$Config{useithreads}) {
        print "1..0 # SKIP this perl has no interpreter threads\n";
        exit 0;
    }
}
use threads;
use PlotruneTest;
use PlotruneStress;

my $M = load();    # boot in the main interpreter, before any thread exists
my $threads = 8;
my $rounds = scaled(5000, 20);

# One thread's work: returns (calls made, wrong results, the first wrong one).
sub work {
    my ($id, $rounds) = @_;
    my $call = \&{"${M}::callMethod"};
    my ($calls, $wrong, $first) = (0, 0, '');
    my $check = sub {
        my ($ok, $what) = @_;
        $calls++;
        return if $ok;
        $first = "thread $id: $what" unless $wrong++;
    };
    for my $round (1 .. $rounds) {
        my @numbers = map { $id * 1000 + $round + $_ / 4 } 0 .. 15;
        my @texts = map { "t$id.$round.$_" } 0 .. 7;

        my $d = read_array('Double', \@numbers);
        $check->("@{ $d->{values} }" eq "@numbers", "round $round: double array");
        my $i = read_array('Int', \@numbers);
        $check->("@{ $i->{values} }" eq join(' ', map { int } @numbers), "round $round: int array");
        my $s = read_array('String', \@texts);
        $check->("@{ $s->{values} }" eq "@texts", "round $round: string array");

        my $made = $call->('newDoubleArray', \@numbers, 8);
        $check->(ref $made eq 'ARRAY' && "@$made" eq "@numbers[0 .. 7]", "round $round: made array");
        my $text = $call->('newString', $texts[$round % 8]);
        $check->($text eq $texts[$round % 8], "round $round: made text");
        my $sum = $call->('sumArray', \@numbers);
        my $want = 0;
        $want += $_ for @numbers;
        $check->($sum == $want, "round $round: sum");

        my $ok = eval { $call->('fail', "thread $id round $round"); 1 };
        $check->(!$ok && $@ eq "thread $id round $round\n", "round $round: failure text");
    }
    return ($calls, $wrong, $first);
}

{
    # The clone sees the module as booted.
    my ($id, $name) = threads->create({ context => 'list' }, sub {
        no strict 'refs';
        return (defined &{"${M}::callMethod"} ? 1 : 0, &{"${M}::id"}());
    })->join;
    is("$id $name", "1 $M", "$M: a thread created after boot has the module's subs, and id names the build");
}

my @workers = map { my $id = $_; threads->create({ context => 'list' }, sub { work($id, $rounds) }) } 1 .. $threads;
my ($calls, $wrong, @first) = (0, 0);
for my $worker (@workers) {
    my ($c, $w, $f) = $worker->join;
    if (!defined $c) {
        $wrong++;
        push @first, 'a thread died: ' . ($worker->error || 'unknown');
        next;
    }
    $calls += $c;
    $wrong += $w;
    push @first, $f if $w;
}
is($wrong, 0, "$M: $threads threads, $calls checked results: every one right")
    or diag(join "\n", @first);
is($calls, $threads * $rounds * 7, "$M: every thread finished all its $rounds rounds");

# The main interpreter still works, and a second generation of threads too.
is(PlotruneTest::call('num', 2.5), 2.5, "$M: after the threads have joined, the main interpreter's calls work");
my ($again) = threads->create(sub { my ($c, $w) = work(99, 3); $w })->join;
is($again, 0, "$M: a thread created after others have ended works as well");

{
    # Boots in several threads at once, none of which had the module: the
    # first binds the engine, the others find it bound, and each calls it
    # while the others may still boot.
    my ($n, $calls) = (4, scaled(2000, 50));
    my ($status, $out, $err) = in_child(
        code => 'require PlotruneStress; PlotruneStress::concurrent_boots(@ARGV)',
        args => [ build()->{module_file}, $M, $n, $calls ]);
    my $sum = $calls * ($calls + 1) / 2;
    is($out, join('', map { "thread $_: $sum\n" } 1 .. $n),
       "$M: $n threads booting at once: each boots and gets every result right")
        or diag("status $status, stderr: $err");
}

done_testing();
