# Installed and shipped: a plain program under this perl finds its own build
# through PlotRune in the one tree that holds every build, whatever the
# archname that tree's perls had; takes the first build of its name that
# fits its binary interface and refuses the others, naming the difference;
# is told plainly when its build is missing; hears the engine's own message
# when the engine does not load; and loads the same way from the shipped
# archive once unpacked.  An install never loses its engine silently.

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
my $cpu = $p->{arch};
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

sub write_file {
    my ($file, $text) = @_;
    (my $dir = $file) =~ s{/[^/]+\z}{};
    mkpath($dir);
    open my $fh, '>', $file or die "$file: $!";
    print $fh $text;
    close $fh or die "$file: $!";
}

# A library folder of its own with PlotRune.pm and the name rule in it.
sub library {
    my ($name) = @_;
    my $lib = "$scratch/$name/lib/perl5";
    mkpath("$lib/PlotRune");
    copy("$tree/lib/perl5/$_", "$lib/$_") or die "copy $_: $!" for PlotruneBuild::Rules::perl_files();
    return $lib;
}

# This build's .pm as the build writes it, for an interface changed by %change.
sub build_pm {
    my (%change) = @_;
    my $i = PlotRune::Configuration::parse_interface($p->{interface});
    return PlotruneBuild::BuildFiles::module_pm({ %$p, interface => PlotRune::Configuration::interface_text({ %$i, %change }) });
}

