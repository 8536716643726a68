# The checked build: every breach of the engine contract that a misbehaving
# engine commits is raised as an error naming the breach, the routine and
# the method; the interpreter works on after it and nothing leaks.  What the
# contract allows passes.  A call nested in another is checked on its own,
# and the outer call's record survives it.  A routine called with no call
# running on its thread prints one line and aborts the process.

use strict;
use warnings;
use Test::More;
use File::Copy qw(copy);
use File::Temp ();
use PlotruneTest;
use PlotruneStress;

plan skip_all => 'the normal build: the checked build alone checks the engine contract' unless checked();

my $b = build();
my $M = $b->{module};

# The module beside the misbehaving engine, booted in this process.
my $dir = File::Temp->newdir;
copy($b->{module_file}, "$dir/$M.so") or die "copy: $!";
copy($b->{engine_breaching_file}, "$dir/libplotrune.so") or die "copy: $!";
PlotruneTest::boot_module("$dir/$M.so", $M);
my $call = \&{"${M}::callMethod"};

my @three = (1.5, 2.5, 3.5);
my $addr = qr/0x[0-9a-f]+/;
our $kept = 'a scalar that outlives the call that kept it';

# Calls the engine with the arguments themselves (a tied one stays tied);
# returns the error raised, or undef when none came.
sub breach_of {
    my $ok = eval { $call->(@_); 1 };
    return $ok ? undef : $@;
}

sub sound { my $r = eval { $call->('num', 2.5) }; defined $r && $r == 2.5 }

# ---------------------------------------------------------- each breach

