# Installed and shipped: a plain program under this perl finds its own build
# through PlotRune in the one tree that holds every build, is told plainly
# when its build is missing, never loads a build of another configuration,
# hears the engine's own message when the engine does not load, and loads
# the same way from the shipped archive once unpacked.

use strict;
use warnings;
use Test::More;
use Config;
use File::Copy qw(copy);
use File::Path qw(mkpath);
use File::Spec;
use File::Temp ();
use PlotruneTest;

my $b = build();
my $M = $b->{module};
my $tree = $ENV{PLOTRUNE_TREE};
plan skip_all => 'PLOTRUNE_TREE is not set: the install fixture did not run' unless $tree;

my $p = build_rules();
my $layout = PlotruneBuild::Rules::tree_layout($p);
my $scratch = File::Temp->newdir;

my $report = 'print join("\n", PlotRune->module, PlotRune::id(), PlotRune::callMethod("num", 2.5),'
           . ' \&PlotRune::callMethod == \&{PlotRune->module . "::callMethod"} ? "aliased" : "wrapped",'
           . ' $INC{PlotRune->module . ".pm"}), "\n"';

# A plain program: only the switches and environment given reach it.
sub plain {
    my (%o) = @_;
    my ($status, $out, $err) = in_child(plain => 1, switches => $o{switches} || [], code => $o{code},
                                        env => $o{env} || {}, unset => [qw(PERL5LIB PERL5OPT LD_LIBRARY_PATH)]);
    return { status => $status, lines => [ split /\n/, $out ], stderr => $err };
}

sub loads_from {
    my ($what, $lib, %o) = @_;
    my @ways = (
        [ '-I',       { switches => ["-I$lib"] } ],
        [ 'PERL5LIB', { env => { PERL5LIB => $lib } } ],
        [ 'use lib',  { code_prefix => "use lib '$lib';" } ],
    );
    for my $way (@ways) {
        my ($how, $w) = @$way;
        my $r = plain(switches => $w->{switches}, env => { %{ $w->{env} || {} }, %{ $o{env} || {} } },
                      code => ($w->{code_prefix} || '') . "use PlotRune; $report");
        is_deeply([ @{ $r->{lines} }[0 .. 3] ], [ $M, $M, '2.5', 'aliased' ],
                  "$M: $what, through $how: use PlotRune loads this build, its subs aliased, and reaches the engine")
            or diag($r->{stderr});
        is($r->{lines}[4], File::Spec->rel2abs("$lib/$p->{archname}/$M.pm"),
           "$M: $what, through $how: from this perl's archname folder");
    }
}

# ---------------------------------------------------------- the one tree

loads_from('the install tree', "$tree/lib/perl5");
{
    # A program that loaded the build by its own name first: not booted twice.
    my $r = plain(switches => [ '-w', "-I$tree/lib/perl5" ], code => "use $M; use PlotRune; $report");
    is_deeply([ @{ $r->{lines} }[0 .. 3], $r->{stderr} ], [ $M, $M, '2.5', 'aliased', '' ],
              "$M: use PlotRune after use $M aliases the subs already there, without a second boot");
}

SKIP: {
    # A CMake install writes the tree's manifest; make test stages its tree from blib.
    my $manifest = $ENV{PLOTRUNE_TREE_MANIFEST};
    skip 'this tree has no manifest (staged by make test)', 3 unless $manifest;
    my (%listed, %checked);
    for my $line (split /\n/, slurp($manifest)) {
        my @f = split /\t/, $line;
        $listed{"$f[1] $f[6]"} = 1 if $f[0] eq 'build';
        $checked{"$f[1] $f[6]"} = $f[8] if $f[0] eq 'build';
    }
    ok($listed{"$M $p->{archname}"}, "$M: the tree's manifest lists this build and its archname");
    is($checked{"$M $p->{archname}"}, checked(), "$M: the tree's manifest says whether the build is checked");
    my @built = map { (split /\t/)[0] } grep { !/^module\t/ } split /\n/, slurp($ENV{PLOTRUNE_MANIFEST});
    is_deeply([ sort map { (split ' ')[0] } keys %listed ], [ sort @built ],
              "$M: every module built is in the one tree, side by side");
}
ok(-f "$tree/$layout->{pm}" && -f "$tree/$layout->{so}", "$M: the tree holds its .pm and module file in the archname folder");
SKIP: {
    my $dynamic = `readelf -d "$tree/$layout->{so}" 2>&1`;
    skip 'readelf is not available', 1 if $?;
    is_deeply([ grep { /\((NEEDED|RPATH|RUNPATH)\)/ } split /\n/, $dynamic ], [],
              "$M: the installed module file records no needed library and no search path");
}

