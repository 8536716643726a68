/*
 * breaching_engine.c - an engine that breaks the contract on request, for
 * the tests of the checked build.
 *
 * The first argument names a method; most of them commit one breach of the
 * contract, a few keep it (so that the tests can show what the checked build
 * lets pass, and call it again from Perl code that a read runs).  Array
 * readers are chosen by the word "String", "Double" or "Int".
 *
 * It keeps no memory of its own across a breach: a breach is raised as a
 * Perl error from inside the table's routine, which does not return here.
 */
#include <pthread.h>

#include "test_engine.h"

static int32_t intArg(Call *c, int32_t i, int32_t otherwise)
{
    int32_t value = otherwise;
    if (i < c->count)
        c->t->getInt(c->args[i], &value);
    return value;
}

/* ---- array readers by name ---- */

enum Reader { STRINGS, DOUBLES, INTS, NO_READER };

static enum Reader readerNamed(const char *name)
{
    return strcmp(name, "String") == 0 ? STRINGS
         : strcmp(name, "Double") == 0 ? DOUBLES
         : strcmp(name, "Int") == 0    ? INTS
                                       : NO_READER;
}

/* Reads the array scalar with the reader; the block, or null. */
static void *readWith(Call *c, enum Reader reader, PlotruneScalar *scalar)
{
    int32_t count = 0;
    const char **texts = NULL;
    double *doubles = NULL;
    int32_t *ints = NULL;
    switch (reader) {
    case STRINGS: return c->t->getStringArray(scalar, &texts, &count) ? (void *)texts : NULL;
    case DOUBLES: return c->t->getDoubleArray(scalar, &doubles, &count) ? (void *)doubles : NULL;
    case INTS: return c->t->getIntArray(scalar, &ints, &count) ? (void *)ints : NULL;
    default: return NULL;
    }
}

static void releaseWith(Call *c, enum Reader reader, void *block)
{
    switch (reader) {
    case STRINGS: c->t->releaseStringArray((const char **)block); break;
    case DOUBLES: c->t->releaseDoubleArray((double *)block); break;
    case INTS: c->t->releaseIntArray((int32_t *)block); break;
    default: break;
    }
}

/* ---- blocks ---- */

/* leak READER ARRAY [N]: reads the array N times (default 1), gives nothing
 * back. */
static int leak(Call *c)
{
    enum Reader reader = readerNamed(textArg(c, 1));
    int32_t n = intArg(c, 3, 1);
    if (reader == NO_READER || c->count < 3)
        return fail(c, "leak READER ARRAY [N]");
    for (int32_t i = 0; i < n; ++i)
        readWith(c, reader, c->args[2]);
    return c->t->newInt(n, c->result);
}

/* leakEach ARRAY: one block from every reader, two from getDoubleArray. */
static int leakEach(Call *c)
{
    if (c->count < 2)
        return fail(c, "leakEach ARRAY");
    readWith(c, DOUBLES, c->args[1]);
    readWith(c, DOUBLES, c->args[1]);
    readWith(c, INTS, c->args[1]);
    readWith(c, STRINGS, c->args[1]);
    return 1;
}

/* releaseTwice READER ARRAY */
static int releaseTwice(Call *c)
{
    enum Reader reader = readerNamed(textArg(c, 1));
    if (reader == NO_READER || c->count < 3)
        return fail(c, "releaseTwice READER ARRAY");
    void *block = readWith(c, reader, c->args[2]);
    releaseWith(c, reader, block);
    releaseWith(c, reader, block);
    return 1;
}

/* releaseForeign READER: gives back a pointer no reader handed out. */
static double foreignBlock[4];
static int releaseForeign(Call *c)
{
    enum Reader reader = readerNamed(textArg(c, 1));
    if (reader == NO_READER)
        return fail(c, "releaseForeign READER");
    releaseWith(c, reader, foreignBlock);
    return 1;
}

/* releaseCrossed READER RELEASER ARRAY: a block of one reader given back
 * through another reader's releaser. */
static int releaseCrossed(Call *c)
{
    enum Reader reader = readerNamed(textArg(c, 1)), releaser = readerNamed(textArg(c, 2));
    if (reader == NO_READER || releaser == NO_READER || c->count < 4)
        return fail(c, "releaseCrossed READER RELEASER ARRAY");
    releaseWith(c, releaser, readWith(c, reader, c->args[3]));
    return 1;
}

