package PlotruneStress;

# What the reliability tests share: loop counts that shrink under valgrind
# and under i386 emulation,
# the resident size of the process, and Perl-side values that fight back
# (ties and overloads whose conversions die, or run Perl code of their own).
#
# Kept to what Perl 5.12 understands.

use strict;
use warnings;
use Exporter 'import';

our @EXPORT = qw(scaled resident_kb growth_kb);
our @EXPORT_OK = qw(slowdown);

# valgrind runs perl some fifty times slower, and a 32-bit perl under
# user-mode emulation (qemu-i386 through binfmt_misc, where the kernel runs
# no i386 code) some ten to twenty times: loops meant to take a second take
# a fraction of their length there (never fewer than $min rounds).
sub under_valgrind { $ENV{PLOTRUNE_UNDER_VALGRIND} ? 1 : 0 }

# A 32-bit x86 or an aarch64 perl while a binfmt_misc handler for programs
# of its processor is enabled: such a handler takes precedence over the
# kernel's own loader, so this very process is emulated.
my $emulated;
sub under_emulation {
    return $emulated if defined $emulated;
    require Config;
    $emulated = 0;
    my $magic = $Config::Config{ptrsize} == 4 && $Config::Config{archname} =~ /^i[3-6]86-/
                  ? '7f454c4601010100000000000000000002000300'
              : $Config::Config{archname} =~ /^aarch64-/ ? '7f454c460201010000000000000000000200b700'
              : return $emulated;
    for my $handler (glob '/proc/sys/fs/binfmt_misc/*') {
        next if $handler =~ m{/(?:register|status)\z};
        open my $fh, '<', $handler or next;
        local $/;
        my $text = <$fh>;
        $emulated = 1 if $text =~ /^enabled$/m && $text =~ /^magic $magic$/m;
    }
    return $emulated;
}

sub slowdown { under_valgrind() ? 50 : under_emulation() ? 10 : 1 }

sub scaled {
    my ($n, $min) = @_;
    my $small = int($n / slowdown());
    $min = 1 unless defined $min;
    return $small < $min ? $min : $small;
}

# Resident size in KB, from /proc/self/statm; undef where that is not to be
# had or means nothing: valgrind keeps its own heap, and AddressSanitizer
# holds freed blocks back in quarantine, so the size grows without a leak.
sub resident_kb {
    return undef if under_valgrind() || ($ENV{LD_PRELOAD} || '') =~ /libasan/;
    open my $fh, '<', '/proc/self/statm' or return undef;
    my $line = <$fh>;
    close $fh;
    my (undef, $resident) = split ' ', $line;
    return undef unless defined $resident;
    my $page = eval { require POSIX; POSIX::sysconf(POSIX::_SC_PAGESIZE()) } || 4096;
    return $resident * $page / 1024;
}

# Runs $code $rounds times after as many rounds of warm-up (so that the
# interpreter's own pools and stacks have reached their size) and returns how
# many KB the resident size grew over the measured rounds; undef when it
# cannot be measured.
sub growth_kb {
    my ($code, $rounds) = @_;
    $code->() for 1 .. $rounds;
    my $before = resident_kb();
    $code->() for 1 .. $rounds;
    my $after = resident_kb();
    return defined $before && defined $after ? $after - $before : undef;
}

# Boots a module file in several interpreter threads at once, started
# before any of them has it, each calling the engine as soon as its boot is
# done, while the others still boot: prints "thread N: SUM" for each
# (callMethod("num", i) summed over 1 .. calls), or why it died.  Run in a
# perl of its own (t/threads.t, and tools/drd.sh under DRD).
sub concurrent_boots {
    my ($file, $module, $threads, $calls) = @_;
    require threads;
    require threads::shared;
    require PlotruneTest;
    PlotruneTest::sub_names();    # PlotRune, loaded before the threads are
    my $go = 0;
    threads::shared::share(\$go);
    my @workers = map {
        my $id = $_;
        threads->create(sub {
            { lock $go; threads::shared::cond_wait(\$go) until $go; }
            PlotRune::boot_file($module, $file);
            no strict 'refs';
            my $call = \&{"${module}::callMethod"};
            my $sum = 0;
            $sum += $call->('num', $_) for 1 .. $calls;
            return $sum;
        });
    } 1 .. $threads;
    { lock $go; $go = 1; threads::shared::cond_broadcast(\$go); }
    for my $i (0 .. $#workers) {
        my $sum = $workers[$i]->join;
        print "thread ", $i + 1, ": ", defined $sum ? $sum : 'died: ' . ($workers[$i]->error || 'unknown'), "\n";
    }
}

# ---------------------------------------------------------------- ties

# A tied scalar whose FETCH dies with the given error once it has been
# fetched $after times (0: at once).
package PlotruneStress::DyingScalar;
sub TIESCALAR { my ($class, $error, $after) = @_; bless { error => $error, after => $after || 0, calls => 0 }, $class }
sub FETCH { my $self = shift; die $self->{error} if $self->{calls}++ >= $self->{after}; return 7 }
sub STORE { }

# A tied array of $size elements that dies in FETCH of element $at, or in
# FETCHSIZE when $at is 'size'.
package PlotruneStress::DyingArray;
sub TIEARRAY { my ($class, $error, $size, $at) = @_; bless { error => $error, size => $size, at => $at }, $class }
sub FETCHSIZE { my $self = shift; die $self->{error} if $self->{at} eq 'size'; return $self->{size} }
sub FETCH { my ($self, $i) = @_; die $self->{error} if $self->{at} ne 'size' && $i == $self->{at}; return $i + 0.5 }
sub STORE { }
sub STORESIZE { }

# An object whose numeric, string and boolean conversions all die.
package PlotruneStress::DyingObject;
use overload
    '0+'   => sub { die $_[0]{error} },
    '""'   => sub { die $_[0]{error} },
    'bool' => sub { die $_[0]{error} },
    fallback => 1;
sub new { my ($class, $error) = @_; bless { error => $error }, $class }

1;
