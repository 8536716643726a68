# Perl errors raised inside the engine's call: a tie or an overload that
# dies while a reader converts a value, and warnings made fatal.  Each must
# reach the caller's eval with its own error, leave the module able to take
# the next call, and leak nothing (the readers' blocks are freed by the save
# stack, the argument buffer of a call with more than 16 arguments is a
# mortal): the last part repeats every case and watches the resident size.

use strict;
use warnings;
use Test::More;
use PlotruneTest;
use PlotruneStress;

my $M = load();
my $call = \&{"${M}::callMethod"};

sub dying_scalar {
    my ($error, $after) = @_;
    tie my $t, 'PlotruneStress::DyingScalar', $error, $after;
    if ($after) { my $warm = "$t" }
    return \$t;
}

# Each case: what it shows, the method, a sub giving the argument that fights
# back (made afresh for every call), and whether it applies to this perl.
my @cases;
for my $method (qw(readScalar getDouble getInt getBool)) {
    push @cases, [ "tied scalar whose FETCH dies, read by $method", $method,
                   sub { ${ dying_scalar($_[0]) } }, 1 ];
}
push @cases, [ 'tied scalar whose FETCH dies, read as text', 'getString',
               sub { ${ dying_scalar($_[0]) } }, 1 ],
             [ 'tied scalar fetched before, whose FETCH dies, read as text', 'getString',
               sub { ${ dying_scalar($_[0], 1) } }, 1 ];
for my $kind (qw(Double Int String)) {
    my $method = "get${kind}Array";
    push @cases,
        [ "tied element whose FETCH dies, in $method", $method,
          sub { my @a = (1 .. 1000); tie $a[500], 'PlotruneStress::DyingScalar', $_[0], 1; my $w = "$a[500]"; \@a },
          1 ],
        [ "tied array whose FETCH dies, in $method", $method,
          sub { tie my @a, 'PlotruneStress::DyingArray', $_[0], 1000, 999; \@a }, 1 ],
        [ "tied array whose FETCHSIZE dies, in $method", $method,
          sub { tie my @a, 'PlotruneStress::DyingArray', $_[0], 1000, 'size'; \@a }, 1 ],
        [ "object whose conversion dies, after 1000 plain elements in $method", $method,
          sub { [ (1 .. 1000), PlotruneStress::DyingObject->new($_[0]) ] }, 1 ];
}
for my $method (qw(readScalar getDouble getInt getBool getString)) {
    push @cases, [ "object whose conversion dies, read by $method", $method,
                   sub { PlotruneStress::DyingObject->new($_[0]) }, 1 ];
}
@cases = grep { $_->[3] } @cases;

# The extra arguments that take a call past the 16 kept on callMethod's frame.
my @many = map { "extra$_" } 1 .. 20;

for my $case (@cases) {
    my ($what, $method, $make) = @$case;
    for my $extra ([], \@many) {
        my $n = 2 + @$extra;
        my $error = "$what ($n arguments)\n";
        my $ok = eval { $call->($method, $make->($error), @$extra); 1 };
        is($ok ? 'no error' : $@, $error, "$M: $what, $n arguments: the caller's eval gets the error's own text");
        is($call->('num', 2.5), 2.5, "$M: $what, $n arguments: the next call works");
    }
}

{
    # An error object passes through unchanged.
    my $object = bless { reason => 'fetch' }, 'PlotruneStress::Reason';
    for my $extra ([], \@many) {
        my $ok = eval { $call->('getDouble', ${ dying_scalar($object) }, @$extra); 1 };
        is(ref $@ ? $@ : "not the object: " . ($ok ? 'no error' : $@), $object,
           "$M: a FETCH dying with an object, " . (2 + @$extra) . " arguments: the caller gets that very object");
    }
}

# ------------------------------------------------------- fatal warnings

sub call_fatal {
    use warnings FATAL => 'all';
    return $call->(@_);
}

