/*
 * standin_engine.c - a stand-in for the closed plotrune engine.
 *
 * It offers runMethod by the engine contract and nothing else, so that every
 * path of the Perl module can be driven from Perl: the first argument names a
 * method, the rest are its arguments.  Methods that report several values
 * answer with one byte string laid out for Perl's unpack (native order):
 * "l" is a 32-bit int, "d" a double, "L!" a pointer-sized address.
 */
#include "test_engine.h"

/* A growing reply buffer; the engine's own memory, released before return. */
typedef struct Reply {
    char *bytes;
    size_t length;
    size_t capacity;
} Reply;

static int need(Call *c, int32_t n, const char *method)
{
    char text[128];
    if (c->count >= n + 1)
        return 1;
    snprintf(text, sizeof text, "%s needs %d argument(s)", method, n);
    return fail(c, text);
}

static void put(Reply *r, const void *bytes, size_t length)
{
    if (length == 0)
        return; /* an empty array's block may be null, which memcpy must not get */
    if (r->length + length > r->capacity) {
        size_t capacity = r->capacity ? r->capacity : 64;
        while (capacity < r->length + length)
            capacity *= 2;
        char *grown = (char *)realloc(r->bytes, capacity);
        if (!grown)
            abort(); /* a stand-in: no point limping on */
        r->bytes = grown;
        r->capacity = capacity;
    }
    memcpy(r->bytes + r->length, bytes, length);
    r->length += length;
}

static void putInt(Reply *r, int32_t v) { put(r, &v, sizeof v); }
static void putAddress(Reply *r, const void *p)
{
    unsigned long v = (unsigned long)(uintptr_t)p;
    put(r, &v, sizeof v);
}

static int answer(Call *c, Reply *r)
{
    c->t->newBinary(r->bytes, (int32_t)r->length, c->result);
    free(r->bytes);
    return 1;
}


/* ---- dispatch: what arrived ---- */

/* count, whether the array was null, whether the result slot held the first
 * argument, then each argument handle's address. */
static int inspect(Call *c, PlotruneScalar *slotBefore)
{
    Reply r = {0};
    putInt(&r, c->count);
    putInt(&r, c->args == NULL);
    putInt(&r, c->count > 0 && slotBefore == c->args[0]);
    for (int32_t i = 0; i < c->count; ++i)
        putAddress(&r, c->args[i]);
    return answer(c, &r);
}

/* ---- failures ---- */

static int failWith(Call *c)
{
    if (!need(c, 1, "fail"))
        return 0;
    return fail(c, textArg(c, 1));
}

/* failFill N: N bytes of 'x' as the message (failFilled). */
static int failFill(Call *c)
{
    int32_t n;
    if (!need(c, 1, "failFill"))
        return 0;
    c->t->getInt(c->args[1], &n);
    return failFilled(c, n, "failFill");
}

/* ---- scalar readers ---- */

/* The four scalar reads of one value: double, int, bool, then the text. */
static int readScalar(Call *c)
{
    double d;
    int32_t i, b;
    const char *text;
    Reply r = {0};
    if (!need(c, 1, "readScalar"))
        return 0;
    c->t->getDouble(c->args[1], &d);
    c->t->getInt(c->args[1], &i);
    c->t->getBool(c->args[1], &b);
    c->t->getString(c->args[1], &text);
    put(&r, &d, sizeof d);
    putInt(&r, i);
    putInt(&r, b);
    put(&r, text, strlen(text));
    c->t->releaseString(text);
    return answer(c, &r);
}

static int getDouble(Call *c)
{
    double d = -1;
    if (!need(c, 1, "getDouble"))
        return 0;
    c->t->getDouble(c->args[1], &d);
    return c->t->newDouble(d, c->result);
}

static int getInt(Call *c)
{
    int32_t v = -1;
    if (!need(c, 1, "getInt"))
        return 0;
    c->t->getInt(c->args[1], &v);
    return c->t->newInt(v, c->result);
}

static int getBool(Call *c)
{
    int32_t v = -1;
    if (!need(c, 1, "getBool"))
        return 0;
    c->t->getBool(c->args[1], &v);
    return c->t->newInt(v, c->result);
}

static int getBoolNull(Call *c)
{
    int32_t v = -1;
    c->t->getBool(NULL, &v);
    return c->t->newInt(v, c->result);
}

static int getString(Call *c)
{
    const char *text = NULL;
    if (!need(c, 1, "getString"))
        return 0;
    c->t->getString(c->args[1], &text);
    c->t->newString(text, c->result);
    c->t->releaseString(text);
    return 1;
}

