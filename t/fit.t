# Which perls a build fits: those of the binary interface it was compiled
# for, whatever their archname, point release or hardening flags; any other
# is refused with a message that names each difference.  And which perls
# are of the supported set: the names of its tiers, each with its
# standard interface.

use strict;
use warnings;
use Test::More;
use Config;
use PlotruneTest;

build_rules();    # puts the rules, and so PlotRune::Configuration, in reach
my $M = build()->{module};
my %this = %Config;
my $built = PlotRune::Configuration::interface(\%this);
my ($series) = $Config{version} =~ /^(5\.\d+)\./;
my ($point) = $Config{version} =~ /\.(\d+)\z/;
my ($cpu_word, $rest) = $Config{archname} =~ /^([^-]+)(.*)\z/;
my $other_series = $series eq '5.22' ? '5.20' : '5.22';
my $yes = sub { ($_[0] || '') eq 'define' ? undef : 'define' };

# Name of the case, the change to this perl's Config, what the refusal
# says of this perl (undef: it fits).
my @cases = (
    [ 'another point release',             { version => "$series." . ($point + 7) }, undef ],
    [ 'another archname',                  { archname => ($cpu_word =~ /^i[3-6]86\z/ ? 'i586' : $cpu_word) . '-linux-gnu-other' }, undef ],
    [ "a distribution's hardening flags",  { ccflags => "$Config{ccflags} -D_FORTIFY_SOURCE=2 -fstack-protector-strong -D_GNU_SOURCE -fexceptions" }, undef ],
    [ 'another prefix and a shared libperl', { installprefix => '/opt/elsewhere', useshrplib => 'true', libperl => 'libperl.so' }, undef ],
    [ 'another Perl series',               { version => "$other_series.1" }, "Perl $other_series" ],
    [ 'threads the other way',             { useithreads => $yes->($Config{useithreads}) },
      ($Config{useithreads} || '') eq 'define' ? 'no interpreter threads' : 'interpreter threads' ],
    [ 'multiplicity the other way, and threads with it', { useithreads => $yes->($Config{usemultiplicity}), usemultiplicity => $yes->($Config{usemultiplicity}) },
      ($Config{usemultiplicity} || '') eq 'define' ? 'no multiplicity' : 'multiplicity' ],
    [ 'another IV size',                   { ivsize => 12 - $Config{ivsize} }, ($Config{ivsize} == 4 ? 'an 8' : 'a 4') . '-byte IV' ],
    [ 'a long double NV',                  { nvsize => 16, nvtype => 'long double' }, 'a 16-byte NV (long double)' ],
    [ 'another pointer size',              { ptrsize => 12 - $Config{ptrsize} }, (12 - $Config{ptrsize}) . '-byte pointers' ],
    [ 'narrower file offsets',             { lseeksize => 4 }, '4-byte file offsets' ],
    [ 'another alignment',                 { alignbytes => 16 }, '16-byte alignment' ],
    [ 'a DEBUGGING perl',                  { ccflags => "$Config{ccflags} -DDEBUGGING" }, '-DDEBUGGING' ],
    [ 'another processor',                 { archname => "sparc64$rest" }, 'the sparc64 processor' ],
    # Every define counts, unless the rule shows it harmless.
    [ 'the harmless defines of distributions', { ccflags => "$Config{ccflags} -DDEBIAN -D_FORTIFY_SOURCE=3 -Wp,-D_GLIBCXX_ASSERTIONS "
                                                   . '-DPERL_USE_SAFE_PUTENV -DPERL_UTF8_CACHE_ASSERT -D_THREAD_SAFE' }, undef ],
    [ 'a wider mark stack offset',         { ccflags => "$Config{ccflags} -DPERL_STACK_OFFSET_SSIZET" }, '-DPERL_STACK_OFFSET_SSIZET' ],
    [ 'longer scalar heads, in cppflags only', { cppflags => "$Config{cppflags} -DDEBUG_LEAKING_SCALARS" }, '-DDEBUG_LEAKING_SCALARS' ],
    [ 'a define passed with -Wp,',         { ccflags => "$Config{ccflags} -Wp,-DPERL_PERTURB_KEYS_RANDOM" }, '-DPERL_PERTURB_KEYS_RANDOM' ],
    [ 'a define nobody has seen',          { optimize => "$Config{optimize} -DPERL_SOMETHING_NEW=2" }, '-DPERL_SOMETHING_NEW=2' ],
    [ 'a define taken away',               { ccflags => "$Config{ccflags} -UPERL_HASH_USE_SBOX32" }, '-UPERL_HASH_USE_SBOX32' ],
);
# A perl built with defines of its own has them named beside the new one,
# and one it has already is no change.
my %mine = map { (/^-U/ ? $_ : "-D$_") => 1 } PlotRune::Configuration::defines(\%this);
$_->[2] = undef for grep { defined $_->[2] && $mine{ $_->[2] } } @cases;
for my $case (@cases) {
    my ($what, $change, $says) = @$case;
    my $why = PlotRune::Configuration::misfit($built, { %this, %$change });
    if (!defined $says) {
        is($why, '', "$M: a perl with $what fits");
    } else {
        # (x86_64 with 4-byte pointers is another processor too: x32)
        like($why, qr/(?:^|; )built for [^;]*, this perl has (?:-[DU]\S+ )*\Q$says\E(?: -[DU]\S+)*(?:;|\z)/,
             "$M: a perl with $what is refused, naming the difference");
    }
}
{
    my $why = PlotRune::Configuration::misfit($built, { %this, ivsize => 12 - $Config{ivsize}, nvsize => 16, nvtype => 'long double' });
    is(scalar(() = $why =~ /built for/g), 2, "$M: two differences are both named");
    my $i = PlotRune::Configuration::interface_text($built);
    is_deeply(PlotRune::Configuration::parse_interface($i), $built, "$M: the interface reads back from its one line: $i");
}