# ---------------------------------------------------------- a missing build

{
    # Builds of other configurations only: this name for another
    # architecture, and another name in this perl's own folder.  Neither may
    # be loaded; both are listed.
    my $other_name = $M =~ /mt\z/ ? substr($M, 0, -2) : "${M}mt";
    my $lib = "$scratch/other/lib/perl5";
    my %decoys = ("$lib/elsewhere-linux/$M.pm" => $M, "$lib/$p->{archname}/$other_name.pm" => $other_name);
    for my $file (sort keys %decoys) {
        (my $dir = $file) =~ s{/[^/]+\z}{};
        mkpath($dir);
        open my $fh, '>', $file or die "$file: $!";
        print $fh "die 'decoy $decoys{$file} loaded';\n1;\n";
        close $fh;
    }
    mkpath("$lib/PlotRune");
    copy("$tree/lib/perl5/$_", "$lib/$_") or die "copy $_: $!" for PlotruneBuild::Rules::perl_files();

    my $r = plain(switches => ["-I$lib"], code => 'use PlotRune; print "loaded\n"');
    isnt($r->{status}, 0, "$M: with only other configurations' builds, use PlotRune fails");
    unlike($r->{stderr}, qr/decoy/, "$M: no build of another configuration is loaded");
    my $shape = quotemeta("Perl $Config{version}, ");
    like($r->{stderr}, qr/^PlotRune: no build for this perl: it wants \Q$M\E \($shape.*\Q$p->{archname}\E/,
         "$M: the message names the build wanted and this perl's version and shape");
    like($r->{stderr}, qr/^Builds found in \@INC: .*\Q$M ($lib\/elsewhere-linux)\E/m,
         "$M: it lists the build of this name for another architecture");
    like($r->{stderr}, qr/^Builds found in \@INC: .*\Q$other_name ($lib\/$p->{archname})\E/m,
         "$M: it lists the build of another configuration beside it");
    if ($b->{supported}) {
        unlike($r->{stderr}, qr/beyond the supported set/, "$M: a supported perl is not called beyond the set");
    } else {
        like($r->{stderr}, qr/beyond the supported set, Perl 5\.12 to 5\.22 on 32-bit x86/,
             "$M: it says this perl is beyond the supported set");
    }
}

{
    # A build of this name reached through another architecture's folder
    # given directly: its .pm refuses before the module file is opened.
    my $dir = "$scratch/foreign";
    mkpath("$dir/auto/$M");
    open my $fh, '>', "$dir/$M.pm" or die $!;
    print $fh PlotruneBuild::Rules::module_pm({ %$p, archname => 'elsewhere-linux' });
    close $fh;
    copy("$tree/$layout->{so}", "$dir/auto/$M/$M.so") or die "copy: $!";
    my $r = plain(switches => ["-I$dir"], code => "use $M; print 'loaded'");
    isnt($r->{status}, 0, "$M: a .pm of this name built for another archname does not load");
    like($r->{stderr}, qr/^\Q$M\E was built for Perl 5\.\d+ elsewhere-linux .*not for this perl .*: not loaded$/m,
         "$M: it says for which perl it was built");
}

# ---------------------------------------------------------- an engine that does not load

{
    my $base = "$scratch/no-engine";
    my $lib = "$base/lib/perl5";
    mkpath([ "$lib/PlotRune", "$base/$layout->{auto}" ]);
    copy("$tree/$_", "$base/$_") or die "copy $_: $!" for @$layout{qw(pm so)};
    copy("$tree/lib/perl5/$_", "$lib/$_") or die "copy $_: $!" for PlotruneBuild::Rules::perl_files();
    my $engine = "$base/$layout->{auto}/libplotrune.so";
    my $r = plain(switches => ["-I$lib"],
                  code => 'require PlotRune; for (1, 2) { eval { PlotRune->import }; print "[$@]\n" }');
    my $expected = qr/\A\[Error loading "\Q$engine\E" : [^\n]*(cannot open shared object file|No such file)[^\n]*\n\]\z/;
    my @errors = split /(?<=\])\n/, join "\n", @{ $r->{lines} };
    like($errors[0], $expected, "$M: PlotRune lets the engine's message through unchanged");
    is($errors[1], $errors[0], "$M: a second import answers with the same message");
    $r = plain(switches => ["-I$lib"], code => 'use PlotRune;');
    like($r->{stderr}, qr/\AError loading "\Q$engine\E" : [^\n]*\nBEGIN failed--compilation aborted at -e line 1\.\n\z/,
         "$M: under use, only perl's own line follows the engine's message");
}

