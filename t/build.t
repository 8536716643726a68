# The build itself: the module's name follows from its perl's configuration,
# the file exports only its boot symbol and depends on no library, and the
# information subs answer the same in every build.

use strict;
use warnings;
use Test::More;
use Config;
use File::Spec;
use File::Temp ();
use PlotruneTest;

my $b = build();
my $M = $b->{module};
my $file = $b->{module_file};

# ---------------------------------------------------------- the name

my ($minor) = $Config{version} =~ /^5\.(\d+)\./;
my $expected = sprintf('perlplotrune5%02d', $minor)
             . ($Config{ivsize} == 8 ? 'i64' : '')
             . (($Config{useithreads} || '') eq 'define' ? 'mt' : '');
is($M, $expected, "$M: the module name follows from this perl's version, IV size and threads");

# One of the supported names, with that name's standard interface: the 24
# of 32-bit x86 (4-byte alignment), or the 20 of x86_64 or of aarch64 (a
# 64-bit IV, 8-byte alignment).
my $x86_64 = $Config{archname} =~ /^(x86_64|aarch64)-/ && $Config{ptrsize} == 8;
my $in_range = $minor % 2 == 0 && ($x86_64 ? $minor >= 24 && $minor <= 42 && $Config{ivsize} == 8
                                           : $minor >= 12 && $minor <= 22 && $Config{archname} =~ /^i[3-6]86-/);
# No define but those of the C library and distributions' marks.
my @defines = grep { /^-[DU]/ } split ' ', join ' ', grep { defined } @Config{qw(ccflags cppflags optimize)};
my $standard = $Config{nvsize} == 8 && $Config{lseeksize} == 8 && $Config{alignbytes} == ($x86_64 ? 8 : 4)
            && ($Config{usemultiplicity} || '') eq ($Config{useithreads} || '')
            && !grep { !/^-D(?:_GNU_SOURCE|_REENTRANT|_FORTIFY_SOURCE|_LARGEFILE_SOURCE|_FILE_OFFSET_BITS|__GNUC__|DEBIAN|PERL_UTF8_CACHE_ASSERT)(?:=|\z)/ } @defines;
is(!!$b->{supported}, !!($in_range && $standard), "$M: the build knows whether it is one of the supported configurations");

{
    # The build rules, run again under this perl, name the same build.
    my $root = project_root();
    my @lines = split /\n/, `"$^X" "$root/inc/PlotruneBuild/Command.pm" describe`;
    my %said;
    @said{ split /\t/, $lines[0] } = split /\t/, $lines[1];
    is($said{module}, $M, "$M: the configuration probe gives this module name under this perl");
    is($said{supported}, $b->{supported}, "$M: the configuration probe agrees on being supported");
}

# ---------------------------------------------------------- the file

# Not ours to sanitize: the sanitizer build's preloaded leak checker fails them.
sub tool {
    my ($command) = @_;
    local $ENV{LD_PRELOAD} = '';
    my $out = `$command 2>&1`;
    return $? == 0 ? $out : undef;
}

SKIP: {
    my $symbols = tool(qq{nm -D --defined-only "$file"});
    skip 'nm is not available', 1 unless defined $symbols;
    my @exported = map { (split ' ')[-1] } grep { /\s[A-Za-z]\s/ } split /\n/, $symbols;
    is_deeply(\@exported, ["boot_$M"], "$M: the module file exports its boot symbol and nothing else");
}

{
    # Made for this perl's processor, whichever compiler the build rules
    # chose for it: a module of another is never filed under this one.
    rules();
    require PlotruneBuild::Engine;
    my $made = eval { PlotruneBuild::Engine::elf_cpu($file) } || $@;
    my ($cpu) = $Config{archname} =~ /^([^-]+)/;
    $cpu =~ s/^i[3-6]86\z/i386/;
    is("$made built for $b->{arch}", "$cpu built for $cpu", "$M: the module file is made for this perl's processor");
    # A processor no compiler here makes code for is refused before
    # anything is built, naming it.
    my $p = { %{ build_rules() }, arch => 'mips' };
    delete $p->{cross};
    local $ENV{LD_PRELOAD} = '';    # the compilers it asks (tool)
    ok(!eval { PlotruneBuild::Rules::cross_flags($p); 1 } && $@ =~ /^cannot build for mips here: \S+ makes code for /,
       "$M: a build for a processor that no compiler here makes code for is refused") or diag($@);
}