# What the build measured against its perl's headers when it was built
# (its .pm's $LAYOUT), against what the rule says of that perl: a rule that
# let through a define that moves a field fails here, not in a corrupted
# interpreter.  Without defines of its own, a perl has the standard scalar
# head (a pointer, two 32-bit words, and a pointer or IV) and 32-bit marks.
{
    (my $pm = build()->{module_file}) =~ s/\.so\z/.pm/;
    my ($line) = slurp($pm) =~ /^our \$LAYOUT = '([^']*)';/m;
    my %layout = map { split /=/ } split ' ', defined $line ? $line : '';
    my $ptr = $Config{ptrsize};
    my @facts = (
        [ 'its IV',               iv => $Config{ivsize} ],
        [ 'its NV',               nv => $Config{nvsize} ],
        [ "a double's 53 digits", nv_digits => ($Config{nvtype} || 'double') eq 'double' ? 53 : undef ],
        [ 'the standard scalar head', sv_head => $built->{defines} eq 'none' ? $ptr + 8 + ($ptr > $Config{ivsize} ? $ptr : $Config{ivsize}) : undef ],
        [ '32-bit marks',         mark => $built->{defines} eq 'none' ? 4 : undef ],
    );
    is(defined $layout{interpreter} ? 'yes' : 'no', $built->{multiplicity},
       "$M: measured an interpreter structure exactly where the rule says multiplicity");
    for my $fact (grep { defined $_->[2] } @facts) {
        my ($what, $key, $want) = @$fact;
        is($layout{$key}, $want, "$M: measured $what ($key) as the rule says of this perl");
    }
}

# The supported set, from a reference perl of each tier: 32-bit x86, and
# x86_64 and aarch64 (whose alignment is 8).
my %i386 = (version => '5.16.3', archname => 'i686-linux-thread-multi', useithreads => 'define',
            usemultiplicity => 'define', ivsize => 4, nvsize => 8, nvtype => 'double', ptrsize => 4,
            uselargefiles => 'define', lseeksize => 8, alignbytes => 4,
            ccflags => '-D_REENTRANT -D_GNU_SOURCE -fwrapv -D_LARGEFILE_SOURCE -D_FILE_OFFSET_BITS=64');
