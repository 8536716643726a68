# Dispatch: what callMethod hands the engine, what comes back, and how an
# engine failure reaches Perl.

use strict;
use warnings;
use Test::More;
use Scalar::Util qw(refaddr);
use PlotruneTest;

my $M = load();
my $call = \&{"${M}::callMethod"};

# What the engine saw: count, whether the array was null, whether the result
# slot held the first argument, the argument handles.
sub inspected {
    my ($reply) = @_;
    my ($count, $null, $first) = unpack 'l l l', $reply;
    return { count => $count, null => $null, first => $first, handles => [ addresses(substr $reply, 12) ] };
}

# ---------------------------------------------------------- what arrives

{
    my @r = $call->();
    is(scalar @r, 1, "$M: no arguments: exactly one value comes back");
    my $seen = inspected($r[0]);
    is($seen->{count}, 0, "$M: no arguments: the engine gets count 0");
    is($seen->{null}, 1, "$M: no arguments: the engine gets a null array");
}

for my $n (1, 3, 16, 17, 1000) {
    my @args = ('inspect', map { "arg$_" } 2 .. $n);
    my $seen = inspected($call->(@args));
    is($seen->{count}, $n, "$M: $n argument(s): the engine gets count $n");
    is($seen->{null}, 0, "$M: $n argument(s): the array is not null");
    is($seen->{first}, 1, "$M: $n argument(s): the result slot holds the first argument when the engine starts");
    is_deeply($seen->{handles}, [ map { refaddr(\$_) } @args ],
              "$M: $n argument(s): the engine gets the argument scalars themselves, in order");
}

# ---------------------------------------------------------- what returns

{
    my $method = 'keep';
    my $ref = \ $call->($method, 1, 2);
    is(refaddr($ref), refaddr(\$method),
       "$M: success without a stored result returns the first argument itself");
}

for my $status (1, 2, -1, 2147483647) {
    my @r = $call->('status', $status);
    is_deeply(\@r, ['status'], "$M: engine status $status counts as success, with its one result");
}

{
    my @r = $call->('num', 1, 2, 3, 4, 5);
    is_deeply(\@r, [1], "$M: several arguments in list context: exactly one value");
    my ($x, $y) = $call->('num', 4);
    is_deeply([ $x, $y ], [ 4, undef ], "$M: list assignment receives one value");
}

# ---------------------------------------------------------- failures

my @failures = (
    # what it shows                  method and arguments             raised text
    [ 'empty message',                 [ 'fail', '' ],                  "\n" ],
    [ 'message without newline',       [ 'fail', 'no good' ],           "no good\n" ],
    [ 'message ending in a newline',   [ 'fail', "no good\n" ],         "no good\n" ],
    [ 'message ending in two',         [ 'fail', "no good\n\n" ],       "no good\n\n" ],
    [ 'newline inside only',           [ 'fail', "two\nlines" ],        "two\nlines\n" ],
    [ 'format directives',             [ 'fail', '100%s %n %d %%' ],    "100%s %n %d %%\n" ],
    [ 'no message written at all',     [ 'failSilently' ],              checked() ? breach('runMethod', 'failSilently') : "\n" ],
    [ 'status 0 with its message',     [ 'status', 0 ],                 "status 0\n" ],
    [ 'unknown method',                [ 'noSuchMethod' ],              qq{unknown method "noSuchMethod"\n} ],
    [ 'longest message allowed',       [ 'failFill', 1030 ],            ('x' x 1030) . "\n" ],
    # Past what the contract allows: cut to fit, or the checked build's error.
    [ 'one byte short of the end',     [ 'failFill', 1031 ],            checked() ? breach('runMethod', 'failFill') : ('x' x 1030) . "\n" ],
    [ 'no terminator at all',          [ 'failFill', 1032 ],            checked() ? breach('runMethod', 'failFill') : ('x' x 1030) . "\n" ],
);
for my $case (@failures) {
    my ($what, $args, $expected) = @$case;
    my $ok = eval { $call->(@$args); 1 };
    ok(!$ok, "$M: engine failure, $what: callMethod dies");
    if (ref $expected) {
        like($@, $expected, "$M: engine failure, $what: the raised text");
    } else {
        is($@, $expected, "$M: engine failure, $what: the raised text");
    }
}

{
    for (1 .. 3) {
        eval { $call->('fail', 'again') };
    }
    is($call->('num', 42), 42, "$M: calls after caught failures work as before");
    my $ok = eval { $call->('fail', 'no location'); 1 };
    unlike($@, qr/ at \S+ line \d+/, "$M: a raised engine message carries no file and line");
}

done_testing();
