/*
 * probe_engine.c - an engine that calls the table in unusual but allowed
 * orders, and in wrong ones on request, for the tests of what Perl code run
 * during a call can do (t/lending.t).
 *
 * The first argument names a method.  The lending methods take a text or an
 * array, then read a value whose fetch or conversion runs Perl code (which
 * may assign to the text's scalar, clear the array, or die), and only then
 * use what was lent.  The others pass the table null pointers, counts out
 * of range and pointers it never lent, write into a lent text, or leave a
 * message unterminated; each answers with the routine's status.
 *
 * Loaded with LD_PRELOAD as well as beside the module, it also stands in for
 * the allocator of the whole process: an allocation of the size that
 * failAllocationOf names fails, once.  The copy beside the module is another
 * instance of this file, so it asks the preloaded one to fail.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* RTLD_DEFAULT */
#endif
#include <dlfcn.h>

#include "test_engine.h"

/* ---- the allocator that fails on request ---- */

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);

static size_t failingSize; /* 0: none */

EXPORT void *malloc(size_t size)
{
    if (size && size == __atomic_load_n(&failingSize, __ATOMIC_RELAXED)) {
        __atomic_store_n(&failingSize, 0, __ATOMIC_RELAXED);
        return NULL;
    }
    return __libc_malloc(size);
}

EXPORT void *calloc(size_t n, size_t size)
{
    if (n && size && n * size == __atomic_load_n(&failingSize, __ATOMIC_RELAXED)) {
        __atomic_store_n(&failingSize, 0, __ATOMIC_RELAXED);
        return NULL;
    }
    return __libc_calloc(n, size);
}

EXPORT void plotruneProbeFailAllocationOf(size_t size) { __atomic_store_n(&failingSize, size, __ATOMIC_RELAXED); }

static int32_t intArg(Call *c, int32_t i)
{
    int32_t value = 0;
    if (i < c->count)
        c->t->getInt(c->args[i], &value);
    return value;
}

/* failAllocationOf N: the next allocation of N bytes fails. */
static int failAllocationOf(Call *c)
{
    void (*preloaded)(size_t);
    void *found = dlsym(RTLD_DEFAULT, "plotruneProbeFailAllocationOf");
    if (!found)
        return fail(c, "failAllocationOf: the probe engine is not preloaded");
    memcpy(&preloaded, &found, sizeof preloaded);
    preloaded((size_t)intArg(c, 1));
    return c->t->newInt(1, c->result);
}

/* ---- what was lent, used after Perl code ran ---- */

/* lendText TEXT RUN: the text of TEXT, read before RUN is read as a number. */
static int lendText(Call *c)
{
    const char *text = NULL;
    double d;
    if (c->count < 3)
        return fail(c, "lendText TEXT RUN");
    c->t->getString(c->args[1], &text);
    c->t->getDouble(c->args[2], &d);
    c->t->newString(text, c->result);
    c->t->releaseString(text);
    return 1;
}

/* lendTexts ARRAY RUN: the texts of ARRAY joined by ",", read before RUN. */
static int lendTexts(Call *c)
{
    const char **texts = NULL;
    int32_t count = 0;
    double d;
    char joined[4096];
    size_t used = 0;
    if (c->count < 3 || !c->t->getStringArray(c->args[1], &texts, &count))
        return fail(c, "lendTexts ARRAY RUN");
    c->t->getDouble(c->args[2], &d);
    joined[0] = '\0';
    for (int32_t i = 0; i < count; ++i)
        used += (size_t)snprintf(joined + used, used < sizeof joined ? sizeof joined - used : 0, "%s%s",
                                 i ? "," : "", texts[i]);
    c->t->releaseStringArray(texts);
    return c->t->newString(joined, c->result);
}

/* holdThenRead ARRAY RUN: a block of ARRAY is held while RUN is read (a
 * RUN that dies leaves the block to the module). */
static int holdThenRead(Call *c)
{
    double *values = NULL, d;
    int32_t count = 0;
    if (c->count < 3 || !c->t->getDoubleArray(c->args[1], &values, &count))
        return fail(c, "holdThenRead ARRAY RUN");
    c->t->getDouble(c->args[2], &d);
    c->t->releaseDoubleArray(values);
    return c->t->newDouble(d, c->result);
}

/* ---- bad arguments ---- */

