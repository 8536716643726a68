# Loading: where boot finds the engine, what it raises when it cannot, and
# which subs exist afterwards.  Each scenario runs in a child perl, since the
# library search path is fixed when a process starts and a booted module
# cannot be unloaded.

use strict;
use warnings;
use Test::More;
use File::Copy qw(copy);
use File::Path qw(mkpath);
use File::Temp ();
use PlotruneTest;

my $b = build();
my $M = $b->{module};
my $scratch = File::Temp->newdir;
my $n = 0;

# A fresh folder holding a copy of the module and, optionally, one library
# under the engine's file name.
sub stage {
    my (%o) = @_;
    my $dir = $o{dir} || "$scratch/" . ++$n;
    mkpath($dir);
    copy($b->{module_file}, "$dir/$M.so") or die "copy: $!";
    copy($o{engine}, "$dir/libplotrune.so") or die "copy: $!" if $o{engine};
    return $dir;
}

# Boots the module file in a child; returns the parsed report.
sub boot_child {
    my ($file, %o) = @_;
    my $search = delete $o{search};
    my $times = delete $o{times} || 1;
    my $then = delete $o{then} || '';
    my ($status, $out, $err) = in_child(
        code  => "boot_report(\@ARGV); $then",
        args  => [ $file, $M, $times ],
        env   => $search ? { LD_LIBRARY_PATH => $search } : {},
        unset => $search ? [] : ['LD_LIBRARY_PATH'],
    );
    my $r = PlotruneTest::parse_report($out);
    $r->{status} = $status;
    $r->{stderr} = $err;
    $r->{stdout} = $out;
    return $r;
}

my $all_subs = join ',', sub_names();
my $missing  = qr/cannot open shared object file|No such file/;
my ($engine_dir) = $b->{engine_file} =~ m{^(.*)/};
my ($no_entry_dir) = $b->{engine_without_entry_file} =~ m{^(.*)/};
my ($lazy_dir) = $b->{engine_lazy_file} =~ m{^(.*)/};

# The message a failed load raises: a line for each library tried, with the
# loader's reason, the candidate beside the module first and then, when the
# search was tried, the name it was given.
sub load_error {
    my ($candidate, $reason, $searched) = @_;
    my $first = qr/Error loading "\Q$candidate\E" : $reason\n/;
    return qr/\A$first\z/ unless defined $searched;
    return qr/\A${first}Error loading "libplotrune\.so" : $searched\n\z/;
}

# ---------------------------------------------------------- successful loads

my @succeeds = (
    [ 'engine beside the module',              sub { stage(engine => $b->{engine_file}) },   undef ],
    [ 'engine only on the library search path', sub { stage() },                           $engine_dir ],
    [ 'engine beside needing lazy binding',     sub { stage(engine => $b->{engine_lazy_file}) }, undef ],
    [ 'folder name holding "%s" and "%n"',      sub { stage(dir => "$scratch/100%s %n dir", engine => $b->{engine_file}) }, undef ],
);
for my $case (@succeeds) {
    my ($what, $setup, $search) = @$case;
    my $dir = $setup->();
    my $r = boot_child("$dir/$M.so", search => $search,
                       then => 'print "call=", ' . $M . '::callMethod("num", 2.5), "\n"');
    is($r->{boot1}, 'ok', "$M: $what: boot succeeds")
        or diag("error: $r->{error1}\nstderr: $r->{stderr}");
    is($r->{error1}, '', "$M: $what: nothing raised");
    is($r->{returned1}, '1', "$M: $what: boot returns one true value");
    is($r->{subs}, $all_subs, "$M: $what: the five subs exist");
    like($r->{stdout}, qr/^call=2\.5$/m, "$M: $what: callMethod reaches the engine");
}

# --------------------------------------------------------------- failures

{
    my $dir = stage();
    my $r = boot_child("$dir/$M.so");
    is($r->{boot1}, 'died', "$M: no engine anywhere: boot dies");
    like($r->{error1}, load_error("$dir/libplotrune.so", ".*$missing.*", ".*$missing.*"),
         "$M: no engine anywhere: the message names both libraries tried, each with the loader's reason");
    is($r->{subs}, '', "$M: no engine anywhere: no sub exists after the failed boot");
}

