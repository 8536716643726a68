package PlotruneBuild::BuildFiles;

# The files the build writes for each module before it is compiled: its .pm,
# which holds what the build was made as and hands it to PlotRune's boot,
# with its POD; and the linker version script that leaves the boot symbol
# the only one exported.
#
# Kept to what Perl 5.12 understands: it runs under the perl being built for.

use strict;
use warnings;

use PlotruneBuild::Rules ();

# The .pm of one build: what it was built as (PlotRune reads these lines
# without running the file), then PlotRune's boot of it, which checks that
# the running perl has the binary interface the module was compiled for.
sub module_pm {
    my ($p) = @_;
    my ($mm) = $p->{version} =~ /^(5\.\d+)/;
    my $checked = $p->{checked} ? <<"END" : '';

# A checked build, for engine authors: every breach of the engine contract
# is raised as a Perl error naming it.
our \$CHECKED = 1;
END
    return <<"END" . module_pod($p, $mm);
package $p->{module};

# The perlplotrune module built for Perl $mm on $p->{arch}.  Written by the
# perlplotrune build; PlotRune picks this file for any perl of the binary
# interface below, whatever its archname or point release.

our \$VERSION = '$PlotruneBuild::Rules::VERSION';
$checked
# The binary interface the module file was compiled for, and the layout
# facts measured against its perl's headers.
our \$INTERFACE = '$p->{interface}';
our \$LAYOUT = '$p->{layout}';

require PlotRune;
PlotRune::boot_build(__PACKAGE__, __FILE__, \$INTERFACE);

1;

__END__
END
}

# The POD of a build's .pm: what perldoc says of it.
sub module_pod {
    my ($p, $mm) = @_;
    require PlotRune;    # the names of the subs every build registers
    no warnings 'once';
    my @names = map { "C<$_>" } @PlotRune::SUBS;
    my $subs = join(', ', @names[0 .. $#names - 1]) . " and $names[-1]";
    return <<"END";

=head1 NAME

$p->{module} - the perlplotrune module for Perl $mm on $p->{arch}

=head1 SYNOPSIS

    use PlotRune;    # loads this build when it fits the running perl

=head1 DESCRIPTION

One build of the Perl binding of the plotrune engine, compiled for perls
of the binary interface in C<\$INTERFACE>. Programs do not load it by name:
L<PlotRune> picks it and makes its subs $subs
its own. Loaded into a perl of another interface, it dies naming the
difference, before its module file is opened.

=cut
END
}

# Measures the layout with the compiler $cxx (by default the perl's own
# family's), then writes the build's .pm and its linker version script
# into $dir; returns their paths.
sub write_build_files {
    my ($p, $dir, $cxx) = @_;
    $p->{layout} = PlotruneBuild::Rules::measure($p, $cxx);
    require File::Path;
    File::Path::mkpath($dir);
    require PlotRune;
    my ($pm, $map) = ("$dir/" . PlotRune::build_files($p->{module})->{pm}, "$dir/$p->{module}.map");
    PlotruneBuild::Rules::write_text($map, "{ global: boot_$p->{module}; local: *; };\n");
    PlotruneBuild::Rules::write_text($pm, module_pm($p));
    return ($pm, $map);
}

1;
