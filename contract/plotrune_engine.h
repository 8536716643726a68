/*
 * plotrune_engine.h - the boundary between the Perl module and the engine.
 *
 * The engine library (libplotrune.so) exports one function, runMethod.  The
 * module calls it once per Perl call and lends it a CallbackTable: the only
 * way the engine reads Perl values and makes new ones.  The engine never sees
 * the interpreter; every routine in the table works on the interpreter that is
 * current on the calling thread, so the engine must call them on that thread
 * and only while runMethod is running.
 *
 * The table's order is the contract: the engine finds each routine by its
 * position, and the record carries no size or version field.  Slots are never
 * reordered or removed.
 *
 * What the engine may rely on:
 *   - What a reader lends (a text, an array block) stays valid and unchanged
 *     until the engine releases it or runMethod returns, whichever comes
 *     first, whatever Perl code a later read runs meanwhile (a tie's FETCH,
 *     an overloaded conversion, a warning's handler).  A block still held
 *     when runMethod returns is freed by the module then.
 *   - A text is a C string: it ends at its first NUL, and the engine sees no
 *     byte after it.  A method name (the first argument) holding a NUL is
 *     refused before runMethod is called.
 *   - A table routine may raise a Perl error: a fetch or conversion that
 *     dies, a warning the program made fatal (use warnings FATAL => ...: a
 *     number read from non-numeric text, an undefined value read as a
 *     number), running out of memory for a block.  The error leaves
 *     runMethod through the engine's frames without returning to it; the
 *     module frees every block it lent in the call.  Hold nothing of your
 *     own (memory, locks) across a table call that could raise.
 *   - The message buffer is all zero when runMethod starts.
 *
 * Plain C, so that an engine written in C or C++ includes it as it is.
 */
#ifndef PLOTRUNE_ENGINE_H
#define PLOTRUNE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A Perl scalar, opaque to the engine (the interpreter's SV). */
struct sv;
typedef struct sv PlotruneScalar;

/* Size of the message buffer handed to runMethod.  On failure the engine
 * writes a NUL-terminated message and leaves at least one byte free behind the
 * NUL, so at most PLOTRUNE_MESSAGE_SIZE - 2 message bytes. */
#define PLOTRUNE_MESSAGE_SIZE 1032

/*
 * Every reader and maker returns 1 for success, and 0 when a pointer it
 * needs is null (nothing is written, nothing made).  The array readers also
 * return 0 when the value is defined but not a reference to an array;
 * running out of memory for the block is a Perl error, never that status.
 * The releasers free only what their reader handed out in this call and not
 * yet given back; any other pointer (null included) is left alone.
 */
typedef struct CallbackTable {
    /* --- scalar readers --- */
    /*  1 */ int32_t (*getDouble)(PlotruneScalar *scalar, double *value);
    /*  2 */ int32_t (*getInt)(PlotruneScalar *scalar, int32_t *value);   /* low 32 bits */
    /*  3 */ int32_t (*getBool)(PlotruneScalar *scalar, int32_t *value);  /* scalar may be NULL */
    /*  4 */ int32_t (*getString)(PlotruneScalar *scalar, const char **text);
    /*  5 */ void (*releaseString)(const char *text);
    /* --- array readers, each with its releaser (which accepts NULL) --- */
    /*  6 */ int32_t (*getStringArray)(PlotruneScalar *scalar, const char ***texts, int32_t *count);
    /*  7 */ void (*releaseStringArray)(const char **texts);
    /*  8 */ int32_t (*getDoubleArray)(PlotruneScalar *scalar, double **values, int32_t *count);
    /*  9 */ void (*releaseDoubleArray)(double *values);
    /* 10 */ int32_t (*getIntArray)(PlotruneScalar *scalar, int32_t **values, int32_t *count);
    /* 11 */ void (*releaseIntArray)(int32_t *values);
    /* --- makers: each stores a new mortal scalar through its last argument --- */
    /* 12 */ int32_t (*newDouble)(double value, PlotruneScalar **made);
    /* 13 */ int32_t (*newInt)(int32_t value, PlotruneScalar **made);
    /* 14 */ int32_t (*newBool)(int32_t truth, PlotruneScalar **made);
    /* 15 */ int32_t (*newString)(const char *text, PlotruneScalar **made);       /* text may be NULL */
    /* 16 */ int32_t (*newBinary)(const char *bytes, int32_t length, PlotruneScalar **made);
             /* no bytes, or a length not positive: the empty string */
    /* 17 */ int32_t (*newDoubleArray)(const double *values, int32_t count, PlotruneScalar **made);
             /* no values, or a count not positive: an empty array */
} CallbackTable;

#define PLOTRUNE_CALLBACK_SLOTS 17

/*
 * The engine's one entry.
 *   table    the module's CallbackTable
 *   count    number of arguments of the Perl call, 0 or more
 *   args     the argument scalars in order (NULL when count is 0); borrowed,
 *            valid during the call only
 *   result   where the engine stores the one scalar the Perl call returns;
 *            it holds the first argument (or undef) when the call begins
 *   message  PLOTRUNE_MESSAGE_SIZE bytes for a failure message
 * Returns nonzero for success, 0 for failure (with a message).
 */
typedef int32_t (*PlotruneRunMethod)(const CallbackTable *table, int32_t count,
                                     PlotruneScalar **args, PlotruneScalar **result,
                                     char *message);

/* What an engine defines and exports (declared here so that the compiler
 * checks the engine's definition against the contract). */
int32_t runMethod(const CallbackTable *table, int32_t count, PlotruneScalar **args,
                  PlotruneScalar **result, char *message);

#define PLOTRUNE_ENTRY_SYMBOL "runMethod"
#define PLOTRUNE_LIBRARY_NAME "libplotrune.so"

/* The record is exactly seventeen routine pointers, nothing before, between
 * or after them: the engine indexes it by position. */
#ifdef __cplusplus
static_assert(sizeof(CallbackTable) == PLOTRUNE_CALLBACK_SLOTS * sizeof(void (*)(void)),
              "CallbackTable must be seventeen routine pointers");
#else
_Static_assert(sizeof(CallbackTable) == PLOTRUNE_CALLBACK_SLOTS * sizeof(void (*)(void)),
               "CallbackTable must be seventeen routine pointers");
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLOTRUNE_ENGINE_H */