my %x86_64 = (%i386, version => '5.40.1', archname => 'x86_64-linux-thread-multi', ivsize => 8, ptrsize => 8,
              alignbytes => 8);
my @set = (
    [ 'the reference 5.16 with threads',       \%i386, {}, 1 ],
    [ 'the same as a distribution builds it',  \%i386, { archname => 'i386-linux-thread-multi', version => '5.16.1',
                                                 ccflags => "$i386{ccflags} -D_FORTIFY_SOURCE=2 -fstack-protector-strong" }, 1 ],
    [ 'without threads and with a 64-bit IV',  \%i386, { useithreads => undef, usemultiplicity => undef, ivsize => 8 }, 1 ],
    [ 'a long double NV',                      \%i386, { nvsize => 12, nvtype => 'long double' }, 0 ],
    [ 'multiplicity without threads',          \%i386, { useithreads => undef }, 0 ],
    [ 'no large-file support',                 \%i386, { uselargefiles => undef, lseeksize => 4, ccflags => '-D_REENTRANT' }, 0 ],
    [ 'multiplicity from -DMULTIPLICITY alone', \%i386, { useithreads => undef, usemultiplicity => undef,
                                                 ccflags => "$i386{ccflags} -DMULTIPLICITY" }, 0 ],
    [ 'multiplicity from -DPERL_IMPLICIT_CONTEXT in cppflags', \%i386, { useithreads => undef, usemultiplicity => undef,
                                                 cppflags => '-DPERL_IMPLICIT_CONTEXT' }, 0 ],
    [ 'DEBUGGING',                             \%i386, { ccflags => '-DDEBUGGING' }, 0 ],
    [ 'Perl 5.24 on 32-bit x86',               \%i386, { version => '5.24.0' }, 0 ],
    [ 'Perl 5.10',                             \%i386, { version => '5.10.1' }, undef ],
    [ '5.16 with 64-bit pointers',             \%i386, { ptrsize => 8, archname => 'x86_64-linux-thread-multi', alignbytes => 8 }, 0 ],
    [ 'the reference x86_64 5.40 with threads', \%x86_64, {}, 1 ],
    [ 'x86_64 5.24 without threads',           \%x86_64, { version => '5.24.4', useithreads => undef, usemultiplicity => undef }, 1 ],
    [ "Debian 12's 5.36",                      \%x86_64, { version => '5.36.0', archname => 'x86_64-linux-gnu-thread-multi',
                                                 ccflags => "$i386{ccflags} -DDEBIAN -D_FORTIFY_SOURCE=2 -fstack-protector-strong" }, 1 ],
    [ 'x86_64 5.40 without large-file support', \%x86_64, { uselargefiles => undef, ccflags => '-D_REENTRANT -D_GNU_SOURCE' }, 1 ],
    [ 'x86_64 5.40 with -DPERL_UTF8_CACHE_ASSERT', \%x86_64, { ccflags => "$i386{ccflags} -DPERL_UTF8_CACHE_ASSERT" }, 1 ],
    [ 'x86_64 5.40 with -DPERL_STACK_OFFSET_SSIZET', \%x86_64, { ccflags => "$i386{ccflags} -DPERL_STACK_OFFSET_SSIZET" }, 0 ],
    [ 'x86_64 5.36 with -DDEBUG_LEAKING_SCALARS', \%x86_64, { version => '5.36.0', ccflags => "$i386{ccflags} -DDEBUG_LEAKING_SCALARS" }, 0 ],
    [ 'x86_64 5.32 with -DPERL_PERTURB_KEYS_RANDOM', \%x86_64, { version => '5.32.1', ccflags => "$i386{ccflags} -DPERL_PERTURB_KEYS_RANDOM" }, 0 ],
    [ 'x86_64 5.22',                           \%x86_64, { version => '5.22.4' }, 0 ],
    [ 'x86_64 5.42',                           \%x86_64, { version => '5.42.3' }, 1 ],
    [ 'x86_64 5.44, newer than the set',       \%x86_64, { version => '5.44.0' }, 0 ],
    [ 'x86_64 5.39, a development series',     \%x86_64, { version => '5.39.9' }, 0 ],
    [ 'x86_64 with a 32-bit IV',               \%x86_64, { ivsize => 4 }, 0 ],
    [ 'x86_64 with 4-byte alignment',          \%x86_64, { alignbytes => 4 }, 0 ],
    [ 'x86_64 with a long double NV',          \%x86_64, { nvsize => 16, nvtype => 'long double' }, 0 ],
    [ 'x86_64 5.30 with 4-byte pointers (x32)', \%x86_64, { version => '5.30.0', ptrsize => 4, alignbytes => 4 }, 0 ],
    [ 'Perl 5.30 on 32-bit x86',               \%i386, { version => '5.30.3' }, 0 ],
    [ "Debian 12's arm64 5.36",                \%x86_64, { version => '5.36.0', archname => 'aarch64-linux-gnu-thread-multi' }, 1 ],
    [ 'aarch64 5.22',                          \%x86_64, { version => '5.22.4', archname => 'aarch64-linux' }, 0 ],
    [ 'aarch64 with a 16-byte long double NV', \%x86_64, { archname => 'aarch64-linux-ld', nvsize => 16, nvtype => 'long double' }, 0 ],
);
# Only a series past the newest of the set is called newer than it.
for my $case ([ '5.44.0', 1 ], [ '5.43.1', 1 ], [ '5.42.3', 0 ], [ '5.36.0', 0 ], [ '5.22.4', 0 ]) {
    my ($version, $newer) = @$case;
    for my $reference (\%i386, \%x86_64) {
        is(PlotRune::Configuration::newer_series({ %$reference, version => $version }), $newer,
           "Perl $version on $reference->{archname} is " . ($newer ? '' : 'not ') . 'newer than the supported set');
    }
}