SKIP: {
    # What the module calls: the interpreter's functions and variables,
    # which this perl defines, and C library functions that the C library
    # of the oldest target systems has (data/c-library-baseline.tsv, the
    # list of this processor, i386's for x86_64).
    my $undefined = tool(qq{nm -D --undefined-only "$file"});
    skip 'nm is not available', 2 unless defined $undefined;
    my @imports = map { (split ' ')[-1] } grep { /\sU\s/ } split /\n/, $undefined;
    my %baseline;
    my $list = $b->{arch} eq 'aarch64' ? 'aarch64' : 'i386';
    $baseline{ $_->{symbol} }{ $_->{version} } = 1
        for grep { $_->{cpu} eq $list } table_rows(project_root() . '/data/c-library-baseline.tsv');
    # The interpreter: this perl's executable and the libperl it maps.
    my %perl;
    open my $maps, '<', "/proc/$$/maps" or skip 'no /proc here', 2;
    my %files = map { m{\s(/\S*/[^/\s]*perl[^/\s]*)$} ? ($1 => 1) : () } <$maps>;
    for my $object (keys %files) {
        # An emulated perl's files may lie in its C library's tree, where
        # nm, a program of this host, finds them.
        $object = "$ENV{QEMU_LD_PREFIX}$object" if $ENV{QEMU_LD_PREFIX} && -e "$ENV{QEMU_LD_PREFIX}$object";
        my $defined = tool(qq{nm -D --defined-only "$object"}) or next;
        $perl{ (split ' ')[-1] } = 1 for split /\n/, $defined;
    }
    my @interpreter = grep { /^(Perl_|PL_)/ } @imports;
    is_deeply([ grep { !$perl{$_} } @interpreter ], [],
              "$M: every interpreter symbol it imports (" . @interpreter . ') is defined by this perl');
    # The sanitizer build (PLOTRUNE_SANITIZE) calls into the runtimes the
    # tests preload; no other build may.
    my $sanitized = ($ENV{LD_PRELOAD} // '') =~ m{/lib(?:a|ub)san\.so\b};
    my @unknown = grep { my ($name, $version) = split /\@+/; !/^(Perl_|PL_)/
                         && !($sanitized && /^__(?:asan|ubsan|sanitizer)_/)
                         && !($baseline{$name} && (!defined $version || $baseline{$name}{$version})) } @imports;
    is_deeply(\@unknown, [], "$M: every other symbol it imports is in the C library of the oldest target systems");
}

SKIP: {
    my $dynamic = tool(qq{readelf -d "$file"});
    skip 'readelf is not available', 3 unless defined $dynamic;
    for my $tag (qw(NEEDED RPATH RUNPATH)) {
        my @entries = grep { /\($tag\)/ } split /\n/, $dynamic;
        is_deeply(\@entries, [], "$M: the module file records no $tag entry");
    }
}

# ---------------------------------------------------------- checked or not

{
    # The build's .pm says whether it is the checked build.
    (my $pm = $file) =~ s/\.so\z/.pm/;
    my $text = slurp($pm);
    my $says = $text =~ /^our \$CHECKED = 1;$/m ? 1 : 0;
    is($says, checked(), "$M: the build's .pm says " . (checked() ? 'it is checked' : 'nothing of checks'));
}

# ---------------------------------------------------------- the standards

# The module is C++11, for the g++ 4.8 of the oldest target systems; the
# contract header is included by engines built with their platforms' own
# compilers, as C99 or C++11.  The compilers are this perl's toolchain's.
SKIP: {
    my $root = project_root();
    my $p = build_rules();
    my $cc = PlotruneBuild::Rules::c_compiler($p);
    my $cxx = PlotruneBuild::Rules::cxx_compiler($p);
    my @arch = PlotruneBuild::Rules::arch_flags($p);
    skip "no $cc or $cxx here", 3 unless defined tool(qq{$cc --version}) && defined tool(qq{$cxx --version});
    my $dir = File::Temp->newdir;
    open my $fh, '>', "$dir/check.c" or die $!;
    print $fh qq{#include "plotrune_engine.h"\nint plotrune_header_check(const CallbackTable *t) { return t != 0; }\n};
    close $fh;
    my $strict = '-pedantic-errors -Wall -Wextra -Werror';
    my @cases = (
        [ 'the contract header compiles as C99',   qq{$cc @arch -std=c99 $strict -I"$root/contract" -c "$dir/check.c"} ],
        [ 'the contract header compiles as C++11', qq{$cxx @arch -x c++ -std=c++11 $strict -I"$root/contract" -c "$dir/check.c"} ],
        [ 'the module compiles as C++11 with its build flags',
          join(' ', $cxx, map({ my $w = $_; $w =~ s/'/'\\''/g; "'$w'" } PlotruneBuild::Rules::module_compile_flags($p)),
               # The interpreter's headers leave their GNU extensions out of
               # a compile they are told is pedantic.
               '-std=c++11 -pedantic-errors -DPERL_GCC_PEDANTIC', qq{-c "$root/module/perlapi.cpp"}) ],
    );
    for my $case (@cases) {
        my ($what, $command) = @$case;
        my $out = tool("$command -o " . File::Spec->catfile("$dir", 'check.o'));
        ok(defined $out, "$M: $what") or diag(`$command -o /dev/null 2>&1`);
    }
}

# ---------------------------------------------------------- information subs

load();
no strict 'refs';
my @subs = sub_names();
is_deeply([ grep { defined &{"${M}::$_"} } @subs ], \@subs, "$M: the five subs exist in package $M");

# A number made as an integer is numeric to the bitwise operators; a string
# would give a string.
sub is_integer { my ($v) = @_; defined $v && !ref $v && ($v ^ $v) eq '0' }

# The two numbers of the version PlotRune.pm gives: 5.01 is 5 and 1.
require ExtUtils::MakeMaker;
my ($major, $minor_ver) = MM->parse_version(project_root() . '/lib/PlotRune.pm') =~ /^(\d+)\.(\d+)\z/;
for my $case ([ 'major_ver', $major + 0 ], [ 'minor_ver', $minor_ver + 0 ]) {
    my ($sub, $value) = @$case;
    for my $args ([], [ 'x', 3 ]) {
        my @r = &{"${M}::$sub"}(@$args);
        is_deeply(\@r, [$value], "$M: $sub with " . @$args . " arguments returns $value");
        ok(is_integer($r[0]), "$M: $sub returns an integer");
    }
}
is_deeply([ &{"${M}::id"}('ignored') ], [$M], "$M: id returns the module name");
is_deeply([ &{"${M}::copyright"}() ], ['perlplotrune Copyright (C) 2026 The perlplotrune developers'],
          "$M: copyright returns the notice every build carries");

SKIP: {
    skip 'B is not available', scalar @subs unless eval { require B; 1 };
    for my $sub (@subs) {
        is(B::svref_2object(\&{"${M}::$sub"})->FILE, 'perlapi.cpp', "$M: $sub is registered from perlapi.cpp");
    }
}

done_testing();
