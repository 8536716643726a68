/*
 * A plain perl executable built on top of a shared libperl.
 *
 * Debian ships a complete 32-bit libperl (libperl5.36:i386) that can be
 * installed next to the 64-bit system perl, but no 32-bit perl binary can
 * be installed alongside.  This main turns that library into a usable
 * interpreter, so XS code can be built and tested against a threaded,
 * 64-bit-IV, 32-bit-pointer perl.  It does what perl's own main does and
 * nothing more, so test scripts cannot tell the difference.
 */
#include <EXTERN.h>
#include <perl.h>
#include <XSUB.h>

static PerlInterpreter *my_perl;

EXTERN_C void boot_DynaLoader(pTHX_ CV *cv);

/* DynaLoader is the only extension linked into libperl; registering its
 * boot routine is enough for XSLoader/DynaLoader to load every other XS
 * module (List::Util, threads, POSIX, ...) from the archlib at run time. */
static void
xs_init(pTHX)
{
    static const char file[] = __FILE__;
    dXSUB_SYS;
    PERL_UNUSED_CONTEXT;
    newXS("DynaLoader::boot_DynaLoader", boot_DynaLoader, file);
}

int
main(int argc, char **argv, char **env)
{
    int exitstatus;

    PERL_SYS_INIT3(&argc, &argv, &env);

#if defined(USE_ITHREADS) && defined(HAS_PTHREAD_ATFORK)
    /* libperl leaves fork-safety of its global mutexes to the program that
     * embeds it; without these handlers a fork() racing a thread can leave
     * the child with a locked interpreter mutex. */
    PTHREAD_ATFORK(Perl_atfork_lock, Perl_atfork_unlock, Perl_atfork_unlock);
#endif

    my_perl = perl_alloc();
    if (!my_perl)
        exit(1);
    perl_construct(my_perl);

    /* perl_construct asks for full teardown on threaded builds; a normal
     * perl exits quickly instead and only tears everything down when
     * PERL_DESTRUCT_LEVEL asks for it (perl_destruct reads that itself),
     * which leak checkers rely on. */
    PL_perl_destruct_level = 0;

    /* Run END blocks and global destruction from perl_destruct, even after
     * exit() or die, exactly like the stock interpreter. */
    PL_exit_flags |= PERL_EXIT_DESTRUCT_END;

    if (!perl_parse(my_perl, xs_init, argc, argv, (char **)NULL))
        perl_run(my_perl);

    exitstatus = perl_destruct(my_perl);
    perl_free(my_perl);

    PERL_SYS_TERM();
    exit(exitstatus);
}