my @breaches = (
    # what it shows                         arguments                                routine             rest of the message
    [ 'a block of getStringArray kept',     [ 'leak', 'String', \@three ],           'getStringArray',
      qr/runMethod returned with 1 block from getStringArray not given back through releaseStringArray \(the checked build frees them\)/ ],
    [ 'three blocks of getDoubleArray kept', [ 'leak', 'Double', \@three, 3 ],       'getDoubleArray',
      qr/runMethod returned with 3 blocks from getDoubleArray not given back through releaseDoubleArray / ],
    [ 'a block of getIntArray kept',        [ 'leak', 'Int', \@three ],              'getIntArray',
      qr/runMethod returned with 1 block from getIntArray not given back through releaseIntArray / ],
    [ 'blocks of every reader kept',        [ 'leakEach', \@three ],                 'getStringArray',
      qr/1 block from getStringArray not given back through releaseStringArray; 2 blocks from getDoubleArray not given back through releaseDoubleArray; 1 block from getIntArray not given back through releaseIntArray / ],
    [ 'a text block given back twice',      [ 'releaseTwice', 'String', \@three ],   'releaseStringArray', qr/the block $addr was given back twice/ ],
    [ 'a number block given back twice',    [ 'releaseTwice', 'Double', \@three ],   'releaseDoubleArray', qr/the block $addr was given back twice/ ],
    [ 'an integer block given back twice',  [ 'releaseTwice', 'Int', \@three ],      'releaseIntArray',    qr/the block $addr was given back twice/ ],
    [ 'a pointer no reader handed out, to releaseStringArray', [ 'releaseForeign', 'String' ], 'releaseStringArray',
      qr/the pointer $addr was not handed out by getStringArray in this call\n/ ],
    [ 'a pointer no reader handed out, to releaseDoubleArray', [ 'releaseForeign', 'Double' ], 'releaseDoubleArray',
      qr/the pointer $addr was not handed out by getDoubleArray in this call\n/ ],
    [ 'a pointer no reader handed out, to releaseIntArray', [ 'releaseForeign', 'Int' ], 'releaseIntArray',
      qr/the pointer $addr was not handed out by getIntArray in this call\n/ ],
    [ 'an integer block to releaseDoubleArray', [ 'releaseCrossed', 'Int', 'Double', \@three ], 'releaseDoubleArray',
      qr/the pointer $addr was not handed out by getDoubleArray in this call \(getIntArray handed it out: give it back through releaseIntArray\)/ ],
    [ 'a number block to releaseStringArray', [ 'releaseCrossed', 'Double', 'String', \@three ], 'releaseStringArray',
      qr/not handed out by getStringArray in this call \(getDoubleArray handed it out: give it back through releaseDoubleArray\)/ ],
    [ 'a text block to releaseIntArray',    [ 'releaseCrossed', 'String', 'Int', \@three ], 'releaseIntArray',
      qr/not handed out by getIntArray in this call \(getStringArray handed it out: give it back through releaseStringArray\)/ ],
    (map {
        my $routine = $_;
        (my $reader = $routine) =~ s/^(String|Double|Int)\z/get$1Array/;
        [ "a handle kept from an earlier call, to $reader", [ 'readKept', $routine ], $reader,
          qr/the scalar handle $addr is neither an argument of this call nor a scalar made in it\n/, sub { $call->('keep', $kept) } ]
    } qw(getDouble getInt getBool getString String Double Int)),
    [ 'a handle kept from an earlier call, its scalar freed since', [ 'readKept', 'getString' ], 'getString',
      qr/the scalar handle $addr is neither an argument/, sub { $call->('keep', join '', 'freed', ' at once') } ],
    (map {
        my $routine = $_;
        (my $reader = $routine) =~ s/^(String|Double|Int)\z/get$1Array/;
        [ "a null handle to $reader", [ 'readNull', $routine ], $reader, qr/a null scalar handle \(only getBool takes one\)\n/ ]
    } qw(getDouble getInt getString String Double Int)),
    [ 'another argument left in the result slot', [ 'result', 'arg', 5 ],           'runMethod',
      qr/on success the result slot holds the scalar $addr, which is neither the first argument, undef, null, nor a scalar made in this call\n/ ],
    [ 'a handle kept from an earlier call in the result slot', [ 'result', 'kept' ], 'runMethod',
      qr/on success the result slot holds the scalar $addr, which is neither/, sub { $call->('keep', $kept) } ],
    [ 'a failure message without a terminator', [ 'failBytes', 1032 ],               'runMethod',
      qr/the failure message has no terminator within the 1032-byte buffer\n/ ],
    [ 'a failure message filling the buffer', [ 'failBytes', 1031 ],                 'runMethod',
      qr/the failure message fills the 1032-byte buffer: its terminator is the last byte, leaving none free behind it \(at most 1030 message bytes\)\n/ ],
    [ 'newBinary of a negative length',      [ 'binary', -1 ],                       'newBinary', qr/a negative length, -1\n/ ],
    [ 'newBinary of the most negative length', [ 'binary', -2147483648 ],            'newBinary', qr/a negative length, -2147483648\n/ ],
    [ 'newBinary of no bytes with a length', [ 'binary', 3, 'null' ],                'newBinary', qr/no bytes \(a null pointer\) with the length 3\n/ ],
    [ 'newDoubleArray of no values with a count', [ 'doubleArray', 3, 'null' ],      'newDoubleArray', qr/no values \(a null pointer\) with the count 3\n/ ],
    [ 'a null handle after more scalars made than the frame holds', [ 'makeMany', 1000, 'null' ], 'getInt',
      qr/a null scalar handle/ ],
);

for my $case (@breaches) {
    my ($what, $args, $routine, $rest, $before) = @$case;
    $before->() if $before;
    my $error = breach_of(@$args);
    like($error, qr/\A\Q$M\E: contract breach in \Q$routine\E \(method "\Q$args->[0]\E"\): /,
         "$M: $what: raised, naming the routine and the method");
    like($error, $rest, "$M: $what: the message names the breach");
    ok(sound(), "$M: $what: the next call works");
}

{
    # The method is named when it is a plain string, and only then.
    package PlotruneChecked::Name;
    use overload '""' => sub { 'binary' }, fallback => 1;
    package main;
    my $error = breach_of(bless({}, 'PlotruneChecked::Name'), -1);
    like($error, qr/\A\Q$M\E: contract breach in newBinary: a negative length, -1\n\z/,
         "$M: a method that is no plain string (an object) is left out of the message");
    unlike(breach_of('binary', -1) || '', qr/ at \S+ line \d+/, "$M: a breach carries no file and line");
}