/* Two reads of one scalar, both texts used only after the second: a fetch
 * that the second read runs must leave the first text as it was. */
static int getStringTwice(Call *c)
{
    const char *first = NULL, *second = NULL;
    Reply r = {0};
    if (!need(c, 1, "getStringTwice"))
        return 0;
    c->t->getString(c->args[1], &first);
    c->t->getString(c->args[1], &second);
    put(&r, first, strlen(first) + 1);
    put(&r, second, strlen(second));
    c->t->releaseString(first);
    c->t->releaseString(second);
    return answer(c, &r);
}

/* The text pointer itself, for identity checks. */
static int stringAddress(Call *c)
{
    const char *text = NULL;
    Reply r = {0};
    if (!need(c, 1, "stringAddress"))
        return 0;
    c->t->getString(c->args[1], &text);
    putAddress(&r, text);
    c->t->releaseString(text);
    return answer(c, &r);
}

/* ---- array readers ----
 * Reply: status, count, whether a refusal left the engine's pointer and count
 * as they were, then the elements. */

static const void *const kUntouched = &kUntouched;
#define UNTOUCHED_COUNT (-77)

static void putHead(Reply *r, int32_t status, int32_t count, const void *block)
{
    putInt(r, status);
    putInt(r, count);
    putInt(r, block == kUntouched && count == UNTOUCHED_COUNT);
}

static int doubleArray(Call *c)
{
    double *values = (double *)kUntouched;
    int32_t count = UNTOUCHED_COUNT;
    Reply r = {0};
    if (!need(c, 1, "getDoubleArray"))
        return 0;
    int32_t status = c->t->getDoubleArray(c->args[1], &values, &count);
    putHead(&r, status, count, values);
    if (status) {
        put(&r, values, (size_t)count * sizeof *values);
        c->t->releaseDoubleArray(values);
    }
    return answer(c, &r);
}

static int intArray(Call *c)
{
    int32_t *values = (int32_t *)kUntouched;
    int32_t count = UNTOUCHED_COUNT;
    Reply r = {0};
    if (!need(c, 1, "getIntArray"))
        return 0;
    int32_t status = c->t->getIntArray(c->args[1], &values, &count);
    putHead(&r, status, count, values);
    if (status) {
        put(&r, values, (size_t)count * sizeof *values);
        c->t->releaseIntArray(values);
    }
    return answer(c, &r);
}

/* Texts are NUL-separated; with addresses set, each text's pointer instead. */
static int stringArray(Call *c, int addresses)
{
    const char **texts = (const char **)kUntouched;
    int32_t count = UNTOUCHED_COUNT;
    Reply r = {0};
    if (!need(c, 1, "getStringArray"))
        return 0;
    int32_t status = c->t->getStringArray(c->args[1], &texts, &count);
    putHead(&r, status, count, texts);
    if (status) {
        for (int32_t i = 0; i < count; ++i) {
            if (addresses) {
                putAddress(&r, texts[i]);
            } else {
                if (i)
                    put(&r, "", 1);
                put(&r, texts[i], strlen(texts[i]));
            }
        }
        c->t->releaseStringArray(texts);
    }
    return answer(c, &r);
}

static int texts(Call *c) { return stringArray(c, 0); }
static int textAddresses(Call *c) { return stringArray(c, 1); }

/* Sum of a double array: a read without a reply buffer, for benchmarks. */
static int sumArray(Call *c)
{
    double *values = NULL, sum = 0;
    int32_t count = 0;
    if (!need(c, 1, "sumArray"))
        return 0;
    if (!c->t->getDoubleArray(c->args[1], &values, &count))
        return fail(c, "sumArray: not an array reference");
    for (int32_t i = 0; i < count; ++i)
        sum += values[i];
    c->t->releaseDoubleArray(values);
    return c->t->newDouble(sum, c->result);
}

/* Reads a double array and only counts it: the reader's own cost, for
 * benchmarks, without the engine's work on the values. */
static int countDoubleArray(Call *c)
{
    double *values = NULL;
    int32_t count = 0;
    if (!need(c, 1, "countDoubleArray") || !c->t->getDoubleArray(c->args[1], &values, &count))
        return fail(c, "countDoubleArray: not an array reference");
    c->t->releaseDoubleArray(values);
    return c->t->newInt(count, c->result);
}

