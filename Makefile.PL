# The CPAN way, for one perl and no CMake:
#
#   perl Makefile.PL [CHECKED=1] && make && make test && make install
#
# builds the module for the perl that runs this, tests it with the stand-in
# engine, and installs it with PlotRune.pm into that perl's site folders (or
# INSTALL_BASE=DIR, DESTDIR=...).  CHECKED=1 makes the checked build for
# engine authors, every rule of the engine contract checked: install it apart
# (INSTALL_BASE=...).  Its name, flags, .pm and layout are the build rules'
# (inc/), as for CMake; inc/PlotruneBuild/MakeMaker.pm hands them to MakeMaker.
#
# Kept to what Perl 5.12 understands.

use strict;
use warnings;

use Config;
use ExtUtils::MakeMaker;
use lib 'inc', 't/lib';
use PlotruneBuild::MakeMaker;
use PlotruneBuild::Rules;

# Ours, not MakeMaker's, which would warn about an argument it does not know.
my $checked = 0;
@ARGV = grep { /^CHECKED=(.*)\z/ ? do { $checked = $1 ? 1 : 0; 0 } : 1 } @ARGV;

my $p = PlotruneBuild::Rules::probe(\%Config, checked => $checked);
print PlotruneBuild::Rules::summary($p, $^X), "\n";

# The MakeMaker of Perl 5.12 (6.56) knows no TEST_REQUIRES: there the tests'
# needs count as the build's.
my %test_requires = ('Test::More' => 0, 'App::Prove' => 0, 'File::Temp' => 0, 'Pod::Checker' => 0,
                     'ExtUtils::MakeMaker' => 0);

WriteMakefile(
    NAME               => 'PlotRune',
    VERSION_FROM       => 'lib/PlotRune.pm',
    ABSTRACT_FROM      => 'lib/PlotRune.pm',
    AUTHOR             => 'The perlplotrune developers',
    # The copyright notice reserves every right (LICENSE).
    LICENSE            => 'restricted',
    MIN_PERL_VERSION   => '5.012',
    CONFIGURE_REQUIRES => { 'ExtUtils::MakeMaker' => 0 },
    PREREQ_PM          => { 'File::Spec' => 0 },
    (eval { ExtUtils::MakeMaker->VERSION('6.64'); 1 } ? 'TEST_REQUIRES' : 'BUILD_REQUIRES') => \%test_requires,
    # No modules of the distribution's own there (MakeMaker adds inc and t).
    META_MERGE         => { no_index => { directory => [qw(cmake data bench demo fuzz tools xt)] } },
    # The Perl files, the build's .pm, the manual pages, the clean-up.
    PlotruneBuild::MakeMaker::args($p),
);

# What MakeMaker cannot say: the module's compile and link, the test
# engines, the engine's install.
sub MY::postamble { PlotruneBuild::MakeMaker::postamble($_[0], $p) }

# The whole suite by the tests' own command, in the tests' folder.
sub MY::test { PlotruneBuild::MakeMaker::test($_[0], $p) }

{
    package MY;
    # Nothing is installed before the engine given has been read and chosen.
    sub install { my $mm = shift; PlotruneBuild::MakeMaker::install($mm, $mm->SUPER::install(@_)) }
}