{
    # The second attempt binds immediately, so a library that needs lazy
    # binding fails there; the message tells of both attempts.
    my $dir = stage();
    my $r = boot_child("$dir/$M.so", search => $lazy_dir);
    is($r->{boot1}, 'died', "$M: lazy-only engine on the search path: immediate binding refuses it");
    like($r->{error1}, load_error("$dir/libplotrune.so", ".*$missing.*", '.*plotruneSymbolNobodyDefines.*'),
         "$M: lazy-only engine on the search path: the message names the first attempt's reason and the second's");
}

for my $case ([ 'beside the module', 1 ], [ 'on the search path', 0 ]) {
    my ($where, $beside) = @$case;
    my $dir = $beside ? stage(engine => $b->{engine_without_entry_file}) : stage();
    # After the failed boot, is any library of the engine's name still mapped?
    my $r = boot_child("$dir/$M.so", search => $beside ? undef : $no_entry_dir,
                       then => 'open my $maps, "<", "/proc/self/maps" or die; '
                             . 'my %seen = map { m{(\S*/libplotrune\.so)$} ? ($1 => 1) : () } <$maps>; '
                             . 'print "mapped=", scalar(keys %seen), "\n"');
    is($r->{boot1}, 'died', "$M: library without runMethod $where: boot dies");
    like($r->{stdout}, qr/^mapped=0$/m, "$M: library without runMethod $where: it is closed again, not left open");
    my $expected = $beside ? load_error("$dir/libplotrune.so", '.*undefined symbol: runMethod.*')
                           : load_error("$dir/libplotrune.so", ".*$missing.*",
                                        "\Q$no_entry_dir\E/libplotrune\.so: undefined symbol: runMethod");
    like($r->{error1}, $expected, "$M: library without runMethod $where: the message names the library that lacks it");
    is($r->{subs}, '', "$M: library without runMethod $where: no sub exists");
}

{
    my $dir = stage();
    open my $fh, '>', "$dir/libplotrune.so" or die;
    print $fh "not a shared object\n";
    close $fh;
    my $r = boot_child("$dir/$M.so");
    like($r->{error1}, load_error("$dir/libplotrune.so", '.+', ".*$missing.*"),
         "$M: a file that is not a shared object: the loader's reason is raised");
    my ($first) = split /\n/, $r->{error1};
    unlike($first, $missing, "$M: a file that is not a shared object: its reason is not 'missing'");
}

{
    my $dir = stage(dir => "$scratch/50%s%n%d");
    my $r = boot_child("$dir/$M.so");
    like($r->{error1}, load_error("$dir/libplotrune.so", ".*$missing.*", ".*$missing.*"),
         "$M: '%' in the module's folder is raised verbatim, not read as a format");
}

SKIP: {
    # Root reads every file whatever its mode, so the loader cannot be
    # refused there: this runs only for an ordinary user.
    skip 'running as root: a file without read permission still opens', 3 if $> == 0;
    my $dir = stage(dir => "$scratch/unreadable %n%s", engine => $b->{engine_file});
    chmod 0, "$dir/libplotrune.so" or die "chmod: $!";
    my $r = boot_child("$dir/$M.so");
    is($r->{boot1}, 'died', "$M: an engine without read permission: boot dies");
    like($r->{error1}, load_error("$dir/libplotrune.so", '.*Permission denied.*', ".*$missing.*"),
         "$M: an engine without read permission: the loader's reason, '%' and all, is raised verbatim");
    is($r->{subs}, '', "$M: an engine without read permission: no sub exists");
}

# ------------------------------------------------------- long module paths

