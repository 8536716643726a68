package PlotruneTest;

# What every test file shares: which build it tests (from the module table the
# build wrote), loading a module the way a Perl program would, calling the
# stand-in engine, decoding its replies, and running scenarios in a child
# perl where the process itself must differ (its environment, a failed boot).
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

use Config;
use File::Spec ();
use File::Temp ();
use Exporter 'import';

our @EXPORT = qw(build module_rows table_rows load load_probe call in_child boot_report read_scalar read_array
                 addresses text_address slurp project_root build_rules rules checked breach sub_names);

my $lib_dir = File::Spec->rel2abs((File::Spec->splitpath(__FILE__))[1]);
my $root = File::Spec->catdir($lib_dir, File::Spec->updir, File::Spec->updir);

# The source tree the tests belong to.
sub project_root { $root }

# What the build rules (inc/PlotruneBuild/Rules.pm) make of this perl, for
# the build under test (checked or not).
sub build_rules {
    rules();
    return PlotruneBuild::Rules::probe(\%Config::Config, checked => checked());
}

# ---------------------------------------------------------------- the build

my $build;

# Loads the build rules, and through them PlotRune and its name rule.
sub rules {
    require lib;
    lib->import("$root/inc");
    require PlotruneBuild::BuildFiles;    # and the rest of the build rules
}

# The subs every build registers, as PlotRune names them.
sub sub_names {
    require lib;
    lib->import("$root/lib");
    require PlotRune;
    return @PlotRune::SUBS;
}

# The rows of a table by its column names, as the build rules read them.
sub table_rows { require PlotruneTestFolder; PlotruneTestFolder::read_table(@_) }

# Every row of the module table of this test run.
sub module_rows {
    my $table = $ENV{PLOTRUNE_MODULES} or die "PLOTRUNE_MODULES is not set: run the tests through ctest\n";
    return table_rows($table);
}

# The row of the module under test: keys module, arch, perl,
# module_file, engine_file, engine_without_entry_file, supported.  ctest
# names it (PLOTRUNE_MODULE, PLOTRUNE_ARCH); a table of one row, as the
# tools that build for one perl make, is that row unnamed.
sub build {
    return $build if $build;
    my @rows = module_rows();
    my $module = $ENV{PLOTRUNE_MODULE};
    return $build = $rows[0] if !$module && @rows == 1;
    die "PLOTRUNE_MODULE is not set: run the tests through ctest\n" unless $module;
    my $arch = $ENV{PLOTRUNE_ARCH} || '';
    ($build) = grep { $_->{module} eq $module && (!$arch || $_->{arch} eq $arch) } @rows;
    return $build || die "no module $module ($arch) in $ENV{PLOTRUNE_MODULES}\n";
}

# Whether the build under test is the checked build, which raises every
# breach of the engine contract as an error of its own.
sub checked { build()->{checked} ? 1 : 0 }

# The start of the error the checked build raises for a breach in a routine
# (by its slot name, or runMethod) during a call of a method.
sub breach {
    my ($routine, $method) = @_;
    my $M = build()->{module};
    return defined $method ? qr/\A\Q$M\E: contract breach in \Q$routine\E \(method "\Q$method\E"\): /
                           : qr/\A\Q$M\E: contract breach in \Q$routine\E: /;
}

# ---------------------------------------------------------------- loading

# Loads a module file and runs its boot, as a build's .pm does, but with no
# check of its fit.  Returns boot's return list; dies with boot's error.
sub boot_module {
    my ($file, $module, @boot_args) = @_;
    sub_names();    # PlotRune, from this source tree
    return PlotRune::boot_file($module, $file, @boot_args);
}

my $loaded;

# Loads the module under test from its build folder, the engine beside it;
# returns its package name.
sub load {
    my $b = build();
    boot_module($b->{module_file}, $b->{module}) unless $loaded++;
    return $b->{module};
}

# A copy of the module under test in a folder of its own, with the probe
# engine (t/engines/probe_engine.c) beside it; returns the module file.
my $probe_dir;
sub probe_module_file {
    my $b = build();
    unless ($probe_dir) {
        require File::Copy;
        $probe_dir = File::Temp->newdir;
        File::Copy::copy($b->{module_file}, "$probe_dir/$b->{module}.so") or die "copy: $!\n";
        File::Copy::copy($b->{engine_probe_file}, "$probe_dir/libplotrune.so") or die "copy: $!\n";
    }
    return "$probe_dir/$b->{module}.so";
}

# Loads that copy instead of the module beside the stand-in engine; returns
# the package name.
sub load_probe {
    my $b = build();
    boot_module(probe_module_file(), $b->{module}) unless $loaded++;
    return $b->{module};
}