# ---------------------------------------------------------- what passes

my @allowed = (
    # what it shows                                 arguments                          result
    [ 'a null block given back to releaseStringArray', [ 'releaseNull', 'String' ],   1 ],
    [ 'a null block given back to releaseDoubleArray', [ 'releaseNull', 'Double' ],   1 ],
    [ 'a null block given back to releaseIntArray',    [ 'releaseNull', 'Int' ],      1 ],
    [ 'a null handle to getBool reads false',          [ 'readNull', 'getBool' ],     0 ],
    [ 'a scalar made in the call read back',           [ 'readMade', 21 ],            42 ],
    [ 'a scalar made in the call as the result',       [ 'result', 'made' ],          'made' ],
    [ 'the first argument as the result',              [ 'result', 'first' ],         'result' ],
    [ 'a null result slot gives undef',                [ 'result', 'null' ],          undef ],
    [ 'no arguments: the slot holds undef',            [],                            undef ],
    [ 'newBinary of no bytes and length 0',            [ 'binary', 0, 'null' ],       '' ],
    [ 'more scalars made than the frame holds',        [ 'makeMany', 1000 ],          1000 ],
);
for my $case (@allowed) {
    my ($what, $args, $want) = @$case;
    my @got = eval { $call->(@$args) };
    is($@, '', "$M: allowed: $what: no breach raised");
    is_deeply(\@got, [$want], "$M: allowed: $what: its result");
}
{
    my $error = breach_of('failBytes', 1030);
    is($error, ('x' x 1030) . "\n", "$M: allowed: the longest failure message is raised as it is");
    my @got = eval { $call->('doubleArray', 0, 'null') };
    is_deeply(\@got, [ [] ], "$M: allowed: newDoubleArray of no values and count 0 gives an empty array");
}

# ---------------------------------------------------------- nested calls

# A tied scalar whose fetch runs the code given.
package PlotruneChecked::Fetch;
sub TIESCALAR { my ($class, $code) = @_; bless { code => $code }, $class }
sub FETCH { $_[0]{code}->() }
sub STORE { }
package main;

{
    my $inner;
    tie my $fetched, 'PlotruneChecked::Fetch', sub {
        $inner = breach_of('leak', 'Int', [ 1, 2 ]);
        'fetched';
    };
    my @got = eval { $call->('holdAndRead', \@three, $fetched) };
    is($@, '', "$M: a nested call's breach, caught in the fetch, leaves the outer call's record: its block goes back");
    is_deeply(\@got, ['fetched'], "$M: ... and the outer call returns its result");
    like($inner, qr/\A\Q$M\E: contract breach in getIntArray \(method "leak"\): runMethod returned with 1 block from getIntArray/,
         "$M: ... the nested call was checked on its own");
}
{
    tie my $fetched, 'PlotruneChecked::Fetch', sub { $call->('num', 1) . '' };
    my $error = breach_of('holdAndRead', \@three, $fetched, 1);
    like($error, qr/\A\Q$M\E: contract breach in getDoubleArray \(method "holdAndRead"\): runMethod returned with 1 block from getDoubleArray /,
         "$M: the outer call's block, kept across a nested call that kept the contract, is the outer call's breach");
}
{
    tie my $fetched, 'PlotruneChecked::Fetch', sub { $call->('binary', -1) };
    my $error = breach_of('holdAndRead', \@three, $fetched);
    like($error, qr/\A\Q$M\E: contract breach in newBinary \(method "binary"\): /,
         "$M: a nested call's breach not caught in the fetch leaves the outer call too");
    ok(sound(), "$M: ... and the next call works");
}
{
    tie my $dying, 'PlotruneStress::DyingScalar', "fetch died\n";
    my $error = breach_of('holdAndRead', \@three, $dying);
    is($error, "fetch died\n", "$M: a read whose fetch dies while the engine holds a block raises the fetch's error");
    ok(sound(), "$M: ... and the next call works");
}

# ---------------------------------------------------------- nothing leaks