/* releaseNull READER: a null block, which every releaser takes. */
static int releaseNull(Call *c)
{
    enum Reader reader = readerNamed(textArg(c, 1));
    if (reader == NO_READER)
        return fail(c, "releaseNull READER");
    releaseWith(c, reader, NULL);
    return c->t->newInt(1, c->result);
}

/* holdAndRead ARRAY SCALAR [LEAK]: holds a block of ARRAY while it reads
 * SCALAR as text (a tie's fetch may call back into Perl, and die), then
 * gives the block back unless LEAK; answers the text. */
static int holdAndRead(Call *c)
{
    const char *text = NULL;
    if (c->count < 3)
        return fail(c, "holdAndRead ARRAY SCALAR [LEAK]");
    void *block = readWith(c, DOUBLES, c->args[1]);
    c->t->getString(c->args[2], &text);
    if (!intArg(c, 3, 0))
        releaseWith(c, DOUBLES, block);
    return c->t->newString(text, c->result);
}

/* ---- scalar handles ---- */

static PlotruneScalar *kept;

/* keep SCALAR: keeps the handle past the call; reads nothing. */
static int keep(Call *c)
{
    if (c->count < 2)
        return fail(c, "keep SCALAR");
    kept = c->args[1];
    return 1;
}

/* Reads handle with the routine named; answers what an integer reader
 * read (-1 for the others). */
static int32_t readHandle(Call *c, const char *routine, PlotruneScalar *handle)
{
    double d;
    int32_t i = -1;
    const char *text;
    if (strcmp(routine, "getDouble") == 0)
        c->t->getDouble(handle, &d);
    else if (strcmp(routine, "getInt") == 0)
        c->t->getInt(handle, &i);
    else if (strcmp(routine, "getBool") == 0)
        c->t->getBool(handle, &i);
    else if (strcmp(routine, "getString") == 0)
        c->t->getString(handle, &text);
    else
        releaseWith(c, readerNamed(routine), readWith(c, readerNamed(routine), handle));
    return i;
}

/* readKept ROUTINE: reads the handle kept by an earlier call. */
static int readKept(Call *c)
{
    readHandle(c, textArg(c, 1), kept);
    return 1;
}

/* readNull ROUTINE: a null handle to a reader. */
static int readNull(Call *c)
{
    return c->t->newInt(readHandle(c, textArg(c, 1), NULL), c->result);
}

/* readMade: reads back a scalar made in this call, which the contract
 * allows; answers its number doubled. */
static int readMade(Call *c)
{
    PlotruneScalar *made;
    double d = 0;
    c->t->newDouble(intArg(c, 1, 0), &made);
    c->t->getDouble(made, &d);
    return c->t->newDouble(2 * d, c->result);
}

/* makeMany N [null]: makes N scalars and keeps none (more than the checked
 * build's record holds on its frame), then, with "null", reads a null
 * handle; otherwise answers N. */
static int makeMany(Call *c)
{
    int32_t n = intArg(c, 1, 0), v;
    PlotruneScalar *made;
    for (int32_t i = 0; i < n; ++i)
        c->t->newInt(i, &made);
    if (c->count > 2 && strcmp(textArg(c, 2), "null") == 0)
        c->t->getInt(NULL, &v);
    return c->t->newInt(n, c->result);
}

/* ---- the result slot ---- */

/* result WHICH: stores "arg" (the second argument), "kept" (the handle an
 * earlier call kept), "made", "first", "null" or "undef" (left as it is, with
 * no arguments beyond the method) in the slot, and reports success. */
static int result(Call *c)
{
    const char *which = textArg(c, 1);
    if (strcmp(which, "arg") == 0 && c->count > 2)
        *c->result = c->args[2];
    else if (strcmp(which, "kept") == 0)
        *c->result = kept;
    else if (strcmp(which, "made") == 0)
        c->t->newString("made", c->result);
    else if (strcmp(which, "null") == 0)
        *c->result = NULL;
    else if (strcmp(which, "first") == 0)
        *c->result = c->args[0];
    else
        return fail(c, "result arg|kept|made|first|null");
    return 1;
}

