package PlotRune;

# The one name Perl programs use for the plotrune engine:
#
#   use PlotRune qw(callMethod);
#   my $result = callMethod('method', @arguments);
#
# Its import loads the build of perlplotrune that fits the running
# interpreter (without use: require PlotRune; PlotRune->import;).  The
# build's name follows from the perl's version, IV width and threads
# (PlotRune->module); of the builds of that name in @INC it takes the first
# compiled for this perl's binary interface, whatever the archname or point
# release of the perl that built it.  It makes the build's five subs
# PlotRune's own: the same subs, not wrappers, so a call through PlotRune
# costs what a call of the build's sub costs.  A build of another
# interface is never loaded: it would corrupt the interpreter.
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

use Config ();
use PlotRune::Configuration ();

our $VERSION = '5.01';

my @subs = qw(callMethod major_ver minor_ver copyright id);

my $module = PlotRune::Configuration::module_name(\%Config::Config);
my $cpu = PlotRune::Configuration::cpu(\%Config::Config);

sub module { $module }

# The folder of every build in the library folders of @INC: PlotRune/<cpu>.
sub build_folders {
    my @folders;
    for my $lib (grep { !ref } @INC) {
        opendir my $dh, "$lib/PlotRune" or next;
        push @folders, map { [ $_, "$lib/PlotRune/$_" ] } grep { !/^\./ && -d "$lib/PlotRune/$_" } sort readdir $dh;
        closedir $dh;
    }
    return @folders;
}

# What a build's .pm says of itself, read without running it: its version
# and the interface its module file was compiled for.
sub describe_build {
    my ($file) = @_;
    open my $fh, '<', $file or return;
    my %said;
    while (my $line = <$fh>) {
        $said{version} = $1 if $line =~ /^our \$VERSION = '([^']*)';/;
        $said{interface} = $1 if $line =~ /^our \$INTERFACE = '([^']*)';/;
        last if defined $said{version} && defined $said{interface};
    }
    close $fh;
    return \%said;
}

# "perlplotrune516 (/opt/plotrune/lib/perl5/PlotRune/i386)", for the
# builds near the one wanted: this name on another processor, and the other
# builds of this Perl series on this one.
sub near_builds {
    my ($series) = $module =~ /^(perlplotrune5\d\d)/;
    my (@near, $others, %seen);
    for my $folder (build_folders()) {
        my ($folder_cpu, $dir) = @$folder;
        opendir my $dh, $dir or next;
        for my $name (sort map { /^(perlplotrune\w+)\.pm\z/ ? $1 : () } readdir $dh) {
            next if $seen{"$dir/$name"}++;
            if ($name eq $module ? $folder_cpu ne $cpu : $folder_cpu eq $cpu && index($name, $series) == 0) {
                push @near, "$name ($dir)";
            } else {
                $others++;
            }
        }
        closedir $dh;
    }
    return (\@near, $others || 0);
}

sub from_source {
    "Build one for this perl from the perlplotrune sources: perl Makefile.PL && make && make test && make install\n";
}

# The one message when no build in @INC fits this perl.  $refused: the
# builds of this name found and why each did not fit.
sub missing {
    my (@refused) = @_;
    my $this = PlotRune::Configuration::describe(\%Config::Config);
    my $beyond = PlotRune::Configuration::supported(\%Config::Config) ? ''
        : "; beyond the supported set, $PlotRune::Configuration::SUPPORTED_SET";
    my $interface = PlotRune::Configuration::interface_text(PlotRune::Configuration::interface(\%Config::Config));
    my $text = "PlotRune: no build for this perl: it wants $module ($this$beyond; interface $interface)";
    if (@refused) {
        $text .= ", and the ones in \@INC do not fit:\n" . join '', map { "  $_\n" } @refused;
    } else {
        my ($near, $others) = near_builds();
        $text .= ", which is not installed in \@INC.\n"
               . 'Builds near it in @INC: ' . (@$near ? join(', ', @$near) : 'none')
               . ($others ? " (and $others of other Perl series or processors)" : '') . ".\n";
    }
    return $text . from_source();
}

# The first build of this name in @INC that fits: its .pm, or dies with
# the one message.
sub find_build {
    my @refused;
    my %seen;
    for my $lib (grep { !ref } @INC) {
        my $file = "$lib/PlotRune/$cpu/$module.pm";
        next unless -f $file;
        require File::Spec;
        $file = File::Spec->rel2abs($file);
        next if $seen{$file}++;
        my $said = describe_build($file) or do { push @refused, "$file: cannot read it: $!"; next };
        if (!defined $said->{version} || $said->{version} ne $VERSION) {
            push @refused, "$file: a build of version " . (defined $said->{version} ? $said->{version} : 'unknown')
                         . ", and this PlotRune is $VERSION: install PlotRune and its builds from one release";
            next;
        }
        my $why = PlotRune::Configuration::misfit(
            PlotRune::Configuration::parse_interface(defined $said->{interface} ? $said->{interface} : ''),
            \%Config::Config);
        return $file if $why eq '';
        push @refused, "$file: $why";
    }
    die missing(@refused);
}

# Loads the build once; every later import answers as the first did.  Its
# error is the build's own message (an engine that did not load) or the
# missing-build message, as it is: the build's .pm runs through do, not
# require, which would append its own line to any error raised inside.
my ($loaded, $error);
sub load {
    return 1 if $loaded;
    die $error if defined $error;
    my $key = "$module.pm";
    no strict 'refs';
    # A program that loaded the build by its own name first: booted already.
    unless ($INC{$key} && defined &{"${module}::callMethod"}) {
        my $path = eval { find_build() };
        die $error = $@ unless defined $path;
        $INC{$key} = $path;
        {
            local $@;
            $error = $@ ne '' ? $@ : "PlotRune: cannot read $path: $!\n" unless defined do $path;
        }
        if (defined $error) {
            delete $INC{$key};
            die $error;
        }
    }
    *{"PlotRune::$_"} = \&{"${module}::$_"} for @subs;
    return $loaded = 1;
}

# use PlotRune qw(callMethod id): loads the build, then gives the caller
# the subs it names; none by default.
sub import {
    my ($class, @names) = @_;
    my %known = map { ($_ => 1) } @subs;
    if (my @unknown = grep { !$known{$_} } @names) {
        require Carp;
        Carp::croak("PlotRune does not export " . join(', ', map { "'$_'" } @unknown)
                  . "; it exports " . join(', ', @subs));
    }
    load();
    my $caller = caller;
    no strict 'refs';
    *{"${caller}::$_"} = \&{"PlotRune::$_"} for @names;
    return;
}

1;
