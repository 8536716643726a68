# An aarch64 build compiles against this run's sysroot and its perl runs
# with this run's C library, whichever binfmt_misc handler runs aarch64
# programs: Debian's qemu-aarch64, ours registered from another cache (whose
# sysroot lacks what Debian's arm64 perl needs), or none until set-up
# registers ours.  Each case in a user namespace with a binfmt_misc of its
# own, so that the host's handlers are never touched: set-up, then the build
# and the dispatch tests under Debian's arm64 perl, which lies in the
# sysroot and needs its libcrypt.
# Run by .ci/run as root, after the perls' step has unpacked that perl.

use strict;
use warnings;
use Test::More;
use File::Temp ();
use PlotruneTest;

my $root = project_root();
plan skip_all => 'needs root, for a user namespace with a binfmt_misc of its own' if $> != 0;
chomp(my $sysroot = `bash "$root/tools/emulation.sh" sysroot aarch64`);
chomp(my $host = `uname -m`);
plan skip_all => 'aarch64 runs natively here' if $host eq 'aarch64';
my $perl = "$sysroot/usr/bin/perl";
plan skip_all => "no Debian arm64 perl in $sysroot (.ci/perls/debian-arm64-perl.sh unpacks it)" unless -x $perl;
my $private = system(q{unshare -Urm sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null}) == 0;
plan skip_all => 'this kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 on)' unless $private;

my $dir = File::Temp->newdir;
my ($magic, $mask) = ('\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00',
                      '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff');
# A runner of ours as another cache wrote it: its own sysroot, here one
# without the arm64 C library.
my $other = "$dir/other-cache/aarch64-sysroot";
mkdir("$dir/other-cache") && mkdir($other) or die "cannot make $other: $!\n";
open my $fh, '>', "$other.qemu" or die "cannot write $other.qemu: $!\n";
print $fh "#!/bin/sh\nexport QEMU_LD_PREFIX=\"\${QEMU_LD_PREFIX:-$other}\"\nexec /usr/bin/qemu-aarch64-static \"\$@\"\n";
close $fh;
chmod 0755, "$other.qemu";
# Debian's own, as its qemu-user-static package ships it for systemd.
my ($debian) = grep { length } split /\n/, `cat /usr/lib/binfmt.d/qemu-aarch64.conf 2>/dev/null`;

# Each case: what it registers, the handler set-up must name, and the
# handlers left registered afterwards (name and interpreter): a working one
# is used as it is, never replaced.
my @cases = (
    [ "Debian's qemu-aarch64", $debian, 'qemu-aarch64', [ 'qemu-aarch64 /usr/libexec/qemu-binfmt/aarch64-binfmt-P' ] ],
    [ 'ours from another cache', ":plotrune-aarch64:M::$magic:$mask:$other.qemu:F", 'plotrune-aarch64',
      [ "plotrune-aarch64 $other.qemu" ] ],
    [ 'none until set-up', '', 'plotrune-aarch64', [ "plotrune-aarch64 $sysroot.qemu" ] ],
);
my $n = 0;
for my $case (@cases) {
    my ($what, $register, $named, $left) = @$case;
    SKIP: {
        skip "$what: /usr/lib/binfmt.d/qemu-aarch64.conf is not here", 4 unless defined $register;
        my $build = "$dir/build-" . ++$n;
        my $script = join "\n", 'set -e', 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc',
            '[ -z "$3" ] || printf %s "$3" > /proc/sys/fs/binfmt_misc/register',
            'bash tools/emulation.sh setup "$1"',
            'while read -r v; do export "$v"; done < <(bash tools/emulation.sh env)',
            'bash tools/build.sh --test "$2" "$1" -- -R /dispatch.t 2>&1 | tail -n 3',
            'cd /proc/sys/fs/binfmt_misc && for h in *; do [ "$h" = register ] || [ "$h" = status ] ||'
            . ' echo "left: $h $(sed -n "s/^interpreter //p" "$h")"; done';
        my $out = `cd "$root" && unshare -Urm bash -c '$script' sh "$perl" "$build" '$register' 2>&1`;
        is($?, 0, "$what: set-up, the build and the dispatch tests pass") or diag($out);
        like($out, qr/binfmt_misc handler \Q$named\E\)/, "$what: set-up says which handler runs aarch64 code") or diag($out);
        is_deeply([ $out =~ /^left: (.*)$/mg ], $left, "$what: the handlers left registered") or diag($out);
        like($out, qr/with the C library of \Q$sysroot\E/, "$what: with this run's C library") or diag($out);
    }
}

done_testing();