SKIP: {
    skip 'no resident size to watch here (under valgrind or ASan, or no /proc): the memcheck and sanitizer runs cover leaks', 6
        unless defined resident_kb();
    my @big = map { $_ / 3 } 1 .. 10_000;
    tie my $dying, 'PlotruneStress::DyingScalar', "fetch died\n";
    tie my $nested, 'PlotruneChecked::Fetch', sub { breach_of('leak', 'Double', \@big); 'x' };
    # Calls, not argument lists: a list would fetch the tied scalars when made.
    my @cases = (
        # what it shows                                       each call
        [ 'blocks kept by the engine are freed',                sub { $call->('leak', 'Double', \@big, 4) } ],
        [ 'a block given back to the wrong releaser is freed',  sub { $call->('releaseCrossed', 'String', 'Double', \@big) } ],
        [ 'a block held when a fetch dies is freed',            sub { $call->('holdAndRead', \@big, $dying) } ],
        [ 'blocks kept by a nested call and its outer call are freed', sub { $call->('holdAndRead', \@big, $nested, 1) } ],
        [ "a record grown past the frame is freed by a breach",  sub { $call->('makeMany', 20_000, 'null') } ],
        [ 'a record grown past the frame is freed',             sub { $call->('makeMany', 20_000) } ],
    );
    for my $case (@cases) {
        my ($what, $each) = @$case;
        my $grew = growth_kb(sub { eval { $each->() } for 1 .. 20 }, 10);
        cmp_ok($grew, '<', 1024, "$M: $what: 200 calls grow the resident size by less than 1 MB (grew ${grew} KB)");
    }
}

# ---------------------------------------------------------- no call running

# Runs the code in a child perl that boots the module beside the misbehaving
# engine; returns (signal, stdout, stderr).
sub in_aborting_child {
    my ($code) = @_;
    my $out = File::Temp->new;
    my $err = File::Temp->new;
    my $pid = fork;
    die "fork: $!\n" unless defined $pid;
    if (!$pid) {
        open STDOUT, '>', $out->filename or die;
        open STDERR, '>', $err->filename or die;
        my $lib = (grep { -f "$_/PlotruneTest.pm" } @INC)[0];
        { exec $^X, "-I$lib", '-MPlotruneTest', '-e',
             "PlotruneTest::boot_module('$dir/$M.so', '$M'); my \$call = \\&${M}::callMethod; $code; print qq{survived\\n}"; }
        kill 'KILL', $$;
    }
    waitpid $pid, 0;
    return ($? & 127, slurp($out->filename), slurp($err->filename));
}

my @off_call = (
    # what it shows                                       code in the child                                 routine
    [ 'getDouble from a thread of the engine',            q{$call->('fromThread', 'getDouble')},           'getDouble' ],
    [ 'getBool from a thread of the engine',              q{$call->('fromThread', 'getBool')},             'getBool' ],
    [ 'newString from a thread of the engine',            q{$call->('fromThread', 'newString')},           'newString' ],
    [ 'releaseDoubleArray from a thread of the engine',   q{$call->('fromThread', 'releaseDoubleArray')},  'releaseDoubleArray' ],
    [ 'releaseString after runMethod returned',           q{$call->('atExit', 'releaseString')},           'releaseString' ],
    [ 'newInt after runMethod returned',                  q{$call->('atExit', 'newInt')},                  'newInt' ],
    [ 'getDouble after a nested call and a dying fetch unwound the calls',
      q{tie my $d, 'PlotruneStress::DyingScalar', "died\n"; eval { $call->('holdAndRead', [1], $d) };
        eval { $call->('holdAndRead', [1], $d, 1) }; $call->('atExit', 'getDouble')},                      'getDouble' ],
);
for my $case (@off_call) {
    my ($what, $code, $routine) = @$case;
    my ($signal, $out, $err) = in_aborting_child("use PlotruneStress; $code");
    is($signal, 6, "$M: $what: the process aborts") or diag("stdout: $out\nstderr: $err");
    like($err, qr/^\Q$M\E: contract breach in \Q$routine\E: called while no runMethod of this module is running on this thread \(after runMethod returned, or from a thread of the engine's own\); aborting$/m,
         "$M: $what: one line on standard error names the breach and the routine");
}

done_testing();
