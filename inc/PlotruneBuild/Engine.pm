package PlotruneBuild::Engine;

# The engine's install, one step for cmake --install and make install
# alike, run before anything else is installed:
#
#   perl inc/PlotruneBuild/Engine.pm NOTE-FILE DEFAULT [DESTINATION CPU] ...
#
# The engine is not ours: it is installed only when given, in
# PLOTRUNE_ENGINE (else DEFAULT, the one configured): one file, or several
# separated by ':', one per processor.  Every file given is read and one
# chosen for each folder of builds (its engine's DESTINATION and the CPU of
# its builds) before anything is copied, so that a wrong one fails the
# install before it writes.  The line an install without an engine ends
# with goes to NOTE-FILE (empty when an engine was installed).
#
# Kept to what Perl 5.12 understands: it runs under the perl being built for.

use strict;
use warnings;

use File::Spec ();
BEGIN { unshift @INC, File::Spec->rel2abs((File::Spec->splitpath(__FILE__))[1]) . '/..' }
use PlotruneBuild::Rules ();

# The processor an ELF file is for, as builds are filed, from its class
# (1: 32-bit, 2: 64-bit) and machine; dies when it cannot be read or is no
# ELF file.  The one ELF reader: tools/emulation.sh asks it of perls too.
my %elf_cpu = ('1 3' => 'i386', '2 62' => 'x86_64', '1 62' => 'x32', '2 183' => 'aarch64', '1 40' => 'arm');
sub elf_cpu {
    my ($file) = @_;
    open my $fh, '<', $file or die "cannot read $file: $!\n";
    read $fh, my $head, 20;
    die "$file is no shared library (not an ELF file)\n" unless ($head || '') =~ /\A\x7fELF.{16}\z/s;
    return $elf_cpu{ ord(substr $head, 4, 1) . ' ' . unpack('v', substr $head, 18, 2) } || 'unknown';
}

# The engine given for the builds of one processor: the one built for it,
# since an engine built for another would never load.  Reads every file
# given and dies when one cannot be read, is no shared library, or none is
# for this processor.  None given gives undef: install no engine; but
# PLOTRUNE_ENGINE given and empty ($given) is a mistake.
sub engine_for {
    my ($dir, $cpu, $engines, $given) = @_;
    die "PLOTRUNE_ENGINE is set but empty: give the path of " . PlotruneBuild::Rules::engine_file()
      . " (several separated by ':'), or leave it unset to install no engine\n"
        if $given && (!defined $engines || $engines eq '');
    return undef unless defined $engines && $engines ne '';
    my $chosen;
    for my $engine (split /:/, $engines) {
        die "PLOTRUNE_ENGINE: an empty path in '$engines'\n" if $engine eq '';
        my $its = eval { elf_cpu($engine) } // die "PLOTRUNE_ENGINE: $@";
        $chosen = $engine if !defined $chosen && $its eq $cpu;
    }
    die "PLOTRUNE_ENGINE: none of $engines is built for $cpu (" . ($cpu =~ /^(i386|x32|arm)\z/ ? 32 : 64)
      . "-bit), as the builds in $dir need\n" unless defined $chosen;
    return $chosen;
}

# Chooses an engine for each folder ([ destination, cpu ]), then copies it.
# Returns the line an install without an engine ends with, or ''.
sub install_engine {
    my ($folders, $default) = @_;
    my $given = exists $ENV{PLOTRUNE_ENGINE};
    my $engines = $given ? $ENV{PLOTRUNE_ENGINE} : $default;
    my @dirs = map { (File::Spec->splitpath($_->[0]))[1] =~ m{^(.*?)/*\z} } @$folders;
    my @chosen = map { engine_for($dirs[$_], $folders->[$_][1], $engines, $given) } 0 .. $#dirs;
    my $name = PlotruneBuild::Rules::engine_file();
    return "No engine installed: put $name in " . join(' and ', @dirs) . " (or where the system's library search "
         . "finds it), or install again with PLOTRUNE_ENGINE=/path/to/$name\n" unless @chosen && defined $chosen[0];
    require File::Copy;
    require File::Path;
    for my $i (0 .. $#chosen) {
        my ($dir, $engine) = ($dirs[$i], $folders->[$i][0]);
        File::Path::mkpath($dir);
        File::Copy::copy($chosen[$i], $engine) or die "PLOTRUNE_ENGINE: cannot copy $chosen[$i] to $dir: $!\n";
        chmod 0755, $engine;
        print "Installing engine $chosen[$i] in $dir\n";
    }
    return '';
}

sub main {
    my ($note, $default, @rest) = @_;
    die "usage: perl $0 NOTE-FILE DEFAULT [DESTINATION CPU] ...\n" unless defined $default && @rest % 2 == 0;
    # Each folder once, however many builds it holds.
    my (@folders, %seen);
    while (my ($engine, $cpu) = splice @rest, 0, 2) { push @folders, [ $engine, $cpu ] unless $seen{$engine}++ }
    PlotruneBuild::Rules::write_text($note, install_engine(\@folders, $default));
    return 0;
}

exit main(@ARGV) unless caller;

1;