for my $case (@set) {
    my ($what, $reference, $change, $supported) = @$case;
    my $got = eval { PlotRune::Configuration::supported({ %$reference, %$change }) };
    if (defined $supported) {
        is($got, $supported, "a perl of $what is " . ($supported ? '' : 'not ') . 'in the supported set');
    } else {
        like($@, qr/older than 5\.12/, "a perl of $what is refused as too old");
    }
}

# The table of supported configurations lists exactly the names of the
# tiers, each in its tier: the build checks one row, this checks them all.
{
    my @rows = table_rows(project_root() . '/data/configurations.tsv');
    my (%by_tier, @wrong);
    for my $row (@rows) {
        my %config = (%{ $row->{cpu} eq 'i386' ? \%i386 : \%x86_64 }, version => "$row->{perl}.0", ivsize => $row->{iv_bits} / 8,
                      useithreads => $row->{threads} eq 'yes' ? 'define' : undef, archname => "$row->{cpu}-linux");
        $config{usemultiplicity} = $config{useithreads};
        my $tier = PlotRune::Configuration::tier(\%config);
        $by_tier{ $row->{tier} }++;
        push @wrong, "$row->{module} ($row->{cpu})"
            unless $tier && $tier->{tier} eq $row->{tier} && PlotRune::Configuration::module_name(\%config) eq $row->{module}
                && PlotRune::Configuration::supported(\%config);
    }
    is_deeply(\@wrong, [], "every row of the table is a supported name of the rule, in the rule's tier");
    is_deeply(\%by_tier, { 1 => 24, 2 => 20, 3 => 20 }, 'the table holds the 24 names of tier 1 and the 20 of tiers 2 and 3');
}

done_testing();