/* ---- the failure message ---- */

/* failBytes N: N bytes of 'x' as the message (failFilled). */
static int failBytes(Call *c)
{
    return failFilled(c, intArg(c, 1, 0), "failBytes");
}

/* ---- makers ---- */

/* binary LENGTH [null]: newBinary of "abc" (or of a null pointer). */
static int binary(Call *c)
{
    int32_t length = intArg(c, 1, 0);
    int null = c->count > 2 && strcmp(textArg(c, 2), "null") == 0;
    return c->t->newBinary(null ? NULL : "abc", length, c->result);
}

/* doubleArray COUNT [null]: newDoubleArray of three values (or a null pointer). */
static int doubleArray(Call *c)
{
    static const double values[3] = {1.5, 2.5, 3.5};
    int32_t count = intArg(c, 1, 0);
    int null = c->count > 2 && strcmp(textArg(c, 2), "null") == 0;
    return c->t->newDoubleArray(null ? NULL : values, count, c->result);
}

/* ---- routines called with no runMethod running ---- */

static const CallbackTable *keptTable;
static char keptRoutine[32];

/* Calls a routine by its slot name, with arguments it would not survive: the
 * checked build must stop before it reads any of them. */
static void callRoutine(const CallbackTable *t, const char *routine)
{
    PlotruneScalar *scalar = NULL;
    double d;
    int32_t i;
    const char *text;
    if (strcmp(routine, "getDouble") == 0)
        t->getDouble(NULL, &d);
    else if (strcmp(routine, "getBool") == 0)
        t->getBool(NULL, &i);
    else if (strcmp(routine, "releaseString") == 0)
        t->releaseString("");
    else if (strcmp(routine, "releaseDoubleArray") == 0)
        t->releaseDoubleArray(&d);
    else if (strcmp(routine, "newInt") == 0)
        t->newInt(1, &scalar);
    else if (strcmp(routine, "newString") == 0)
        t->newString("late", &scalar);
    else
        t->getString(NULL, &text);
}

static void atExit(void) { callRoutine(keptTable, keptRoutine); }

/* atExit ROUTINE: calls the routine when the process exits, long after
 * runMethod returned. */
static int callAtExit(Call *c)
{
    keptTable = c->t;
    strncpy(keptRoutine, textArg(c, 1), sizeof keptRoutine - 1);
    atexit(atExit);
    return 1;
}

static void *onThread(void *routine)
{
    callRoutine(keptTable, (const char *)routine);
    return NULL;
}

/* fromThread ROUTINE: calls the routine from a thread of the engine's own
 * while runMethod waits for it. */
static int fromThread(Call *c)
{
    pthread_t thread;
    keptTable = c->t;
    strncpy(keptRoutine, textArg(c, 1), sizeof keptRoutine - 1);
    if (pthread_create(&thread, NULL, onThread, keptRoutine) != 0)
        return fail(c, "fromThread: no thread");
    pthread_join(thread, NULL);
    return 1;
}

/* ---- the entry ---- */

static const NamedMethod kMethods[] = {
    {"leak", leak},
    {"leakEach", leakEach},
    {"releaseTwice", releaseTwice},
    {"releaseForeign", releaseForeign},
    {"releaseCrossed", releaseCrossed},
    {"releaseNull", releaseNull},
    {"holdAndRead", holdAndRead},
    {"keep", keep},
    {"readKept", readKept},
    {"readNull", readNull},
    {"readMade", readMade},
    {"makeMany", makeMany},
    {"result", result},
    {"failBytes", failBytes},
    {"binary", binary},
    {"doubleArray", doubleArray},
    {"atExit", callAtExit},
    {"fromThread", fromThread},
};

EXPORT int32_t runMethod(const CallbackTable *table, int32_t count, PlotruneScalar **args,
                         PlotruneScalar **result, char *message)
{
    Call c = {table, count, args, result, message};
    const char *name;
    if (count < 1)
        return 1; /* the slot holds undef: returned as it is */
    table->getString(args[0], &name);
    if (strcmp(name, "num") == 0 && count > 1) {
        double d;
        table->getDouble(args[1], &d);
        return table->newDouble(d, result);
    }
    return RUN_NAMED(&c, name, kMethods);
}