static int countIntArray(Call *c)
{
    int32_t *values = NULL, count = 0;
    if (!need(c, 1, "countIntArray") || !c->t->getIntArray(c->args[1], &values, &count))
        return fail(c, "countIntArray: not an array reference");
    c->t->releaseIntArray(values);
    return c->t->newInt(count, c->result);
}

static int countStringArray(Call *c)
{
    const char **texts = NULL;
    int32_t count = 0;
    if (!need(c, 1, "countStringArray") || !c->t->getStringArray(c->args[1], &texts, &count))
        return fail(c, "countStringArray: not an array reference");
    c->t->releaseStringArray(texts);
    return c->t->newInt(count, c->result);
}

/* ---- makers, fed raw engine values so that no reader stands between ---- */

static int hexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

/* Decodes hex text into bytes; returns the byte count or -1. */
static long decodeHex(const char *hex, char *out, size_t room)
{
    size_t n = strlen(hex);
    if (n % 2 || n / 2 > room)
        return -1;
    for (size_t i = 0; i < n / 2; ++i) {
        int hi = hexValue(hex[2 * i]), lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        out[i] = (char)(hi << 4 | lo);
    }
    return (long)(n / 2);
}

/* A double from its eight bytes, in native order, given as hex. */
static int newDoubleBits(Call *c)
{
    double d;
    if (!need(c, 1, "newDoubleBits"))
        return 0;
    if (decodeHex(textArg(c, 1), (char *)&d, sizeof d) != (long)sizeof d)
        return fail(c, "newDoubleBits: want 16 hex digits");
    return c->t->newDouble(d, c->result);
}

/* An int from decimal or 0x hex text, as 32 bits. */
static int32_t parseInt32(const char *text)
{
    return (int32_t)(uint32_t)strtoull(text, NULL, 0);
}

static int newIntFrom(Call *c)
{
    if (!need(c, 1, "newInt"))
        return 0;
    if (textArg(c, 1)[0] == '-')
        return c->t->newInt((int32_t)strtoll(textArg(c, 1), NULL, 0), c->result);
    return c->t->newInt(parseInt32(textArg(c, 1)), c->result);
}

static int newBoolFrom(Call *c)
{
    if (!need(c, 1, "newBool"))
        return 0;
    return c->t->newBool(parseInt32(textArg(c, 1)), c->result);
}

static int newStringFrom(Call *c)
{
    if (!need(c, 1, "newString"))
        return 0;
    return c->t->newString(textArg(c, 1), c->result);
}

static int newStringNull(Call *c) { return c->t->newString(NULL, c->result); }

/* Bytes given as hex, NULs included; an optional second argument overrides
 * the length (0 with the bytes still there, say). */
static int newBinaryHex(Call *c)
{
    char bytes[4096];
    if (!need(c, 1, "newBinaryHex"))
        return 0;
    long n = decodeHex(textArg(c, 1), bytes, sizeof bytes);
    if (n < 0)
        return fail(c, "newBinaryHex: bad hex");
    int32_t length = (int32_t)n;
    if (c->count > 2)
        c->t->getInt(c->args[2], &length);
    if (length > n)
        return fail(c, "newBinaryHex: length beyond the bytes");
    return c->t->newBinary(bytes, length, c->result);
}

static int newBinaryNull(Call *c)
{
    int32_t length = 0;
    if (c->count > 1)
        c->t->getInt(c->args[1], &length);
    return c->t->newBinary(NULL, length, c->result);
}

/* The doubles of an array reference, made again with the given count (by
 * default all of them; never more than were read). */
static int newDoubleArrayFrom(Call *c)
{
    double *values = NULL;
    int32_t count = 0, wanted;
    if (!need(c, 1, "newDoubleArray"))
        return 0;
    if (!c->t->getDoubleArray(c->args[1], &values, &count))
        return fail(c, "newDoubleArray: not an array reference");
    wanted = count;
    if (c->count > 2)
        c->t->getInt(c->args[2], &wanted);
    if (wanted > count)
        wanted = count;
    c->t->newDoubleArray(values, wanted, c->result);
    c->t->releaseDoubleArray(values);
    return 1;
}

/* A null data pointer with a count that is not positive. */
static int newDoubleArrayNull(Call *c)
{
    int32_t count = 0;
    if (c->count > 1)
        c->t->getInt(c->args[1], &count);
    if (count > 0)
        return fail(c, "newDoubleArrayNull: count must not be positive");
    return c->t->newDoubleArray(NULL, count, c->result);
}

