package PlotruneTestFolder;

# The test side of a build folder (CMake's, or Makefile.PL's test copy): the
# test engines beside each module, the module table (modules.tsv) the tests
# read to find the build under test, and the command that runs them.  The
# build writes the folder from these answers; PlotruneTest reads it.  Also
# the one reader of every table the project keeps or writes.
#
# Kept to what Perl 5.12 understands: every supported perl runs this.

use strict;
use warnings;

use Cwd ();
use File::Spec ();

my $root = Cwd::abs_path(File::Spec->catdir((File::Spec->splitpath(File::Spec->rel2abs(__FILE__)))[1], '..', '..'));

# The rows of a tab-separated table, each a hash by the column names of its
# header: the first line not commented out, or the commented line that
# $header matches (an install tree's manifest: "# build\tmodule...").
# Lines that are comments, or do not start as $header's rows do, are
# passed over.  The one reader of every table the project keeps or writes.
sub read_table {
    my ($file, $header) = @_;
    open my $fh, '<', $file or die "cannot read $file: $!\n";
    my (@columns, @rows);
    while (my $line = <$fh>) {
        chomp $line;
        if (!@columns) {
            if ($header ? $line =~ $header : $line !~ /^#/) {
                $line =~ s/^# //;
                @columns = split /\t/, $line;
            }
            next;
        }
        next if $line =~ /^#/ || ($header && $line !~ /^\Q$columns[0]\E\t/);
        my %row;
        @row{@columns} = split /\t/, $line;
        push @rows, \%row;
    }
    return @rows;
}

# One row of a table by its column names; the header first (after $preface)
# when the file is new.  The one writer of the build folders' tables.
sub append_row {
    my ($file, $columns, $row, $preface) = @_;
    my $new = !-s $file;
    open my $fh, '>>', $file or die "cannot write $file: $!\n";
    print $fh (defined $preface ? $preface : ''), join("\t", @$columns), "\n" if $new;
    print $fh join("\t", map { defined $row->{$_} ? $row->{$_} : '' } @$columns), "\n";
    close $fh or die "cannot write $file: $!\n";
}

# What a build folder holds beside each module, all under the engine's file
# name: the stand-in engine, the one to use, and two test doubles for the
# load tests, in folders that say so.  kind, source (in t/engines), defines,
# subfolder of the module's folder ('' for beside it), the column of the
# module table that names the file, and flags for compiling and linking.
sub test_engines {
    my ($p) = @_;
    return (
        { kind => 'engine', source => 'standin_engine.c', defines => [], dir => '',
          column => 'engine_file' },
        # A library that lacks runMethod.
        { kind => 'no_entry', source => 'no_entry.c', defines => [], dir => 'test-double-no-entry',
          column => 'engine_without_entry_file' },
        # An engine with a symbol nobody defines, which only lazy binding can open.
        { kind => 'lazy', source => 'standin_engine.c', defines => ['PLOTRUNE_NEEDS_LAZY_BINDING'],
          dir => 'test-double-lazy', column => 'engine_lazy_file' },
        # An engine that calls the table in unusual orders and with bad
        # arguments, and stands in for the allocator when preloaded.
        { kind => 'probe', source => 'probe_engine.c', defines => [], dir => 'test-double-probe',
          column => 'engine_probe_file' },
        # For the checked build's tests: an engine that breaks every rule it
        # can, one from a thread of its own.
        ($p && $p->{checked} ? { kind => 'breaching', source => 'breaching_engine.c', defines => [],
                                 dir => 'test-double-breaching', column => 'engine_breaching_file',
                                 flags => ['-pthread'] } : ()),
    );
}

sub test_engine_source { "$root/t/engines/$_[0]{source}" }

# The module table of a build folder (modules.tsv): one row per module, these
# columns, read by their names.
sub module_table_columns {
    return (qw(module arch perl module_file), (map { $_->{column} } test_engines({ checked => 1 })),
            qw(supported checked));
}

# Where a build folder (CMake's, or Makefile.PL's test copy) puts one
# module: modules/<cpu>/<module>/, the test engines beside it or in their
# subfolders.  Returns { dir, module_file, pm_file, engine folder and file
# per kind }.
sub build_folder {
    my ($p, $top) = @_;
    require PlotruneBuild::Rules;    # and PlotRune
    my $dir = "$top/modules/$p->{arch}/$p->{module}";
    my $files = PlotRune::build_files($p->{module});
    my %folder = (dir => $dir, module_file => "$dir/$files->{so}", pm_file => "$dir/$files->{pm}");
    for my $e (test_engines($p)) {
        my $sub = length $e->{dir} ? "$dir/$e->{dir}" : $dir;
        $folder{"$e->{kind}_dir"} = $sub;
        $folder{ $e->{kind} } = "$sub/" . PlotruneBuild::Rules::engine_file();
    }
    return \%folder;
}

# Adds the module's row to the build folder's module table.
sub add_module_row {
    my ($p, $table, $perl, $folder) = @_;
    my %row = (module => $p->{module}, arch => $p->{arch}, perl => $perl, module_file => $folder->{module_file},
               supported => $p->{supported}, checked => $p->{checked},
               map { ($_->{column} => $folder->{ $_->{kind} }) } test_engines($p));
    append_row($table, [ module_table_columns() ], \%row);
}

# The test command, the words after the module's own perl: prove with the
# tests' library, then the test files (TEST_VERBOSE=1 for prove's -v).
# The test files that exercise the call path and the conversions: what every
# perl runs at the least (CMake labels them call-path; ./test.sh --call-path
# runs only them).
sub call_path_tests { qw(dispatch.t scalar_readers.t array_readers.t makers.t magic.t) }

sub test_command {
    my $prove = 'my $p = App::Prove->new; $p->process_args(($ENV{TEST_VERBOSE} ? ("-v") : ()), @ARGV); '
              . 'exit($p->run ? 0 : 1)';
    return ('-MApp::Prove', '-e', $prove, '--', '-I', "$root/t/lib");
}

1;
