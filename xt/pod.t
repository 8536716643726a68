# The documentation Perl programmers read (perldoc PlotRune): every .pm in
# lib/ carries POD without a fault Pod::Checker (or Test::Pod, where it is
# installed) finds, with the sections a module's documentation is looked up
# by and an entry for every function it offers.  The build's own .pm, as the
# build rules write it for this perl, checked or not, holds no faulty POD
# either.

use strict;
use warnings;
use Test::More;
use File::Find ();
use Pod::Checker ();
use File::Temp ();
use Config ();
use PlotruneTest;

my $root = project_root();

# Pod::Checker's verdict on one file: (errors, or -1 for no POD; warnings;
# its report).
sub check {
    my ($file) = @_;
    my $checker = Pod::Checker->new(-warnings => 2);
    my $report = '';
    open my $out, '>', \$report or die "cannot write to a string: $!\n";
    $checker->parse_from_file($file, $out);
    close $out;
    return ($checker->num_errors, $checker->num_warnings, $report);
}

sub slurp_pod {
    my ($file) = @_;
    my $text = slurp($file);
    return join "\n", $text =~ /^(=(?:head\d|item) .*)$/mg;
}

# What each documented file must hold: its package in NAME, the sections,
# and an =item for each function.
my %documented = (
    'lib/PlotRune.pm' => {
        package  => 'PlotRune',
        sections => [ 'NAME', 'SYNOPSIS', 'DESCRIPTION', 'IMPORTS', 'SEE ALSO' ],
        items    => [ sub_names() ],
    },
    'lib/PlotRune/Configuration.pm' => {
        package  => 'PlotRune::Configuration',
        sections => [ 'NAME', 'SYNOPSIS', 'DESCRIPTION', 'SEE ALSO' ],
        items    => [qw(module_name interface misfit cpu supported describe shape)],
    },
);

my @lib;
File::Find::find({ no_chdir => 1, wanted => sub { push @lib, $_ if /\.pm\z/ } }, "$root/lib");
@lib = sort map { my $f = $_; $f =~ s{^\Q$root\E/}{}; $f } @lib;
is_deeply(\@lib, [ sort keys %documented ], 'every .pm in lib/ is one this test knows the documentation of');

for my $file (@lib) {
    my ($errors, $warnings, $report) = check("$root/$file");
    is($errors, 0, "$file: POD present, and Pod::Checker finds no error") or diag($report);
    is($warnings, 0, "$file: Pod::Checker finds nothing to warn about") or diag($report);
    my $want = $documented{$file} or next;
    my $text = slurp("$root/$file");
    like($text, qr/^=head1 NAME\s+\Q$want->{package}\E - \S/m, "$file: NAME gives the package and what it is");
    my %headings = map { $_ => 1 } slurp_pod("$root/$file") =~ /^=head1 (.+)$/mg;
    my @missing = grep { !$headings{$_} } @{ $want->{sections} };
    is_deeply(\@missing, [], "$file: has the sections " . join(', ', @{ $want->{sections} }));
    # An item may name several functions: "=item major_ver(), minor_ver()".
    my %items = map { $_ => 1 } map { /(\w+)\(/g } slurp_pod("$root/$file") =~ /^=item (.+)$/mg;
    my @undocumented = grep { !$items{$_} } @{ $want->{items} };
    is_deeply(\@undocumented, [], "$file: documents " . join(', ', @{ $want->{items} }));
    like($text, qr/^__END__\n(?:(?!^package ).)*^=head1 NAME/ms, "$file: the POD follows __END__");
}

rules();
for my $checked (0, 1) {
    my $p = PlotruneBuild::Rules::probe(\%Config::Config, checked => $checked);
    my $dir = File::Temp->newdir;
    my ($pm) = PlotruneBuild::BuildFiles::write_build_files($p, "$dir");
    my ($errors, undef, $report) = check($pm);
    ok($errors <= 0, "$p->{module}.pm, as the build writes it" . ($checked ? ' checked' : '') . ': no faulty POD')
        or diag($report);
}

SKIP: {
    skip 'Test::Pod is not installed', scalar @lib unless eval { require Test::Pod; Test::Pod->VERSION(1.22); 1 };
    Test::Pod::pod_file_ok("$root/$_", "$_: Test::Pod finds it well formed") for @lib;
}

done_testing();