{
    # A candidate path of 1023 bytes still fits its buffer; one byte more
    # and the module does not open a cut-down path, but still tries the
    # library search.
    my $base = "$scratch/long";
    my $room = 1024 - 1 - length('/libplotrune.so');
    my $fits = $base;
    $fits .= '/' . ('d' x 200) while length($fits) + 201 <= $room;
    $fits .= '/' . ('e' x ($room - length($fits) - 1)) if length($fits) < $room - 1;
    is(length($fits), $room, 'test set-up: a folder whose candidate path is exactly 1023 bytes');
    my $dir = stage(dir => $fits, engine => $b->{engine_file});
    my $r = boot_child("$dir/$M.so");
    is($r->{boot1}, 'ok', "$M: candidate path of 1023 bytes: loads the engine beside the module")
        or diag($r->{error1});

    my $over = "${fits}x";
    $dir = stage(dir => $over, engine => $b->{engine_file});
    $r = boot_child("$dir/$M.so");
    is($r->{boot1}, 'died', "$M: candidate path of 1024 bytes: the engine beside it is not opened");
    like($r->{error1}, qr/\AError loading "\.\.\.[de\/]+x\/libplotrune\.so" : File name too long\nError loading "libplotrune\.so" : .*$missing.*\n\z/,
         "$M: candidate path of 1024 bytes: the message keeps the path's tail and the reason");
    $r = boot_child("$dir/$M.so", search => $engine_dir);
    is($r->{boot1}, 'ok', "$M: candidate path of 1024 bytes: falls back to the library search");

    my $deep = $base . ('/' . ('f' x 250)) x 6;
    $dir = stage(dir => $deep);
    $r = boot_child("$dir/$M.so");
    is($r->{boot1}, 'died', "$M: module path of 1500 bytes and no engine: boot dies");
    cmp_ok(length($r->{error1}), '<=', 1023, "$M: module path of 1500 bytes: the message fits its buffer");
    like($r->{error1}, qr/\n\z/, "$M: module path of 1500 bytes: the cut message still ends in a newline");
}

# ------------------------------------------------------------ repeated boots

{
    my $dir = stage(engine => $b->{engine_file});
    my $r = boot_child("$dir/$M.so", times => 2, then => 'print "call=", ' . $M . '::callMethod("num", 7), "\n"');
    is("$r->{boot1} $r->{boot2}", 'ok ok', "$M: a second boot in one process succeeds too");
    is($r->{subs}, $all_subs, "$M: after a second boot the five subs exist once");
    like($r->{stdout}, qr/^call=7$/m, "$M: after a second boot callMethod works");
    is($r->{stderr}, '', "$M: a second boot prints nothing");
}

{
    # A boot that failed leaves nothing behind: once the engine is there,
    # the next boot binds it.
    my $dir = stage();
    my $code = 'my ($file) = @ARGV; my $dir = $file; $dir =~ s{/[^/]*$}{};'
             . ' print "first=", (eval { PlotruneTest::boot_module($file, "' . $M . '"); 1 } ? "ok" : "died"), "\n";'
             . ' require File::Copy; File::Copy::copy($ENV{ENGINE}, "$dir/libplotrune.so") or die;'
             . ' print "second=", (eval { PlotruneTest::boot_module($file, "' . $M . '"); 1 } ? "ok" : "died:$@"), "\n";'
             . ' print "call=", ' . $M . '::callMethod("num", 3), "\n";';
    my ($status, $out) = in_child(code => $code, args => ["$dir/$M.so"],
                                  env => { ENGINE => $b->{engine_file} }, unset => ['LD_LIBRARY_PATH']);
    like($out, qr/^first=died$/m, "$M: boot without an engine fails");
    like($out, qr/^second=ok$/m, "$M: a later boot with the engine in place succeeds");
    like($out, qr/^call=3$/m, "$M: and callMethod works after it");
}

{
    # Boot ignores whatever the loader passes it.
    my $dir = stage(engine => $b->{engine_file});
    my ($status, $out) = in_child(
        code => 'my @r = PlotruneTest::boot_module($ARGV[0], $ARGV[1], $ARGV[1], "9.99", "extra", undef);'
              . ' print scalar(@r), ":", ($r[0] ? "true" : "false"), "\n"',
        args => [ "$dir/$M.so", $M ]);
    is($out, "1:true\n", "$M: boot with extra arguments returns exactly one true value");
}

done_testing();