# The build lines of a tree's manifest, by the column names of its header.
sub tree_builds { table_rows($_[0], qr/^# build\t/) }

# ---------------------------------------------------------- the one tree

for my $way ([ '-I', { switches => ["-I$tree/lib/perl5"] } ],
             [ 'PERL5LIB', { env => { PERL5LIB => "$tree/lib/perl5" } } ],
             [ 'use lib', { prefix => "use lib '$tree/lib/perl5';" } ]) {
    my ($how, $w) = @$way;
    my $r = plain(switches => $w->{switches}, env => $w->{env}, code => ($w->{prefix} || '') . "use PlotRune; $report");
    is_deeply([ @{ $r->{lines} }[0 .. 3] ], [ $M, $M, '2.5', 'aliased' ],
              "$M: the install tree, through $how: use PlotRune loads this build, its subs aliased, and reaches the engine")
        or diag($r->{stderr});
    is($r->{lines}[4], File::Spec->rel2abs("$tree/$layout->{pm}"), "$M: through $how: from the $cpu folder of the tree");
}
{
    # A program that loaded the build by its own name first: not booted twice.
    my $r = plain(switches => [ '-w', "-I$tree/lib/perl5", "-I$tree/$layout->{dir}" ], code => "use $M; use PlotRune; $report");
    is_deeply([ @{ $r->{lines} }[0 .. 3], $r->{stderr} ], [ $M, $M, '2.5', 'aliased', '' ],
              "$M: use PlotRune after use $M aliases the subs already there, without a second boot");
}
{
    my $r = plain(switches => ["-I$tree/lib/perl5"],
                  code => 'use PlotRune qw(callMethod id); print join(",", id(), callMethod("num", 1.5),'
                        . ' defined &main::major_ver ? "major_ver too" : "only those"), "\n"');
    is($r->{lines}[0], "$M,1.5,only those", "$M: use PlotRune with a list imports the subs it names, and no other")
        or diag($r->{stderr});
    $r = plain(switches => ["-I$tree/lib/perl5"], code => 'use PlotRune qw(callMethod frobnicate); print "ran\n"');
    is_deeply([ $r->{lines}, $r->{stderr} =~ /^PlotRune does not export 'frobnicate'; it exports \Q${\ join(', ', sub_names())}\E at -e line 1\.?$/m ? 1 : 0 ],
              [ [], 1 ], "$M: an unknown name is refused at compile time, by name") or diag($r->{stderr});
    $r = plain(switches => ["-I$tree/lib/perl5"], code => "use PlotRune $PlotRune::Configuration::VERSION; print PlotRune::major_ver(), '.', PlotRune::minor_ver()");
    is($r->{lines}[0], '5.1', "$M: use PlotRune with its own version loads, and the build says 5.1") or diag($r->{stderr});
}

SKIP: {
    # A CMake install writes the tree's manifest; make test stages its tree from blib.
    my $manifest = $ENV{PLOTRUNE_TREE_MANIFEST};
    skip 'this tree has no manifest (staged by make test)', 4 unless $manifest;
    my %interface = map { (PlotRune::Configuration::parse_interface($_->{interface})->{cpu} . "/$_->{module}" => $_->{interface}) }
                    tree_builds($manifest);
    is($interface{"$cpu/$M"}, $p->{interface}, "$M: the tree's manifest records the interface this build was compiled for");
    my ($line) = grep { $_->{module} eq $M && $_->{interface} eq $p->{interface} } tree_builds($manifest);
    is($line->{checked}, checked(), "$M: the tree's manifest says whether the build is checked");
    my @built = map { "$_->{arch}/$_->{module}" } module_rows();
    is_deeply([ sort keys %interface ], [ sort @built ], "$M: every module built is in the one tree, side by side");
    my %cpus = map { (split m{/})[0] => 1 } @built;
    my @engines = sort grep { /libplotrune\.so\z/ } split /\n/, `find "$tree" -name libplotrune.so`;
    is_deeply(\@engines, [ map { "$tree/lib/perl5/PlotRune/$_/libplotrune.so" } sort keys %cpus ],
              "$M: the tree holds one engine for each processor, in the folder its builds share");
}
ok(-f "$tree/$layout->{pm}" && -f "$tree/$layout->{so}", "$M: the tree holds its .pm and module file in the $cpu folder");
SKIP: {
    my $dynamic = `readelf -d "$tree/$layout->{so}" 2>&1`;
    skip 'readelf is not available', 1 if $?;
    is_deeply([ grep { /\((NEEDED|RPATH|RUNPATH)\)/ } split /\n/, $dynamic ], [],
              "$M: the installed module file records no needed library and no search path");
}

# ---------------------------------------------------------- builds that do not fit

{
    # The first build of this name that fits is taken: a copy in a folder
    # ahead of the tree, compiled for another interface (its module file is
    # no module: were it opened, the error would say so), is passed over.
    my $lib = library('misfit');
    my ($nv, $said) = $Config{nvsize} == 8 ? ('12-long-double', '12-byte NV \(long double\)') : ('8-double', '8-byte NV \(double\)');
    write_file("$lib/PlotRune/$cpu/$M.pm", build_pm(nvsize => $nv));
    write_file("$lib/PlotRune/$cpu/$M.so", "not a module\n");
    my $r = plain(switches => [ "-I$lib", "-I$tree/lib/perl5" ], code => "use PlotRune; $report");
    is($r->{lines}[4], File::Spec->rel2abs("$tree/$layout->{pm}"),
       "$M: a build of this name for another interface is passed over for the next one that fits") or diag($r->{stderr});

    $r = plain(switches => ["-I$lib"], code => 'use PlotRune; print "loaded\n"');
    my $shape = quotemeta("Perl $Config{version}, ");
    like($r->{stderr}, qr/\APlotRune: no build for this perl: it wants \Q$M\E \($shape.*interface \Q$p->{interface}\E\), and the ones in \@INC do not fit:\n  \Q$lib\E\/PlotRune\/\Q$cpu\/$M\E\.pm: built for an? $said, this perl has an? $Config{nvsize}-byte NV \(\Q$Config{nvtype}\E\)\nBuild one for this perl from the perlplotrune sources: perl Makefile\.PL && make && make test && make install\n/,
         "$M: alone, it is refused before anything is loaded, in one message that names the difference");

    $r = plain(switches => ["-I$lib"], code => "do '$lib/PlotRune/$cpu/$M.pm'; print \$@");
    like($r->{lines}[0], qr/^\Q$M\E does not fit this perl: built for an? $said, this perl has .*: not loaded$/,
         "$M: its own .pm refuses this perl before opening the module file");

    (my $old = build_pm()) =~ s/^our \$VERSION = '[^']*'/our \$VERSION = '0.01'/m;
    write_file("$lib/PlotRune/$cpu/$M.pm", $old);
    $r = plain(switches => ["-I$lib"], code => 'use PlotRune;');
    like($r->{stderr}, qr/^  \Q$lib\E\/PlotRune\/\Q$cpu\/$M\E\.pm: a build of version 0\.01, and this PlotRune is 5\.01: install PlotRune and its builds from one release$/m,
         "$M: a build of another version is refused, naming both versions");
}

{
    # Builds of other configurations only: this name for another processor,
    # another of this Perl series on this one (both near), and one of
    # another series (only counted).  None is loaded.
    my $lib = library('other');
    my ($series) = $M =~ /^(perlplotrune5\d\d)/;
    my $sibling = $M eq $series ? "${series}mt" : $series;
    my $far = $series eq 'perlplotrune512' ? 'perlplotrune514' : 'perlplotrune512';
    my %decoys = ("$lib/PlotRune/sparc64/$M.pm" => $M, "$lib/PlotRune/$cpu/$sibling.pm" => $sibling,
                  "$lib/PlotRune/$cpu/$far.pm" => $far);
    write_file($_, "die 'decoy $decoys{$_} loaded';\n1;\n") for keys %decoys;
    my $r = plain(switches => ["-I$lib"], code => 'use PlotRune; print "loaded\n"');
    isnt($r->{status}, 0, "$M: with only other configurations' builds, use PlotRune fails");
    unlike($r->{stderr}, qr/decoy/, "$M: no build of another configuration is loaded");
    my $shape = quotemeta("Perl $Config{version}, ");
    like($r->{stderr}, qr/\APlotRune: no build for this perl: it wants \Q$M\E \($shape.*\Q$Config{archname}\E.*interface \Q$p->{interface}\E\), which is not installed in \@INC\.\n/,
         "$M: the message names the build wanted, this perl's shape and its interface");
    my ($near) = $r->{stderr} =~ /^Builds near it in \@INC: (.*)$/m;
    is_deeply([ sort split /, | \(and /, defined $near ? $near : '' ],
              [ sort "$M ($lib/PlotRune/sparc64)", "$sibling ($lib/PlotRune/$cpu)", '1 of other Perl series or processors).' ],
              "$M: it lists this name for another processor and this series' other builds, and only counts the rest");
    like($r->{stderr}, qr/^Build one for this perl from the perlplotrune sources: perl Makefile\.PL && make && make test && make install$/m,
         "$M: it says how to build one for this perl");
    if ($b->{supported}) {
        unlike($r->{stderr}, qr/beyond the supported set/, "$M: a supported perl is not called beyond the set");
    } else {
        my $why = PlotRune::Configuration::newer_series(\%Config) ? 'its series is newer than' : 'beyond';
        no warnings 'once';    # the set is PlotRune::Configuration's, read once here
        like($r->{stderr}, qr/\Q$why\E the supported set, \Q$PlotRune::Configuration::SUPPORTED_SET\E/,
             "$M: it says this perl is $why the supported set");
    }
}

{
    # Nothing of this name or series on this processor (a perl of a series
    # outside the supported set, say): the message names the nearest builds
    # instead, this shape in the closest series below and above here and
    # this series on another processor, and only counts the rest.
    my $lib = library('nearest');
    my ($minor, $shape) = $M =~ /^perlplotrune5(\d\d)(\w*)\z/;
    my $other_shape = $shape eq '' ? 'mt' : '';
    my %name = (below => "perlplotrune5" . ($minor - 2) . $shape, farther => "perlplotrune5" . ($minor - 4) . $shape,
                above => "perlplotrune5" . ($minor + 6) . $shape, shape => "perlplotrune5" . ($minor - 2) . $other_shape,
                elsewhere => "perlplotrune5$minor$other_shape");
    my %decoys = (map({ ("$lib/PlotRune/$cpu/$name{$_}.pm" => $name{$_}) } qw(below farther above shape)),
                  "$lib/PlotRune/sparc64/$name{elsewhere}.pm" => $name{elsewhere});
    write_file($_, "die 'decoy $decoys{$_} loaded';\n1;\n") for keys %decoys;
    my $r = plain(switches => ["-I$lib"], code => 'use PlotRune; print "loaded\n"');
    unlike($r->{stderr}, qr/decoy/, "$M: with builds of other series only, none is loaded");
    my ($near) = $r->{stderr} =~ /^Builds near it in \@INC: (.*)$/m;
    is_deeply([ sort split /, | \(and /, defined $near ? $near : '' ],
              [ sort "$name{below} ($lib/PlotRune/$cpu)", "$name{above} ($lib/PlotRune/$cpu)",
                     "$name{elsewhere} ($lib/PlotRune/sparc64)", '2 of other Perl series or processors).' ],
              "$M: it names the nearest series of its shape on each side and its series elsewhere, and counts the rest")
        or diag($r->{stderr});
}

# ---------------------------------------------------------- an engine that does not load

{
    my $lib = library('no-engine');
    mkpath("$lib/PlotRune/$cpu");
    copy("$tree/$layout->{$_}", "$lib/PlotRune/$cpu/$M.$_") or die "copy $_: $!" for qw(pm so);
    my $engine = "$lib/PlotRune/$cpu/libplotrune.so";
    my $r = plain(switches => ["-I$lib"],
                  code => 'require PlotRune; for (1, 2) { eval { PlotRune->import }; print "[$@]\n" }');
    my $missing = qr/[^\n]*(?:cannot open shared object file|No such file)[^\n]*\n/;
    my $expected = qr/\A\[Error loading "\Q$engine\E" : ${missing}Error loading "libplotrune\.so" : $missing\]\z/;
    my @errors = split /(?<=\])\n/, join "\n", @{ $r->{lines} };
    like($errors[0], $expected, "$M: PlotRune lets the engine's message through unchanged");
    is($errors[1], $errors[0], "$M: a second import answers with the same message");
    $r = plain(switches => ["-I$lib"], code => 'use PlotRune;');
    like($r->{stderr}, qr/\AError loading "\Q$engine\E" : [^\n]*\nError loading "libplotrune\.so" : [^\n]*\nBEGIN failed--compilation aborted at -e line 1\.\n\z/,
         "$M: under use, only perl's own line follows the engine's message");
}

# ---------------------------------------------------------- installing the engine

SKIP: {
    # Once, for the first build of a CMake build folder: every module goes
    # into a scratch prefix.
    my ($first) = module_rows();
    skip 'the engine install is checked once per CMake build folder', 5
        unless $ENV{PLOTRUNE_TREE_MANIFEST} && $first->{module} eq $M && $first->{arch} eq $cpu;
    (my $build_dir = $ENV{PLOTRUNE_MODULES}) =~ s{/[^/]+\z}{};
    write_file("$scratch/not-a-library.so", "text\n");
    my $install = sub {
        my ($env, $prefix) = @_;
        local %ENV = %ENV;
        delete $ENV{PLOTRUNE_ENGINE};
        delete $ENV{LD_PRELOAD};
        %ENV = (%ENV, %$env);
        my $out = `cmake --install "$build_dir" --prefix "$prefix" 2>&1`;
        return ($? >> 8, $out, -d $prefix ? scalar(grep { -f } split /\n/, `find "$prefix"`) : 0);
    };
    # CMake folds long messages: the words are matched across any white space.
    for my $case ([ 'an empty PLOTRUNE_ENGINE', '', 'PLOTRUNE_ENGINE is set but empty' ],
                  [ 'a file that is no library', "$scratch/not-a-library.so", 'is no shared library (not an ELF file)' ],
                  [ 'a file that is not there', "$scratch/absent.so", "cannot read $scratch/absent.so" ]) {
        my ($what, $engine, $words) = @$case;
        my $said = join('\s+', map { quotemeta } split ' ', $words) . '.*Nothing\s+was\s+installed';
        my ($status, $out, $files) = $install->({ PLOTRUNE_ENGINE => $engine }, "$scratch/prefix-" . length $engine);
        ok($status != 0 && $out =~ /$said/s && $files == 0, "cmake --install with $what fails, says why, and writes nothing")
            or diag("status $status, $files files:\n$out");
    }
    my ($status, $out) = $install->({}, "$scratch/prefix-none");
    like($out, qr/No engine installed: put libplotrune\.so in \Q$scratch\E\/prefix-none\/lib\/perl5\/PlotRune\/\w+.*\n\z/,
         'cmake --install without an engine ends saying where one must go');
    # Under DESTDIR, as distributions stage a package, the manifest lists every file all the same.
    $install->({ DESTDIR => "$scratch/stage" }, '/opt/plotrune');
    my @sums = grep { /^sha256\t/ } split /\n/, slurp("$scratch/stage/opt/plotrune/perlplotrune-manifest.tsv");
    is(scalar @sums, scalar(grep { !/manifest/ } split /\n/, `find "$scratch/stage" -type f`),
       'cmake --install under DESTDIR: the manifest gives the SHA-256 of every other file');
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
    my %sums = map { /^sha256\t(\w+)\t(.*)$/ ? ($2 => $1) : () } split /\n/, slurp("$top/perlplotrune-manifest.tsv");
    my @interfaces = map { $_->{interface} } tree_builds("$top/perlplotrune-manifest.tsv");
    my @files = map { substr $_, length("$top/") } grep { !/perlplotrune-manifest\.tsv\z/ }
                split /\n/, `find "$top" -type f`;
    is_deeply([ sort keys %sums ], [ sort @files ], "$M: the archive's manifest lists every file in it");
    my @bad;
    for my $file (sort keys %sums) {
        my ($sum) = split ' ', `sha256sum "$top/$file"`;
        push @bad, $file unless defined $sum && $sum eq $sums{$file};
    }
    is_deeply(\@bad, [], "$M: every file's SHA-256 matches the manifest");
    ok(grep({ $_ eq $p->{interface} } @interfaces), "$M: the archive's manifest lists this build's interface");
    # This archive ships no engine: it is found on the library search path.
    (my $engine_dir = $b->{engine_file}) =~ s{/[^/]+\z}{};
    my $r = plain(switches => ["-I$top/lib/perl5"], env => { LD_LIBRARY_PATH => $engine_dir },
                  code => "use PlotRune; $report");
    is_deeply([ @{ $r->{lines} }[0 .. 2] ], [ $M, $M, '2.5' ], "$M: the unpacked archive loads this build")
        or diag($r->{stderr});
}

done_testing();
