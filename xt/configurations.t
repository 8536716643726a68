# The table of supported configurations (data/configurations.tsv) and the
# name rule agree: every row names the module and tier the rule gives its
# columns, and every name of a tier is a row.

use strict;
use warnings;
use Test::More;
use PlotruneTest;
use lib project_root() . '/lib';
use PlotRune::Configuration ();

my @rows = table_rows(project_root() . '/data/configurations.tsv');
my %listed;
for my $row (@rows) {
    my %tier = map { ($_->{cpu} => $_) } @PlotRune::Configuration::TIERS;
    my %config = (version => "$row->{perl}.0", useithreads => $row->{threads} eq 'yes' ? 'define' : undef,
                  ivsize => $row->{iv_bits} / 8, ptrsize => $tier{ $row->{cpu} } ? $tier{ $row->{cpu} }{ptrsize} : 0,
                  archname => "$row->{cpu}-linux");
    my $tier = PlotRune::Configuration::tier(\%config);
    is(PlotRune::Configuration::module_name(\%config) . ' ' . ($tier ? $tier->{tier} : 'none'),
       "$row->{module} $row->{tier}", "$row->{module} on $row->{cpu}: the rule gives the table's name and tier");
    $listed{ $tier ? $tier->{tier} : 'none' }{"$row->{cpu}/$row->{module}"} = 1;
}
for my $t (@PlotRune::Configuration::TIERS) {
    my $names = (($t->{last} - $t->{first}) / 2 + 1) * @{ $t->{iv_bits} } * 2;
    is(scalar keys %{ $listed{ $t->{tier} } || {} }, $names, "tier $t->{tier}: the table lists each of its $names names once");
}

done_testing();
