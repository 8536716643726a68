package PlotRune;

# The one name Perl programs use for the plotrune engine:
#
#   use PlotRune;
#   my $result = PlotRune::callMethod('method', @arguments);
#
# Its import loads the build of perlplotrune made for the running
# interpreter (without use: require PlotRune; PlotRune->import;).  The name
# follows from its version, IV width and threads: PlotRune->module.  It makes
# the build's five subs PlotRune's own: the same subs, not wrappers, so a call
# through PlotRune costs what a call of the build's sub costs.  No other
# build is ever loaded: one made for another configuration would corrupt the
# interpreter.
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

use Config ();
use File::Spec ();
use PlotRune::Configuration ();

our $VERSION = '5.01';

my $module = PlotRune::Configuration::module_name(\%Config::Config);

sub module { $module }

# Every build in @INC, this perl's or not, as "name (folder)": the per-build
# .pm files in each folder and in its subfolders (the archname folders of an
# install tree).
sub builds_found {
    my (@found, %seen);
    my $scan = sub {
        my ($dir, $deeper) = @_;
        opendir my $dh, $dir or return;
        for my $entry (sort readdir $dh) {
            next if $entry =~ /^\./;
            my $path = "$dir/$entry";
            if ($entry =~ /^(perlplotrune\w+)\.pm\z/) {
                push @found, "$1 ($dir)" unless $seen{$path}++;
            } elsif ($deeper && -d $path) {
                push @{ $deeper }, $path;
            }
        }
        closedir $dh;
    };
    for my $dir (grep { !ref } @INC) {
        my @below;
        $scan->($dir, \@below);
        $scan->($_, undef) for @below;
    }
    return @found;
}

sub missing {
    my $this = PlotRune::Configuration::describe(\%Config::Config);
    my $beyond = PlotRune::Configuration::supported(\%Config::Config) ? ''
        : "; beyond the supported set, $PlotRune::Configuration::SUPPORTED_SET";
    my @found = builds_found();
    return "PlotRune: no build for this perl: it wants $module ($this$beyond), "
         . "which is not installed in \@INC.\n"
         . 'Builds found in @INC: ' . (@found ? join(', ', @found) : 'none') . ".\n";
}

# Loads the build once; every later import answers as the first did.  Its
# error is the build's own message (an engine that did not load) or the
# missing-build message, as it is: the build's .pm runs through do, not
# require, which would append its own line to any error raised inside.
my ($loaded, $error);
sub load {
    return 1 if $loaded;
    die $error if defined $error;
    my $file = "$module.pm";
    no strict 'refs';
    # A program that loaded the build by its own name first: booted already.
    unless ($INC{$file} && defined &{"${module}::callMethod"}) {
        my ($dir) = grep { !ref && -f "$_/$file" } @INC;
        if (!defined $dir) {
            die $error = missing();
        }
        my $path = File::Spec->rel2abs("$dir/$file");
        $INC{$file} = $path;
        {
            local $@;
            $error = $@ ne '' ? $@ : "PlotRune: cannot read $path: $!\n" unless defined do $path;
        }
        if (defined $error) {
            delete $INC{$file};
            die $error;
        }
    }
    *{"PlotRune::$_"} = \&{"${module}::$_"} for qw(callMethod major_ver minor_ver copyright id);
    return $loaded = 1;
}

sub import { load() }

1;