# callMethod of the module under test, with the caller's argument aliases.
sub call {
    my $sub = \&{ load() . '::callMethod' };
    goto &$sub;
}

# ---------------------------------------------------------------- children

# Runs perl code in a child of the perl under test.  Options: code, args,
# env (set), unset (names to remove), plain (a program of its own: only the
# switches given, not this library).  Returns (exit status, stdout, stderr).
sub in_child {
    my (%o) = @_;
    my $out = File::Temp->new;
    my $err = File::Temp->new;
    my $pid = fork;
    die "fork: $!\n" unless defined $pid;
    if (!$pid) {
        delete $ENV{$_} for @{ $o{unset} || [] };
        @ENV{ keys %{ $o{env} || {} } } = values %{ $o{env} || {} };
        open STDOUT, '>', $out->filename or die;
        open STDERR, '>', $err->filename or die;
        my @switches = $o{plain} ? @{ $o{switches} || [] } : ("-I$lib_dir", '-MPlotruneTest');
        { exec $^X, @switches, '-e', $o{code}, @{ $o{args} || [] }; }
        print STDERR "exec $^X: $!\n";
        kill 'KILL', $$;
    }
    waitpid $pid, 0;
    my $status = $? >> 8;
    return ($status, slurp($out->filename), slurp($err->filename));
}

# Child side of the load scenarios: boots a module file and prints what
# happened, one "key=value" line each (the error with its newlines as \n).
sub boot_report {
    my ($file, $module, $times) = @_;
    for my $round (1 .. ($times || 1)) {
        my @returned;
        my $ok = eval { @returned = boot_module($file, $module); 1 };
        my $error = $ok ? '' : $@;
        $error =~ s/\\/\\\\/g;
        $error =~ s/\n/\\n/g;
        print "boot$round=", ($ok ? 'ok' : 'died'), "\n";
        print "returned$round=", join(',', map { defined $_ ? $_ : 'undef' } @returned), "\n";
        print "error$round=$error\n";
    }
    no strict 'refs';
    my @subs = grep { defined &{"${module}::$_"} } sub_names();
    print "subs=", join(',', @subs), "\n";
}

# Parses boot_report's output into a hash, unescaping the error texts.
sub parse_report {
    my ($text) = @_;
    my %r;
    for my $line (split /\n/, $text) {
        my ($k, $v) = $line =~ /^(\w+)=(.*)$/ or next;
        if ($k =~ /^error/) {
            $v =~ s/\\(n|\\)/$1 eq 'n' ? "\n" : "\\"/ge;
        }
        $r{$k} = $v;
    }
    return \%r;
}

# ---------------------------------------------------------------- replies

my $address_format = 'L!';

# The address of a scalar's own string buffer (pack 'p' takes it in place).
sub text_address { unpack $address_format, pack 'p', $_[0] }

sub addresses { unpack "($address_format)*", $_[0] }

# The four scalar reads of one value: { double, int, bool, text }.
sub read_scalar {
    my $reply = call('readScalar', $_[0]);
    my %r;
    @r{qw(double int bool text)} = unpack 'd l l a*', $reply;
    return \%r;
}

# One array reader: kind is Double, Int, String or StringAddress; the value
# goes to the engine as itself (a tie stays one).
# Returns { status, count, untouched, values => [...] }.
sub read_array {
    my ($kind) = @_;
    my $method = $kind eq 'StringAddress' ? 'stringArrayAddresses' : "get${kind}Array";
    my $reply = call($method, $_[1]);
    my ($status, $count, $untouched) = unpack 'l l l', $reply;
    my $rest = substr $reply, 12;
    my @values =
          $kind eq 'Double'        ? unpack('d*', $rest)
        : $kind eq 'Int'           ? unpack('l*', $rest)
        : $kind eq 'StringAddress' ? unpack("($address_format)*", $rest)
        : $count == 1              ? ($rest)    # split gives nothing for one empty text
        : $count > 1               ? split(/\0/, $rest, -1)
        :                            ();
    return { status => $status, count => $count, untouched => $untouched, values => \@values };
}

sub slurp {
    my ($file) = @_;
    open my $fh, '<', $file or return '';
    local $/;
    my $text = <$fh>;
    return defined $text ? $text : '';
}

# ---------------------------------------------------------------- ties

# A tied scalar that counts its fetches (tied(...)->{fetches}); its value can
# be changed behind the tie.
package PlotruneTest::CountedScalar;
sub TIESCALAR { my ($class, $value) = @_; return bless { value => $value, fetches => 0 }, $class }
sub FETCH { my ($self) = @_; $self->{fetches}++; return $self->{value} }
sub STORE { my ($self, $value) = @_; $self->{value} = $value }

1;