/* Makes n scalars and keeps none of them: all are the interpreter's to free. */
static int makeMany(Call *c)
{
    int32_t n = 0;
    PlotruneScalar *made;
    if (c->count > 1)
        c->t->getInt(c->args[1], &n);
    for (int32_t i = 0; i < n; ++i) {
        c->t->newDouble(i, &made);
        c->t->newString("made", &made);
    }
    return c->t->newInt(n, c->result);
}

#ifdef PLOTRUNE_NEEDS_LAZY_BINDING
/* Defined nowhere: the library opens only with lazy binding, and this method
 * is never called. */
extern void plotruneSymbolNobodyDefines(void);
static int unresolved(Call *c)
{
    plotruneSymbolNobodyDefines();
    return fail(c, "unreachable");
}
#endif

/* ---- the entry ---- */

static const NamedMethod kMethods[] = {
    {"getDouble", getDouble},
    {"getInt", getInt},
    {"getBool", getBool},
    {"getBoolNull", getBoolNull},
    {"getString", getString},
    {"getStringTwice", getStringTwice},
    {"stringAddress", stringAddress},
    {"readScalar", readScalar},
    {"getDoubleArray", doubleArray},
    {"getIntArray", intArray},
    {"getStringArray", texts},
    {"stringArrayAddresses", textAddresses},
    {"sumArray", sumArray},
    {"countDoubleArray", countDoubleArray},
    {"countIntArray", countIntArray},
    {"countStringArray", countStringArray},
    {"newDoubleBits", newDoubleBits},
    {"newInt", newIntFrom},
    {"newBool", newBoolFrom},
    {"newString", newStringFrom},
    {"newStringNull", newStringNull},
    {"newBinaryHex", newBinaryHex},
    {"newBinaryNull", newBinaryNull},
    {"newDoubleArray", newDoubleArrayFrom},
    {"newDoubleArrayNull", newDoubleArrayNull},
    {"makeMany", makeMany},
    {"fail", failWith},
    {"failFill", failFill},
#ifdef PLOTRUNE_NEEDS_LAZY_BINDING
    {"unresolved", unresolved},
#endif
};

static int runOther(const CallbackTable *table, int32_t count, PlotruneScalar **args,
                    PlotruneScalar **result, char *message, const char *name);

EXPORT int32_t runMethod(const CallbackTable *table, int32_t count, PlotruneScalar **args,
                         PlotruneScalar **result, char *message)
{
    const char *name;

    if (count < 1) {
        Call c = {table, count, args, result, message};
        return inspect(&c, *result); /* no method named: say what arrived */
    }
    table->getString(args[0], &name);

    /* The methods a benchmark calls in a loop come first, and alone: their
     * names are told apart letter by letter (a library strcmp costs dozens of
     * instructions per call), and the rest of the dispatch is out of line. */
    if (name[0] == 'n' && name[1] == 'u' && name[2] == 'm' && name[3] == '\0' && count >= 2) {
        double d;
        table->getDouble(args[1], &d);
        return table->newDouble(d, result);
    }
    if (name[0] == 'n' && name[1] == 'o' && name[2] == 'p' && name[3] == '\0')
        return 1;
    return runOther(table, count, args, result, message, name);
}

/* The result slot still holds what it held when runMethod began: nothing
 * before this has written it. */
static __attribute__((noinline)) int runOther(const CallbackTable *table, int32_t count,
                                              PlotruneScalar **args, PlotruneScalar **result,
                                              char *message, const char *name)
{
    Call c = {table, count, args, result, message};
    PlotruneScalar *slotBefore = *result;

    if (strcmp(name, "num") == 0)
        return fail(&c, "num needs 1 argument(s)");
    if (strcmp(name, "inspect") == 0)
        return inspect(&c, slotBefore);
    if (strcmp(name, "keep") == 0)
        return 1; /* success without storing a result */
    if (strcmp(name, "nullResult") == 0) {
        *result = NULL; /* a broken engine: success, and no scalar to return */
        return 1;
    }
    if (strcmp(name, "status") == 0) {
        /* success with the given nonzero status, result "status" */
        int32_t status = 1;
        if (count > 1)
            table->getInt(args[1], &status);
        table->newString("status", result);
        if (!status)
            return fail(&c, "status 0");
        return status;
    }
    if (strcmp(name, "failSilently") == 0)
        return 0; /* a failure that writes no message at all */

    return RUN_NAMED(&c, name, kMethods);
}
