# Magical scalars read as their value: a capture variable, a substr or pos
# lvalue, a tie, a tied hash's element, as a scalar read as text, as the
# argument of the array readers and as array elements.  Each read runs the
# get-magic once and decides on what it fetched, whatever earlier reads left
# in the scalar's flags.

use strict;
use warnings;
use Test::More;
use Tie::Hash;
use PlotruneTest;

my $M = load();
my $call = \&{"${M}::callMethod"};

# Every warning of the file: reading undef through magic must raise none.
my @warnings;
$SIG{__WARN__} = sub { push @warnings, $_[0] };

my $empty = unpack 'L!', $call->('stringAddress', undef);

# ---------------------------------------------------------- capture variables

# A read of $1 that found no value leaves it showing none, as a capture that
# no code has read since its match does (Perl's own reads come later).
sub forget_capture { "key" =~ /(x)?key/; my $unset = $1 }

forget_capture();
"name=Alice" =~ /name=(\w+)/;
is($call->('getString', $1), 'Alice', "$M: getString: a capture no code has read gives its text");
"name=Bob" =~ /name=(\w+)/;
is($call->('getString', $1), 'Bob', "$M: getString: the same capture after the next match gives the new text");
forget_capture();
"name=Christina" =~ /name=(\w+)/;
is(sub { $call->('getString', $_[0]) }->($1), 'Christina',
   "$M: getString: a capture passed on through \@_ gives its text");
"key" =~ /(x)?key/;
is(unpack('L!', $call->('stringAddress', $1)), $empty,
   "$M: getString: a capture that took no part in the match reads as the constant empty text");

forget_capture();
"x=42" =~ /x=(\d+)/;
is_deeply(sub { read_array('String', \@_)->{values} }->($1, 'plain', $1), [ '42', 'plain', '42' ],
          "$M: getStringArray: \@_ holding a capture twice gives its text each time");
forget_capture();
"x=43" =~ /x=(\d+)/;
is_deeply(sub { read_array('Int', \@_)->{values} }->($1), [43], "$M: getIntArray: \@_ holding a capture gives its number");

"xaby" =~ /(a)(b)/;
for my $c ([ 'String', '-', \@-, [ '1', '1', '2' ] ], [ 'Int', '-', \@-, [ 1, 1, 2 ] ],
           [ 'String', '+', \@+, [ '3', '2', '3' ] ], [ 'Double', '+', \@+, [ 3, 2, 3 ] ]) {
    my ($kind, $name, $aref, $want) = @$c;
    is_deeply(read_array($kind, $aref)->{values}, $want, "$M: get${kind}Array: \\\@$name after a match gives the offsets");
}

# ---------------------------------------------------------- lvalues and ties

my @scalars = (
    # what it is                        makes it and passes it to the sub given
    [ 'a substr lvalue',                'Hello',   sub { my $s = 'Hello, world'; $_[0]->(substr($s, 0, 5)) } ],
    [ 'a pos lvalue',                   '2',       sub { my $s = 'aaa'; $s =~ /a/g; $s =~ /a/g; $_[0]->(pos($s)) } ],
    [ 'an unset pos lvalue',            undef,     sub { my $s = 'aaa'; $_[0]->(pos($s)) } ],
    [ "a tied hash's element",          'v',       sub { tie my %h, 'Tie::StdHash'; $h{k} = 'v'; $_[0]->($h{k}) } ],
    [ 'a tied scalar never fetched',    'fetched', sub { tie my $t, 'PlotruneTest::CountedScalar', 'fetched'; $_[0]->($t) } ],
    [ 'a tied scalar holding undef',    undef,     sub { tie my $t, 'PlotruneTest::CountedScalar', undef; $_[0]->($t) } ],
    [ 'a tied scalar holding a number', '2.5',     sub { tie my $t, 'PlotruneTest::CountedScalar', 2.5; $_[0]->($t) } ],
);
for my $c (@scalars) {
    my ($what, $want, $make) = @$c;
    if (defined $want) {
        is($make->(sub { $call->('getString', $_[0]) }), $want, "$M: getString: $what gives its text");
    } else {
        is(unpack('L!', $make->(sub { $call->('stringAddress', $_[0]) })), $empty,
           "$M: getString: $what reads as the constant empty text");
    }
    is_deeply($make->(sub { read_array('String', \@_)->{values} }), [ defined $want ? $want : '' ],
              "$M: getStringArray: $what as an element of \@_ gives the same");
}

{
    my $tie = tie my $t, 'PlotruneTest::CountedScalar', 'first';
    my @seen = ($call->('getString', $t));
    $tie->{value} = 'second';
    push @seen, $call->('getString', $t);
    my $perl = $t;    # Perl's own read leaves flags behind ...
    $tie->{value} = undef;
    push @seen, unpack('L!', $call->('stringAddress', $t)) == $empty ? 'empty' : 'not empty';
    $t = 'stored';    # ... and so does a store
    $tie->{value} = 'behind';
    push @seen, $call->('getString', $t);
    is_deeply([ @seen, $tie->{fetches} ], [ 'first', 'second', 'empty', 'behind', 5 ],
              "$M: getString: a tie gives its current value each read, fetched once a read");
}

# Two reads of one tie in one call: the second fetch must not rewrite the
# text the first read handed out (each FETCH gives a new value of one length,
# which Perl would store in the same buffer).
{
    package MagicTicking;
    sub TIESCALAR { my ($class) = @_; my $n = 0; return bless \$n, $class }
    sub FETCH { my ($self) = @_; return sprintf 'fetch %03d', ++$$self }
    sub STORE { }
}
{
    my $tie = tie my $t, 'MagicTicking';
    is_deeply([ split /\0/, $call->('getStringTwice', $t) ], [ 'fetch 001', 'fetch 002' ],
              "$M: getString: two reads of a tie in one call give two fetches, the first text left as it was");
}

# The array readers' argument: fetched once, then an array, no array or refused.
for my $kind (qw(Double Int String)) {
    my @cases = (
        # what it holds       value        status, values
        [ 'an array reference', [ 1, 2, 3 ], 1, expected_of($kind, 1, 2, 3) ],
        [ 'undef',             undef,       1, [] ],
        [ 'a plain string',    '1,2',       0, [] ],
    );
    for my $c (@cases) {
        my ($what, $value, $status, $want) = @$c;
        my $tie = tie my $t, 'PlotruneTest::CountedScalar', $value;
        my $r = read_array($kind, $t);
        is_deeply([ $r->{status}, $r->{values}, $tie->{fetches} ], [ $status, $want, 1 ],
                  "$M: get${kind}Array: a tied scalar holding $what, fetched once");
    }
    tie my %h, 'Tie::StdHash';
    $h{list} = [ 4, 5 ];
    is_deeply(read_array($kind, $h{list})->{values}, expected_of($kind, 4, 5),
              "$M: get${kind}Array: a tied hash's element holding an array reference reads that array");

    my @a = (6, undef, 8);    # no value flags before the tie
    tie $a[1], 'PlotruneTest::CountedScalar', 7;
    my $count = tied($a[1]);
    my @got = map { read_array($kind, \@a)->{values} } 1 .. 2;
    is_deeply([ @got, $count->{fetches} ], [ expected_of($kind, 6, 7, 8), expected_of($kind, 6, 7, 8), 2 ],
              "$M: get${kind}Array: a tied element of a plain array gives its value, fetched once a read");
}

sub expected_of { my $kind = shift; return [ map { $kind eq 'String' ? "$_" : $_ + 0 } @_ ] }

is(join('', @warnings), '', "$M: no read of an undefined magical value warned");

done_testing();