/* nullPlace ROUTINE: the routine with a null out-pointer; its status. */
static int nullPlace(Call *c)
{
    const char *routine = textArg(c, 1);
    PlotruneScalar *value = c->count > 2 ? c->args[2] : c->args[0];
    int32_t count = 0, status = -1;
    double *doubles = NULL;
    if (strcmp(routine, "getDouble") == 0)
        status = c->t->getDouble(value, NULL);
    else if (strcmp(routine, "getInt") == 0)
        status = c->t->getInt(value, NULL);
    else if (strcmp(routine, "getBool") == 0)
        status = c->t->getBool(value, NULL);
    else if (strcmp(routine, "getString") == 0)
        status = c->t->getString(value, NULL);
    else if (strcmp(routine, "getStringArray") == 0)
        status = c->t->getStringArray(value, NULL, &count);
    else if (strcmp(routine, "getDoubleArray count") == 0)
        status = c->t->getDoubleArray(value, &doubles, NULL);
    else if (strcmp(routine, "getIntArray") == 0)
        status = c->t->getIntArray(value, NULL, NULL);
    else if (strcmp(routine, "newDouble") == 0)
        status = c->t->newDouble(1.5, NULL);
    else if (strcmp(routine, "newInt") == 0)
        status = c->t->newInt(1, NULL);
    else if (strcmp(routine, "newBool") == 0)
        status = c->t->newBool(1, NULL);
    else if (strcmp(routine, "newString") == 0)
        status = c->t->newString("x", NULL);
    else if (strcmp(routine, "newBinary") == 0)
        status = c->t->newBinary("x", 1, NULL);
    else if (strcmp(routine, "newDoubleArray") == 0)
        status = c->t->newDoubleArray(NULL, 0, NULL);
    else
        return fail(c, "nullPlace: no such routine");
    return c->t->newInt(status, c->result);
}

/* nullScalar ROUTINE: a reader given a null scalar handle; its status. */
static int nullScalar(Call *c)
{
    const char *routine = textArg(c, 1);
    double d;
    int32_t i, count;
    const char *text;
    int32_t *ints;
    int32_t status = -1;
    if (strcmp(routine, "getDouble") == 0)
        status = c->t->getDouble(NULL, &d);
    else if (strcmp(routine, "getInt") == 0)
        status = c->t->getInt(NULL, &i);
    else if (strcmp(routine, "getString") == 0)
        status = c->t->getString(NULL, &text);
    else if (strcmp(routine, "getIntArray") == 0)
        status = c->t->getIntArray(NULL, &ints, &count);
    else
        return fail(c, "nullScalar: no such routine");
    return c->t->newInt(status, c->result);
}

/* newDoubleArrayOf COUNT [NULL]: made from three values, or from none. */
static int newDoubleArrayOf(Call *c)
{
    static const double values[3] = {1.5, 2.5, 3.5};
    return c->t->newDoubleArray(c->count > 2 ? NULL : values, intArg(c, 1), c->result);
}

/* releaseForeign ROUTINE: the releaser given memory it never lent (the
 * engine's own, freed by the engine afterwards); success if nothing broke. */
static int releaseForeign(Call *c)
{
    const char *routine = textArg(c, 1);
    void *own = malloc(64);
    if (!own)
        return fail(c, "releaseForeign: no memory");
    memset(own, 'o', 63);
    ((char *)own)[63] = '\0';
    if (strcmp(routine, "releaseString") == 0)
        c->t->releaseString((const char *)own);
    else if (strcmp(routine, "releaseStringArray") == 0)
        c->t->releaseStringArray((const char **)own);
    else if (strcmp(routine, "releaseDoubleArray") == 0)
        c->t->releaseDoubleArray((double *)own);
    else if (strcmp(routine, "releaseIntArray") == 0)
        c->t->releaseIntArray((int32_t *)own);
    free(own);
    return c->t->newInt(1, c->result);
}

/* writeLent TEXT [release]: writes into the first byte of a lent text, then
 * releases it or returns with it lent. */
static int writeLent(Call *c)
{
    const char *text = NULL;
    if (c->count < 2 || !c->t->getString(c->args[1], &text) || !text[0])
        return fail(c, "writeLent TEXT: want a text that is not empty");
    ((char *)text)[0] = (char)(text[0] == 'W' ? 'w' : 'W');
    if (c->count > 2)
        c->t->releaseString(text);
    return c->t->newInt(1, c->result);
}

/* failUnterminated N: N bytes of 'u' as the message, and no terminator. */
static int failUnterminated(Call *c)
{
    int32_t n = intArg(c, 1);
    if (n < 0 || n > PLOTRUNE_MESSAGE_SIZE)
        return fail(c, "failUnterminated: length out of range");
    memset(c->message, 'u', (size_t)n);
    return 0;
}

/* failFill N: N bytes of 'x' and a terminator, as the stand-in's. */
static int failFill(Call *c) { return failFilled(c, intArg(c, 1), "failFill"); }

static const NamedMethod kMethods[] = {
    {"failFill", failFill},
    {"failAllocationOf", failAllocationOf},
    {"lendText", lendText},
    {"lendTexts", lendTexts},
    {"holdThenRead", holdThenRead},
    {"nullPlace", nullPlace},
    {"nullScalar", nullScalar},
    {"newDoubleArrayOf", newDoubleArrayOf},
    {"releaseForeign", releaseForeign},
    {"writeLent", writeLent},
    {"failUnterminated", failUnterminated},
};

EXPORT int32_t runMethod(const CallbackTable *table, int32_t count, PlotruneScalar **args,
                         PlotruneScalar **result, char *message)
{
    Call c = {table, count, args, result, message};
    const char *name = "";
    if (count > 0)
        table->getString(args[0], &name);
    if (strcmp(name, "num") == 0 && count > 1) {
        double d;
        table->getDouble(args[1], &d);
        return table->newDouble(d, result);
    }
    return RUN_NAMED(&c, name, kMethods);
}