my @fatal = (
    # what it shows                          arguments                        the warning
    [ 'non-numeric text read as a double',    [ 'getDouble', 'abc' ],           qr/^Argument "abc" isn't numeric/ ],
    [ 'non-numeric text read as an int',      [ 'getInt', 'abc' ],              qr/^Argument "abc" isn't numeric/ ],
    [ 'non-numeric text in readScalar',       [ 'readScalar', 'abc' ],          qr/^Argument "abc" isn't numeric/ ],
    [ 'undef read as a double',               [ 'getDouble', undef ],           qr/^Use of uninitialized value/ ],
    [ 'non-numeric element of a double array', [ 'getDoubleArray', [ 1 .. 1000, 'abc' ] ], qr/^Argument "abc" isn't numeric/ ],
    [ 'non-numeric element of an int array',   [ 'getIntArray', [ 1 .. 1000, 'abc' ] ],    qr/^Argument "abc" isn't numeric/ ],
);
for my $case (@fatal) {
    my ($what, $args, $warning) = @$case;
    for my $extra ([], \@many) {
        my $n = @$args + @$extra;
        my $ok = eval { call_fatal(@$args, @$extra); 1 };
        like($ok ? 'no error' : $@, $warning, "$M: fatal warning, $what, $n arguments: dies with the warning's text");
        is($call->('num', 2.5), 2.5, "$M: fatal warning, $what, $n arguments: the next call works");
    }
}

# ------------------------------------------------- Perl code that calls back

{
    # A conversion may itself call the engine: the module is re-entered
    # while the outer call's engine is still running.
    package PlotruneErrors::Reentrant;
    sub TIESCALAR { my ($class, $call, $mode) = @_; bless { call => $call, mode => $mode }, $class }
    sub FETCH {
        my $self = shift;
        return $self->{call}->('num', 41) + 1 if $self->{mode} eq 'call';
        return (eval { $self->{call}->('fail', 'inner'); 1 } ? 0 : 10) + 32 if $self->{mode} eq 'caught';
        $self->{call}->('fail', 'inner failure');
    }
    sub STORE { }
}
for my $case ([ 'call', 42, undef ], [ 'caught', 42, undef ], [ 'uncaught', undef, "inner failure\n" ]) {
    my ($mode, $value, $error) = @$case;
    tie my $t, 'PlotruneErrors::Reentrant', $call, $mode;
    my $got = eval { $call->('getDouble', $t, @many) };
    my $what = "a FETCH that calls the engine ($mode)";
    if (defined $error) {
        is($@, $error, "$M: $what: the inner engine's failure reaches the outer caller");
    } else {
        is($got, $value, "$M: $what: the outer call reads the value the inner call made");
    }
    is($call->('num', 2.5), 2.5, "$M: $what: the next call works");
}

# --------------------------------- Perl code that changes the array being read

{
    # A conversion that drops the last reference to the array being read:
    # the reader must keep it alive until it has read every element.
    package PlotruneErrors::Dropper;
    use overload '0+' => sub { $main::dropped = undef; 1.5 }, '""' => sub { $main::dropped = undef; 'dropper' },
        fallback => 1;
    # One that rewrites an element read before it, with a longer text (so
    # that its buffer moves).
    package PlotruneErrors::Rewriter;
    use overload '""' => sub { $main::rewritten[0] = join '', ('y') x 1000; 'rewriter' }, fallback => 1;
    # A tie whose every fetch gives a longer text.
    package PlotruneErrors::Growing;
    sub TIESCALAR { my $n = 0; bless \$n, $_[0] }
    sub FETCH { my $self = shift; $$self++; return join '', ('g') x (100 * $$self) }
    sub STORE { }
}
our ($dropped, @rewritten);
for my $kind (qw(Double Int String)) {
    my @values = (1, 2, 'dropper', 4, 5);
    $dropped = [ @values[0, 1], bless({}, 'PlotruneErrors::Dropper'), @values[3, 4] ];
    # Passed as itself, not a copy, so that its reference is the only one.
    my $reply = $call->("get${kind}Array", $dropped);
    my ($status, $count) = unpack 'l l', $reply;
    my $rest = substr $reply, 12;
    my @got = $kind eq 'Double' ? unpack('d*', $rest) : $kind eq 'Int' ? unpack('l*', $rest) : split /\0/, $rest;
    my @want = $kind eq 'String' ? @values : (1, 2, $kind eq 'Double' ? 1.5 : 1, 4, 5);
    is("$status $count: @got", "1 5: @want",
       "$M: get${kind}Array: an element's conversion drops the last reference to the array: every element still read");
}
{
    @rewritten = (join('', 'sh', 'ort'), bless({}, 'PlotruneErrors::Rewriter'), 'after');
    my $r = read_array('String', \@rewritten);
    is(join(',', @{ $r->{values} }), 'short,rewriter,after',
       "$M: getStringArray: a conversion rewrites an element already read: the engine gets the text it had when read");
}
{
    tie my $t, 'PlotruneErrors::Growing';
    my $warm = "$t";
    my $r = sub { read_array('String', \@_) }->($t, 'plain', $t);
    is(join(',', map { length } @{ $r->{values} }), '200,5,300',
       "$M: getStringArray: the same tie twice in \@_, fetched longer each time: each text stays as fetched");
}

# ------------------------------------------------------- nothing grows

SKIP: {
    skip 'no resident size to watch here (under valgrind or ASan, or no /proc): the memcheck and sanitizer runs cover leaks', 1
        unless defined resident_kb();
    my $rounds = scaled(300, 30);
    my $calls = 0;
    my $grew = growth_kb(sub {
        for my $case (@cases) {
            my ($what, $method, $make) = @$case;
            for my $extra ([], \@many) {
                eval { $call->($method, $make->("again\n"), @$extra) };
                $calls++;
            }
        }
        for my $case (@fatal) {
            eval { call_fatal(@{ $case->[1] }, @many) };
            $calls++;
        }
    }, $rounds);
    # Each failing call that leaked only its argument buffer would lose more
    # than 160 bytes, a reader's block 8000: thousands of calls would show.
    my $measured = $calls / 2;
    cmp_ok($grew, '<', 1024, "$M: $measured failing calls: the resident size grows by less than 1 MB (grew ${grew} KB)");
}

done_testing();
