/*
 * The layout facts a module depends on, as this perl's headers and the
 * module's own flags give them.  Compiled to assembly only, never run: each
 * fact is a constant in an asm comment ("plotrune-layout NAME VALUE"), so the
 * probe needs neither an assembler nor a processor of the perl's kind.
 */
#include "EXTERN.h"
#include "perl.h"
#include <stddef.h>

#define FACT(name, value) __asm__ volatile("# plotrune-layout " name " %c0" : : "i"((long)(value)))

extern "C" void plotrune_layout(void)
{
    dTHX;
#ifdef MULTIPLICITY
    /* Where the module finds the interpreter's variables, and the size
     * Perl's own handshake compares. */
    FACT("interpreter", sizeof(PerlInterpreter));
    FACT("sv_yes_at", offsetof(PerlInterpreter, Isv_yes));
    FACT("sv_undef_at", offsetof(PerlInterpreter, Isv_undef));
#elif defined(PL_sv_yes)
    /* Without multiplicity the immortals are globals, found by symbol; from
     * 5.28 on they are one array, PL_sv_undef at an offset from PL_sv_yes. */
    FACT("undef_after_yes", (char *)&PL_sv_undef - (char *)&PL_sv_yes);
#endif
    FACT("sv_head", sizeof(SV));
    FACT("mark", sizeof(*PL_markstack_ptr));
    FACT("iv", sizeof(IV));
    FACT("nv", sizeof(NV));
    FACT("nv_digits", NV_MANT_DIG);
}
