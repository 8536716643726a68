/* The layout facts a module depends on, as this perl's headers and the
 * module's own flags give them: compiled to assembly only, never run, each
 * fact a constant in an asm comment ("plotrune-layout NAME VALUE"). */
#include "EXTERN.h"
#include "perl.h"
#include <stddef.h>

#define FACT(name, value) __asm__ volatile("# plotrune-layout " name " %c0" : : "i"((long)(value)))

extern "C" void plotrune_layout(void)
{
    dTHX;
#ifdef MULTIPLICITY /* the interpreter's variables are fields of its structure */
    FACT("interpreter", sizeof(PerlInterpreter));
    FACT("sv_yes_at", offsetof(PerlInterpreter, Isv_yes));
    FACT("sv_undef_at", offsetof(PerlInterpreter, Isv_undef));
#elif defined(PL_sv_yes) /* globals; from 5.28 on the immortals are one array */
    FACT("undef_after_yes", (char *)&PL_sv_undef - (char *)&PL_sv_yes);
#endif
    FACT("sv_head", sizeof(SV));
    FACT("mark", sizeof(*PL_markstack_ptr));
    FACT("iv", sizeof(IV));
    FACT("nv", sizeof(NV));
    FACT("nv_digits", NV_MANT_DIG);
}