# ---------------------------------------------------------- the shipped archive

SKIP: {
    my $package = $ENV{PLOTRUNE_PACKAGE};
    skip 'PLOTRUNE_PACKAGE is not set: no archive was made', 5 unless $package;
    # A checked tree is shipped apart, under a name of its own.
    like($package, checked() ? qr{/perlplotrune-checked-[^/]*\.tar\.xz\z} : qr{/perlplotrune-\d[^/]*\.tar\.xz\z},
         "$M: the archive's name says whether its builds are checked");
    my $dir = "$scratch/unpacked";
    mkpath($dir);
    {
        # tar and xz are not ours to sanitize: the leak checker preloaded for
        # the module's sake would fail them at exit.
        local $ENV{LD_PRELOAD};
        delete $ENV{LD_PRELOAD};
        system('tar', '-xJf', $package, '-C', $dir) == 0 or die "tar: $?";
    }
    my ($top) = glob("$dir/*");
    my (%sums, %builds);
    for my $line (split /\n/, slurp("$top/perlplotrune-manifest.tsv")) {
        my @f = split /\t/, $line;
        $sums{$f[2]} = $f[1] if $f[0] eq 'sha256';
        $builds{"$f[1] $f[6]"} = 1 if $f[0] eq 'build';
    }
    my @files = map { substr $_, length("$top/") } grep { !/perlplotrune-manifest\.tsv\z/ }
                split /\n/, `find "$top" -type f`;
    is_deeply([ sort keys %sums ], [ sort @files ], "$M: the archive's manifest lists every file in it");
    my @bad;
    for my $file (sort keys %sums) {
        my ($sum) = split ' ', `sha256sum "$top/$file"`;
        push @bad, $file unless defined $sum && $sum eq $sums{$file};
    }
    is_deeply(\@bad, [], "$M: every file's SHA-256 matches the manifest");
    ok($builds{"$M $p->{archname}"}, "$M: the archive's manifest lists this build");
    # The archive ships no engine: it is found on the library search path.
    (my $engine_dir = $b->{engine_file}) =~ s{/[^/]+\z}{};
    my $r = plain(switches => ["-I$top/lib/perl5"], env => { LD_LIBRARY_PATH => $engine_dir },
                  code => "use PlotRune; $report");
    is_deeply([ @{ $r->{lines} }[0 .. 2] ], [ $M, $M, '2.5' ], "$M: the unpacked archive loads this build")
        or diag($r->{stderr});
}

done_testing();
