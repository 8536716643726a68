/*
 * perlapi.cpp - the Perl binding of the plotrune engine.
 *
 * One source, built once per Perl configuration under its own module name
 * (PLOTRUNE_MODULE, e.g. perlplotrune518i64mt).  At boot the module opens the
 * engine library beside its own file, resolves runMethod, and registers five
 * subs; callMethod forwards every call to the engine and lends it the
 * CallbackTable, through which the engine reads and makes Perl values.
 *
 * PERL_NO_GET_CONTEXT stays undefined on purpose: the table's routines are
 * called by the engine with no interpreter argument, so in threaded builds
 * every use of the interpreter fetches the one current on the calling thread.
 *
 * A Perl error is a longjmp: nothing here has a destructor, and every
 * allocation is either released before a croak or owned by the interpreter's
 * save stack, so an error raised inside a conversion leaks nothing.
 *
 * Built with PLOTRUNE_CHECKED defined, the module checks every rule of the
 * engine contract that an engine can break (see "The checked build" below);
 * without it, not one instruction of those checks is compiled.
 */

#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* dladdr */
#endif

#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef PLOTRUNE_CHECKED
#include <stdarg.h>
#endif

#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"

#include "plotrune_engine.h"

#ifndef PLOTRUNE_MODULE
#error "PLOTRUNE_MODULE must name the build, e.g. -DPLOTRUNE_MODULE=perlplotrune518i64mt"
#endif

#define PLOTRUNE_STR_(x) #x
#define PLOTRUNE_STR(x) PLOTRUNE_STR_(x)
#define PLOTRUNE_CAT_(a, b) a##b
#define PLOTRUNE_CAT(a, b) PLOTRUNE_CAT_(a, b)

#define PLOTRUNE_NAME PLOTRUNE_STR(PLOTRUNE_MODULE)
#define PLOTRUNE_BOOT PLOTRUNE_CAT(boot_, PLOTRUNE_MODULE)

/* Perl 5.18.0 judged a scalar with several valid values by all of them (a
 * dual value with string "0" and integer 5 is true); 5.18.1 went back to
 * letting the string decide alone.  The 5.18 builds keep the 5.18.0 rule
 * whichever 5.18 release's headers they are compiled against. */
#define PLOTRUNE_TRUTH_OF_PERL_5_18_0 (PERL_REVISION == 5 && PERL_VERSION == 18)

namespace {

/* ------------------------------------------------------------------ */
/* Constants                                                           */

/* Only its address matters: it lies in this module's image, so the dynamic
 * loader maps it back to the module's file. */
const char kAnchor[] = "ENTRY_POINT";

/* Handed out for every undefined scalar read as text, and the source of the
 * empty strings the makers build: one pointer, the same every time. */
const char kEmptyText[1] = "";

const char kSourceName[] = "perlapi.cpp";
const char kLibraryName[] = PLOTRUNE_LIBRARY_NAME;
const char kLibrarySuffix[] = "/" PLOTRUNE_LIBRARY_NAME;
const char kLoadErrorFormat[] = "Error loading \"%s\" : %s\n";
const char kUnknownError[] = "Unknown error";
const char kCopyright[] = "perlplotrune Copyright (C) 2026 The perlplotrune developers";

const IV kMajorVersion = 5;
const IV kMinorVersion = 1;

const size_t kPathSize = 1024;
const size_t kLoadErrorSize = 1024;
const size_t kMessageSize = PLOTRUNE_MESSAGE_SIZE;
#ifdef PLOTRUNE_CHECKED
/* What the checked build fills the message buffer with before the call. */
const char kUnwritten = '\x7f';
#endif

/* Up to this many arguments (the method name and sixteen more) callMethod
 * keeps their handles on its own frame: no allocation, and nothing to release
 * when a Perl error unwinds it. */
const int kFrameArgs = 1 + 16;

/* The engine reserves these exact values; numbers that arrive a rounding
 * error away from one of them (after a trip through text, say) are moved onto
 * it.  Bounds are exclusive and the intervals do not overlap. */
struct Sentinel {
    double above;
    double below;
    double value;
};
constexpr Sentinel kSentinels[] = {
    {1.699e308, 1.701e308, 1.7e308},     {-1.701e308, -1.699e308, -1.7e308},
    {1.599e308, 1.601e308, 1.6e308},     {-1.601e308, -1.599e308, -1.6e308},
    {1.499e308, 1.501e308, 1.5e308},     {9.999e199, 1.001e200, 1e200},
    {-1.701e-100, -1.699e-100, -1.7e-100},
};

/* ------------------------------------------------------------------ */
/* Module-wide state: written by the first boot that binds the engine  */
/* (initEngine), only read afterwards.                                 */

CallbackTable callbacks;
PlotruneRunMethod engineEntry;
char loadError[kLoadErrorSize];

/* ------------------------------------------------------------------ */
/* The running call                                                    */
/*                                                                     */
/* Each running callMethod keeps a record on its own frame, found by   */
/* the table's routines through a thread-local pointer to the          */
/* innermost call of this module on the thread (initial-exec: reached  */
/* without a call into the dynamic loader).  It holds what the module  */
/* lent the engine in this call: the array blocks not yet given back,  */
/* and the texts lent in place from a scalar's own buffer that Perl    */
/* code could still rewrite or free.  The record closes from the save  */
/* stack, whether the call returns or a Perl error unwinds it: every   */
/* block still held is freed then, and the outer call (one whose tie   */
/* or overloading ran this one) is current again.                      */

/* The array readers, by the index the marks use. */
enum ArrayReader { kTextArray, kNumberArray, kIntegerArray, kArrayReaders };

inline unsigned handedOut(int reader) { return 4u << reader; } /* a block not yet given back */
const unsigned kAnyHandedOut = 4u | 8u | 16u;

struct Mark {
    const void *address; /* null: a free entry */
    unsigned bits;       /* the checked build keeps a payload above its flags (kPayloadShift) */
};

/* A text lent in place, not yet made safe from Perl code: count < 0 for
 * one text in the owner's own buffer, else a block of count texts read in
 * place from the plain array owner. */
struct Lent {
    SV *owner;
    const void *what;
    IV count;
};

/* Most calls mark a handful of addresses: those fit on the frame. */
#ifdef PLOTRUNE_CHECKED
const size_t kFrameMarks = 32;
#else
const size_t kFrameMarks = 8;
#endif
const int kFrameLent = 8;
#ifdef PLOTRUNE_CHECKED
/* The method as the messages show it, cut to this many bytes. */
const size_t kMethodShown = 80;
#endif

struct CallRecord {
    CallRecord *outer; /* the call this one is nested in, on this thread */
    Mark *marks;       /* open addressing, at most half full; none yet when capacity is 0 */
    size_t capacity;   /* 0 or a power of two */
    size_t used;
    int lentCount;
    bool armed; /* a scope of the call's own holds closeCall */
    Lent lent[kFrameLent];
#ifdef PLOTRUNE_CHECKED
    SV *first; /* what the result slot held when the engine started */
    int32_t outstanding[kArrayReaders];
    char method[kMethodShown + 1]; /* empty when the method is no plain string */
#endif
    Mark frameMarks[kFrameMarks];
};

__thread CallRecord *currentCall __attribute__((tls_model("initial-exec")));

/* Raises running out of memory as the Perl error it is; what the call
 * holds is freed by the unwinding. */
void armCall();

[[noreturn]] void raiseOutOfMemory(const char *routine, size_t bytes)
{
    armCall();
    croak("%s: out of memory in %s: %lu bytes could not be allocated\n", PLOTRUNE_NAME, routine,
          static_cast<unsigned long>(bytes));
}

inline size_t markHome(const CallRecord *record, const void *address)
{
    uintptr_t h = reinterpret_cast<uintptr_t>(address) >> 3;
    h ^= h >> 11;
    return static_cast<size_t>(h * 0x9e3779b1u) & (record->capacity - 1);
}

size_t markSlot(const CallRecord *record, const void *address)
{
    const size_t mask = record->capacity - 1;
    size_t i = markHome(record, address);
    while (record->marks[i].address && record->marks[i].address != address)
        i = (i + 1) & mask;
    return i;
}

inline unsigned marksOf(const CallRecord *record, const void *address)
{
    return record->capacity ? record->marks[markSlot(record, address)].bits : 0u;
}

/* Doubles the table (or starts it on the frame); raises when memory runs
 * out, with the table as it was. */
void growMarks(CallRecord *record, const char *routine)
{
    if (!record->capacity) {
        memset(record->frameMarks, 0, sizeof record->frameMarks);
        record->marks = record->frameMarks;
        record->capacity = kFrameMarks;
        return;
    }
    Mark *const old = record->marks;
    const size_t oldCapacity = record->capacity;
    Mark *const grown = static_cast<Mark *>(calloc(2 * oldCapacity, sizeof(Mark)));
    if (!grown)
        raiseOutOfMemory(routine, 2 * oldCapacity * sizeof(Mark));
    record->marks = grown;
    record->capacity = 2 * oldCapacity;
    for (size_t i = 0; i < oldCapacity; ++i)
        if (old[i].address)
            record->marks[markSlot(record, old[i].address)] = old[i];
    if (old != record->frameMarks)
        free(old);
}

/* The mark of an address, made (with no bits) when there is none; the
 * address is not null. */
Mark *markOf(CallRecord *record, const void *address, const char *routine)
{
    if (!record->capacity || 2 * (record->used + 1) > record->capacity) {
        if (record->capacity && record->marks[markSlot(record, address)].address)
            return &record->marks[markSlot(record, address)];
        growMarks(record, routine);
    }
    const size_t i = markSlot(record, address);
    if (!record->marks[i].address) {
        record->marks[i].address = address;
        record->marks[i].bits = 0;
        ++record->used;
    }
    return &record->marks[i];
}

/* Sets the bits given and clears those in clear; address is not null. */
void mark(CallRecord *record, const void *address, unsigned set, unsigned clear, const char *routine)
{
    Mark *m = markOf(record, address, routine);
    m->bits = (m->bits & ~clear) | set;
}

/* Removes the mark in slot i, shifting back the entries that probed past
 * it, so that a call that reads and gives back many blocks keeps its table
 * small. */
void unmark(CallRecord *record, size_t i)
{
    const size_t mask = record->capacity - 1;
    for (size_t j = (i + 1) & mask; record->marks[j].address; j = (j + 1) & mask) {
        const size_t home = markHome(record, record->marks[j].address);
        const bool between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!between) {
            record->marks[i] = record->marks[j];
            i = j;
        }
    }
    record->marks[i].address = NULL;
    record->marks[i].bits = 0;
    --record->used;
}

/* Ends the record: frees the blocks the engine never gave back and the
 * record's own table, and makes the outer call current again. */
void finishCall(CallRecord *record)
{
    for (size_t i = 0; i < record->capacity; ++i)
        if (record->marks[i].bits & kAnyHandedOut)
            free(const_cast<void *>(record->marks[i].address));
    if (record->capacity && record->marks != record->frameMarks)
        free(record->marks);
    currentCall = record->outer;
}

/* Runs from the save stack when a Perl error unwinds an armed call, or when
 * callMethod leaves the call's scope. */
void closeCall(pTHX_ void *data)
{
    PERL_UNUSED_CONTEXT;
    finishCall(static_cast<CallRecord *>(data));
}

/* Opens the record of a call whose engine is about to run.  No Perl error
 * can leave the engine before a routine of the table runs Perl code, raises,
 * or hands out a block: each of those arms the record first, in a scope of
 * its own that callMethod leaves once the engine has returned, so that the
 * common call pays for no scope at all. */
inline void openRecord(CallRecord *record)
{
    record->capacity = 0;
    record->used = 0;
    record->lentCount = 0;
    record->armed = false;
    record->outer = currentCall;
    currentCall = record;
}

__attribute__((noinline)) void armRecord(CallRecord *record)
{
    ENTER;
    SAVEDESTRUCTOR_X(closeCall, record);
    record->armed = true;
}

/* Before anything that may raise a Perl error. */
void armCall()
{
    CallRecord *record = currentCall;
    if (record && !record->armed)
        armRecord(record);
}

/* callMethod's end of the call, once the engine has returned. */
inline void closeRecord(CallRecord *record)
{
    if (record->armed)
        LEAVE;
    else
        finishCall(record);
}

/* Makes a text lent in place from sv's own buffer safe from Perl code:
 * the buffer is kept by a mortal until the statement ends.  A copy that
 * shares it (copy-on-write, a shared hash key, a static text) keeps it
 * without a byte copied; otherwise sv takes the copy and the mortal the
 * buffer lent, so that the text stays where the engine holds it. */
void pinText(SV *sv, const char *text)
{
    if (!SvPOKp(sv) || SvPVX(sv) != text)
        return;
    SV *keep = sv_newmortal();
    sv_setsv_flags(keep, sv, SV_NOSTEAL | SV_COW_SHARED_HASH_KEYS);
    if (!SvPOKp(keep) || SvPVX(keep) == text)
        return;
    if (!SvLEN(sv) || !SvLEN(keep) || SvIsCOW(sv) || SvIsCOW(keep))
        return; /* a buffer of no allocation of its own: nothing Perl code frees */
    char *const copy = SvPVX(keep);
    const STRLEN copyLength = SvLEN(keep);
    SvPV_set(keep, SvPVX(sv));
    SvLEN_set(keep, SvLEN(sv));
    SvPV_set(sv, copy);
    SvLEN_set(sv, copyLength);
    /* A buffer with an offset (what s/^x// leaves) keeps it in the bytes
     * before the text: the offset goes with the buffer. */
    if (SvOOK(sv)) {
        SvFLAGS(keep) |= SVf_OOK;
        SvFLAGS(sv) &= ~SVf_OOK;
    }
}

/* Called before anything that may run Perl code (a fetch, an overloaded
 * conversion, a warning's handler): every text lent in place so far is
 * made safe, since that code may assign to its scalar or free it. */
__attribute__((noinline)) void secureLent(CallRecord *record)
{
    const int n = record->lentCount;
    record->lentCount = 0;
    for (int k = 0; k < n; ++k) {
        const Lent &lent = record->lent[k];
        if (lent.count < 0) {
            pinText(lent.owner, static_cast<const char *>(lent.what));
            continue;
        }
        AV *av = reinterpret_cast<AV *>(lent.owner);
        const char *const *texts = static_cast<const char *const *>(lent.what);
        const IV m = lent.count < AvFILLp(av) + 1 ? lent.count : AvFILLp(av) + 1;
        for (IV i = 0; i < m; ++i)
            if (AvARRAY(av)[i] && texts[i] != kEmptyText)
                pinText(AvARRAY(av)[i], texts[i]);
    }
}

inline void beforePerlCode()
{
    CallRecord *record = currentCall;
    if (!record)
        return;
    if (!record->armed)
        armRecord(record);
    if (record->lentCount)
        secureLent(record);
}

/* Notes a text lent in place; a full list is made safe at once. */
inline void lend(SV *owner, const void *what, IV count)
{
    CallRecord *record = currentCall;
    if (!record)
        return;
    if (record->lentCount == kFrameLent)
        secureLent(record);
    Lent &lent = record->lent[record->lentCount++];
    lent.owner = owner;
    lent.what = what;
    lent.count = count;
}

/* A text block given back needs no protection any more (and must not be
 * read again). */
void forgetLent(CallRecord *record, const void *what)
{
    for (int k = record->lentCount; k-- > 0;)
        if (record->lent[k].what == what)
            record->lent[k] = record->lent[--record->lentCount];
}

/* Frees a block whose reader was left by a Perl error before the engine got
 * it.  Runs from the save stack, on success (when the slot has been cleared)
 * and on unwinding alike. */
void freeUnclaimedBlock(pTHX_ void *slot)
{
    PERL_UNUSED_CONTEXT;
    void **pending = static_cast<void **>(slot);
    free(*pending);
    *pending = NULL;
}

/* Records a block handed out by a reader, freeing it (and raising) when
 * the record cannot grow. */
void handOut(int reader, void *block, const char *routine)
{
    CallRecord *record = currentCall;
    if (!record || !block)
        return;
    if (!record->armed)
        armRecord(record);
    if (!record->capacity || 2 * (record->used + 1) > record->capacity) {
        /* Growing may raise: the block is not yet the record's to free. */
        void *pending = block;
        ENTER;
        SAVEDESTRUCTOR_X(freeUnclaimedBlock, &pending);
        mark(record, block, handedOut(reader), 0, routine);
        pending = NULL;
        LEAVE;
        return;
    }
    mark(record, block, handedOut(reader), 0, routine);
}

/* Takes a block back: true when this call handed it out and it is still
 * held (then it is no longer the record's, and the caller frees it). */
bool takeBack(const void *block)
{
    CallRecord *record = currentCall;
    if (!record)
        return block != NULL; /* no call to check against (a harness driving the table): as given */
    if (!block || !record->capacity)
        return false;
    const size_t i = markSlot(record, block);
    if (!(record->marks[i].bits & kAnyHandedOut))
        return false;
    if (record->marks[i].bits & handedOut(kTextArray))
        forgetLent(record, block);
    unmark(record, i);
    return true;
}

/* ------------------------------------------------------------------ */
/* Scalar readers                                                      */

inline double snapSentinel(double value)
{
    /* Every interval lies beyond one of these two gates (the magnitude test
     * costs one comparison for all the large ones); most numbers (and NaN,
     * which fails every comparison) leave here. */
    if (!(__builtin_fabs(value) > 9.999e199 || (value < -1.699e-100 && value > -1.701e-100)))
        return value;
    for (const Sentinel &s : kSentinels)
        if (value > s.above && value < s.below)
            return s.value;
    return value;
}

/* The low 32 bits of an IV, as a two's complement int, without relying on an
 * implementation-defined narrowing. */
inline int32_t lowInt32(IV iv)
{
    uint32_t low = static_cast<uint32_t>(static_cast<UV>(iv));
    return low <= 0x7fffffffu ? static_cast<int32_t>(low)
                              : static_cast<int32_t>(low - 0x80000000u) - 0x7fffffff - 1;
}

inline double numberOf(SV *sv) { return snapSentinel(SvNV(sv)); }

inline int32_t integerOf(SV *sv) { return lowInt32(SvIV(sv)); }

/* A scalar with get-magic (a capture variable, a substr, a tie) shows no
 * value, or one left from an earlier fetch, until that magic runs: it runs
 * here once, into a mortal copy, and the fetched value decides.  The text
 * then lives in the copy, which no later fetch of the same scalar (another
 * read, or Perl code run by another read) can rewrite or free before the
 * call ends.  An undefined value reads as the empty text without
 * conversion, so without a warning. */
inline const char *textOf(SV *sv)
{
    if (SvGMAGICAL(sv))
        sv = sv_mortalcopy(sv);
    return SvOK(sv) ? SvPV_nolen(sv) : kEmptyText;
}

/* Whether a reader's value is the scalar's cached field as it stands: the
 * field is valid and no get-magic could replace it.  For such a scalar the
 * interpreter's macro (SvNV, SvIV, SvPV, in every version) returns that field
 * without a call, so reading the field directly gives the same value; the
 * readers below do so to keep the common case free of the general path's
 * call and stack frame. */
inline bool cachedNumber(SV *sv) { return SvNOK(sv) && !SvGMAGICAL(sv); }
inline bool cachedInteger(SV *sv) { return SvIOK(sv) && !SvGMAGICAL(sv); }
inline bool cachedText(SV *sv) { return SvPOK(sv) && !SvGMAGICAL(sv); }

#if PLOTRUNE_TRUTH_OF_PERL_5_18_0
bool truthOf(SV *sv)
{
    if (SvGMAGICAL(sv))
        return sv_2bool(sv);
    if (!SvOK(sv))
        return false;
    if (SvFLAGS(sv) & (SVf_POK | SVf_IOK | SVf_NOK))
        return (SvPOK(sv) && SvPVXtrue(sv)) || (SvIOK(sv) && SvIVX(sv) != 0) ||
               (SvNOK(sv) && SvNVX(sv) != 0.0);
    return sv_2bool_nomg(sv);
}
#else
inline bool truthOf(SV *sv) { return SvTRUE(sv); }
#endif

/* A text from a scalar's own buffer is lent in place, and noted so that it
 * is made safe before Perl code runs again in this call. */
inline void lendText(SV *sv, const char *text)
{
    if (SvPOKp(sv) && SvPVX(sv) == text)
        lend(sv, text, -1); /* not a mortal's, a temporary's, or kEmptyText */
}

/* The general paths, out of line, so that the readers' cached case needs no
 * frame and ends in a tail call otherwise.  Each may run Perl code (a fetch,
 * an overloaded conversion, a warning's handler), so the texts lent before
 * are made safe first. */
__attribute__((noinline)) int32_t readNumber(SV *sv, double *value)
{
    beforePerlCode();
    *value = numberOf(sv);
    return 1;
}

__attribute__((noinline)) int32_t readInteger(SV *sv, int32_t *value)
{
    beforePerlCode();
    *value = integerOf(sv);
    return 1;
}

__attribute__((noinline)) int32_t readText(SV *sv, const char **text)
{
    beforePerlCode();
    const bool magical = SvGMAGICAL(sv);
    *text = textOf(sv);
    if (!magical)
        lendText(sv, *text);
    return 1;
}

/* Every reader writes nothing and answers 0 when a pointer it needs is
 * null: an engine's mistake gives a defined result, not a crash. */
int32_t getDouble(SV *sv, double *value)
{
    if (!sv || !value)
        return 0;
    if (!cachedNumber(sv))
        return readNumber(sv, value);
    *value = snapSentinel(SvNVX(sv));
    return 1;
}

int32_t getInt(SV *sv, int32_t *value)
{
    if (!sv || !value)
        return 0;
    if (!cachedInteger(sv))
        return readInteger(sv, value);
    *value = lowInt32(SvIVX(sv));
    return 1;
}

int32_t getBool(SV *sv, int32_t *value)
{
    if (!value)
        return 0;
    if (sv && (SvGMAGICAL(sv) || SvROK(sv)))
        beforePerlCode(); /* a fetch, or overloaded truth */
    *value = sv && truthOf(sv) ? 1 : 0;
    return 1;
}

int32_t getString(SV *sv, const char **text)
{
    if (!sv || !text)
        return 0;
    if (!cachedText(sv))
        return readText(sv, text);
    *text = SvPVX(sv);
    lend(sv, *text, -1);
    return 1;
}

/* The text belongs to the interpreter (or is kEmptyText): nothing to free.
 * The routine exists so that the engine can pair every read with a release;
 * any pointer is accepted, and none is written or freed. */
void releaseString(const char *) {}


/* ------------------------------------------------------------------ */
/* Array readers                                                       */

/* What differs between the three array readers: the element type, how an
 * element is read, and which value flag shows that the read takes a cached
 * value (and so cannot run Perl code, which could die). */
struct TextElement {
    typedef const char *Type;
    static const ArrayReader kReader = kTextArray;
    static const char *name() { return "getStringArray"; }
    static Type read(SV *sv) { return textOf(sv); }
    static Type missing() { return kEmptyText; }
    static bool cached(SV *sv) { return cachedText(sv); }
    /* undefined and without get-magic reads as kEmptyText */
    static bool mayRunCode(SV *sv) { return !cachedText(sv) && (SvOK(sv) || SvGMAGICAL(sv)); }
    static Type readCached(SV *sv) { return SvPVX(sv); }
    /* A text points into its element's buffer, which Perl code run by a
     * later element may rewrite or free; such texts are copied into mortals
     * of their own, out of that code's reach. */
    static const bool kBorrowed = true;
    static Type own(Type text) { return text == kEmptyText ? text : SvPVX(sv_2mortal(newSVpv(text, 0))); }
};

struct NumberElement {
    typedef double Type;
    static const ArrayReader kReader = kNumberArray;
    static const char *name() { return "getDoubleArray"; }
    static Type read(SV *sv) { return numberOf(sv); }
    static Type missing() { return 0.0; }
    static bool cached(SV *sv) { return cachedNumber(sv); }
    static bool mayRunCode(SV *sv) { return !cachedNumber(sv); }
    static Type readCached(SV *sv) { return snapSentinel(SvNVX(sv)); }
    static const bool kBorrowed = false;
    static Type own(Type value) { return value; }
};

struct IntegerElement {
    typedef int32_t Type;
    static const ArrayReader kReader = kIntegerArray;
    static const char *name() { return "getIntArray"; }
    static Type read(SV *sv) { return integerOf(sv); }
    static Type missing() { return 0; }
    static bool cached(SV *sv) { return cachedInteger(sv); }
    static bool mayRunCode(SV *sv) { return !cachedInteger(sv); }
    static Type readCached(SV *sv) { return lowInt32(SvIVX(sv)); }
    static const bool kBorrowed = false;
    static Type own(Type value) { return value; }
};


/* Opens the scope in which an array read may run Perl code.  That code may
 * drop the last reference to the array (by assigning to the variable that
 * held it, say), so the array is kept alive until the scope ends; and a Perl
 * error leaving the read frees the block the slot names. */
void guardArrayRead(AV *av, void **pending)
{
    beforePerlCode();
    ENTER;
    SAVEFREESV(SvREFCNT_inc_simple_NN(reinterpret_cast<SV *>(av)));
    SAVEDESTRUCTOR_X(freeUnclaimedBlock, pending);
}

/* Gives the first n values of the block copies of their own; true, to say
 * that the values read from now on are copied too. */
template <typename Element> bool ownTexts(typename Element::Type *block, IV n)
{
    for (IV j = 0; j < n; ++j)
        block[j] = Element::own(block[j]);
    return true;
}

template <typename Element>
int32_t readArray(SV *sv, typename Element::Type **values, int32_t *count)
{
    typedef typename Element::Type T;

    if (!sv || !values || !count)
        return 0;
    /* A tie, or a tied hash's element, holds its value once fetched: fetch
     * once, and decide on what came. */
    if (SvGMAGICAL(sv)) {
        beforePerlCode();
        mg_get(sv);
    }
    /* No array at all: an empty result, nothing allocated. */
    if (!SvOK(sv)) {
        *values = NULL;
        *count = 0;
        return 1;
    }
    if (!SvROK(sv) || SvTYPE(SvRV(sv)) != SVt_PVAV)
        return 0;

    AV *av = reinterpret_cast<AV *>(SvRV(sv));
    /* A tied or otherwise magical array goes through av_fetch; a plain one
     * is read in place (@_ may hold freed entries while it is reified, so it
     * takes the general path too).  A tie runs Perl code from the size on. */
    const bool plain = !SvMAGICAL(av) && !AvREIFY(av);
    void *pending = NULL;
    bool guarded = false;
    if (!plain) {
        guardArrayRead(av, &pending);
        guarded = true;
    }
    const IV n = static_cast<IV>(av_len(av)) + 1;
    /* Neither is "not an array": each is raised, and the unwinding leaves
     * the guard's scope. */
    if (n > INT32_MAX) {
        armCall();
        croak("%s: %s: an array of %" IVdf " elements, more than a count of the engine holds\n",
              PLOTRUNE_NAME, Element::name(), n);
    }
    const size_t bytes = static_cast<size_t>(n) * sizeof(T);
    T *block = static_cast<UV>(n) <= SIZE_MAX / sizeof(T) ? static_cast<T *>(malloc(bytes)) : NULL;
    if (!block && n != 0)
        raiseOutOfMemory(Element::name(), bytes);
    pending = block;
    const bool tied = SvRMAGICAL(av) && mg_find(reinterpret_cast<SV *>(av), PERL_MAGIC_tied);
    /* The texts of a magical array that is not tied (@_ being reified, an
     * array with weak references) are copied: only a plain array's texts
     * can be made safe in place afterwards. */
    bool copying = Element::kBorrowed && !plain && !tied;

    /* The cached prefix.  While the elements of a plain array hold their
     * value cached and have no get-magic, no Perl code runs, so the array
     * cannot change under the loop: it is read in place without the general
     * loop's checks.  The general loop takes over at the first element that
     * is missing or needs a conversion. */
    IV start = 0;
    if (plain) {
        SV *const *const array = AvARRAY(av);
        for (; start < n; ++start) {
            SV *const element = array[start];
            if (!element || !Element::cached(element))
                break;
            block[start] = Element::readCached(element);
        }
    }
    for (IV i = start; i < n; ++i) {
        SV *element;
        if (plain) {
            /* Re-read each time: a conversion that runs Perl code may have
             * shrunk or reallocated the array. */
            element = i <= AvFILLp(av) ? AvARRAY(av)[i] : NULL;
        } else {
            SV **slot = av_fetch(av, static_cast<I32>(i), 0);
            element = slot ? *slot : NULL;
        }
        if (!guarded && element && Element::mayRunCode(element)) {
            /* From here on a Perl error could leave the loop; the save stack
             * frees the block in that case. */
            guardArrayRead(av, &pending);
            guarded = true;
        }
        /* An element with get-magic (a tied array's proxy, $1 aliased in @_,
         * an element of @-) shows its value only once that magic has run:
         * it is fetched once, into a mortal copy that every reader takes as
         * it is.  The Perl code a fetch runs may rewrite texts read before;
         * a tied array's elements are all such copies, out of its reach. */
        const bool magical = element && SvGMAGICAL(element);
        if (Element::kBorrowed && !copying && magical && !tied)
            copying = ownTexts<Element>(block, i);
        if (magical)
            element = sv_mortalcopy(element);
        /* A reference's text is made for the read (and its overloading may
         * run Perl code). */
        if (Element::kBorrowed && !copying && element && SvROK(element))
            copying = ownTexts<Element>(block, i);
        const T value = element ? Element::read(element) : Element::missing();
        block[i] = copying ? Element::own(value) : value;
    }
    if (guarded) {
        pending = NULL;
        LEAVE;
    }
    /* Texts read in place stay the elements' own, to be made safe once Perl
     * code may run again in this call. */
    if (Element::kBorrowed && !copying && block && n)
        lend(reinterpret_cast<SV *>(av), block, n);
    handOut(Element::kReader, block, Element::name());
    *values = block;
    *count = static_cast<int32_t>(n);
    return 1;
}

int32_t getStringArray(SV *sv, const char ***texts, int32_t *count)
{
    return readArray<TextElement>(sv, texts, count);
}

/* Each releaser frees only a block handed out in this call and still held;
 * anything else (a block given back already, memory the module never lent)
 * is left alone. */
void releaseStringArray(const char **texts)
{
    if (takeBack(texts))
        free(const_cast<char **>(texts));
}

int32_t getDoubleArray(SV *sv, double **values, int32_t *count)
{
    return readArray<NumberElement>(sv, values, count);
}

void releaseDoubleArray(double *values)
{
    if (takeBack(values))
        free(values);
}

int32_t getIntArray(SV *sv, int32_t **values, int32_t *count)
{
    return readArray<IntegerElement>(sv, values, count);
}

void releaseIntArray(int32_t *values)
{
    if (takeBack(values))
        free(values);
}

/* ------------------------------------------------------------------ */
/* Value makers: every scalar made is mortal and plain.  Without a place  */
/* for the scalar (a null pointer) nothing is made and the status is 0.  */

int32_t newDouble(double value, SV **made)
{
    if (!made)
        return 0;
    *made = sv_2mortal(newSVnv(value));
    return 1;
}

int32_t newInt(int32_t value, SV **made)
{
    if (!made)
        return 0;
    *made = sv_2mortal(newSViv(static_cast<IV>(value)));
    return 1;
}

int32_t newBool(int32_t truth, SV **made)
{
    if (!made)
        return 0;
    *made = sv_2mortal(newSViv(truth ? 1 : 0));
    return 1;
}

int32_t newString(const char *text, SV **made)
{
    if (!made)
        return 0;
    *made = sv_2mortal(newSVpv(text ? text : kEmptyText, 0));
    return 1;
}

/* A length of 0 reads no byte at all.  A negative length, or bytes without a
 * pointer, would make newSVpv read far out of bounds: those give the empty
 * string too. */
int32_t newBinary(const char *bytes, int32_t length, SV **made)
{
    if (!made)
        return 0;
    const bool some = length > 0 && bytes;
    *made = sv_2mortal(newSVpv(some ? bytes : kEmptyText, some ? static_cast<STRLEN>(length) : 0));
    return 1;
}

/* As newBinary: no values, or a count that is not positive, make an empty
 * array. */
int32_t newDoubleArray(const double *values, int32_t count, SV **made)
{
    if (!made)
        return 0;
    AV *av = reinterpret_cast<AV *>(newSV_type(SVt_PVAV));
    if (values && count > 0) {
        av_extend(av, count - 1);
        for (int32_t i = 0; i < count; ++i)
            av_push(av, newSVnv(values[i]));
    }
    *made = sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(av)));
    return 1;
}

#ifdef PLOTRUNE_CHECKED
/* ------------------------------------------------------------------ */
/* The checked build                                                   */
/*                                                                     */
/* For engine authors: every breach of the contract that an engine can */
/* commit is caught where it happens and raised as a Perl error naming */
/* the breach, the routine and the method, instead of a heap or an     */
/* interpreter corrupted far from the cause.  The call's record marks, */
/* besides the blocks, the scalars the engine may read (the arguments  */
/* and what the makers made in this call), the blocks given back, and  */
/* every text lent with a sum of its bytes, so that a text the engine  */
/* wrote into is named when it is released or the call ends.  The     */
/* table holds the checked routines below, each of which checks and    */
/* then runs the routine of the normal build.                          */

/* What the record knows of an address in this call; bits of one mark
 * (4, 8 and 16 are the blocks handed out, above). */
const unsigned kArgument = 1u; /* an argument handle, or the result slot's first value */
const unsigned kMade = 2u;     /* a scalar a maker made */
const unsigned kLentText = 256u; /* a text getString lent */
/* Above the flags a mark holds a payload: a lent text's sum (of its bytes),
 * a text block's (of its texts); and the mark of a text block's address
 * plus one, which no handle, block or text has, its count plus one (0: too
 * long to be checked). */
const unsigned kPayloadShift = 9;
const uint32_t kPayloadMask = (1u << (32 - kPayloadShift)) - 1;
const unsigned kFlags = (1u << kPayloadShift) - 1;

inline unsigned payload(uint32_t value) { return (value & kPayloadMask) << kPayloadShift; }
inline void setPayload(Mark *m, uint32_t value) { m->bits = (m->bits & kFlags) | payload(value); }
inline const void *countKey(const void *block) { return static_cast<const char *>(block) + 1; }

const char *const kReaderName[kArrayReaders] = {"getStringArray", "getDoubleArray", "getIntArray"};
const char *const kReleaserName[kArrayReaders] = {"releaseStringArray", "releaseDoubleArray", "releaseIntArray"};

inline unsigned givenBack(int reader) { return 32u << reader; } /* a block given back, so freed */
const unsigned kGivenBackAny = 32u | 64u | 128u;

const size_t kBreachSize = 1024;

/* A table routine called with no call of this module running on its thread
 * has no interpreter to raise an error in: touching Perl from here would
 * corrupt whichever interpreter the thread last held, or crash. */
[[noreturn]] void abortOffCall(const char *routine)
{
    fprintf(stderr,
            "%s: contract breach in %s: called while no runMethod of this module is running on this thread "
            "(after runMethod returned, or from a thread of the engine's own); aborting\n",
            PLOTRUNE_NAME, routine);
    abort();
}

inline CallRecord *runningCall(const char *routine)
{
    CallRecord *record = currentCall;
    if (!record)
        abortOffCall(routine);
    return record;
}

/* Raises a breach: "<module>: contract breach in <routine> (method "<m>"): <what>".
 * The text is raised verbatim; the record is closed by the unwinding. */
[[noreturn]] __attribute__((format(printf, 3, 4))) void raiseBreach(const CallRecord *record, const char *routine,
                                                                    const char *format, ...)
{
    char text[kBreachSize];
    int n = record->method[0]
                ? snprintf(text, sizeof text, "%s: contract breach in %s (method \"%s\"): ", PLOTRUNE_NAME, routine,
                           record->method)
                : snprintf(text, sizeof text, "%s: contract breach in %s: ", PLOTRUNE_NAME, routine);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text - 2)
        n = 0;
    va_list what;
    va_start(what, format);
    const int m = vsnprintf(text + n, sizeof text - 1 - n, format, what);
    va_end(what);
    size_t length = m < 0 ? static_cast<size_t>(n) : strlen(text);
    text[length] = '\n';
    text[length + 1] = '\0';
    croak("%s", text);
}

/* A text's bytes, folded (FNV-1a): a write into a lent text changes it. */
uint32_t textSum(const char *text, uint32_t sum = 2166136261u)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text);; ++p) {
        sum = (sum ^ *p) * 16777619u;
        if (!*p)
            return sum;
    }
}

uint32_t blockSum(const char *const *texts, int32_t count)
{
    uint32_t sum = 2166136261u;
    for (int32_t i = 0; i < count; ++i)
        sum = textSum(texts[i], sum);
    return sum;
}

/* Raises a text that the engine wrote into; routine is where it was found. */
void checkLentTexts(CallRecord *record, const char *routine)
{
    for (size_t i = 0; i < record->capacity; ++i) {
        const Mark &m = record->marks[i];
        if ((m.bits & kLentText) && payload(textSum(static_cast<const char *>(m.address))) != (m.bits & ~kFlags))
            raiseBreach(record, routine,
                        "the text %p that getString lent was written to by the engine (a lent text is Perl's, "
                        "to be read only)",
                        m.address);
    }
}

/* Opens the record of a call whose engine is about to run, in a scope of its
 * own that callMethod leaves once the checks at its end have passed. */
void openCall(CallRecord *record, SV **args, I32 items, SV *first)
{
    record->first = first;
    record->outstanding[kTextArray] = record->outstanding[kNumberArray] = record->outstanding[kIntegerArray] = 0;
    record->method[0] = '\0';
    if (items > 0 && SvPOK(args[0]) && !SvGMAGICAL(args[0])) {
        const size_t length = SvCUR(args[0]) < kMethodShown ? SvCUR(args[0]) : kMethodShown;
        memcpy(record->method, SvPVX(args[0]), length);
        record->method[length] = '\0';
    }
    openRecord(record);
    armRecord(record);
    for (I32 i = 0; i < items; ++i)
        mark(record, args[i], kArgument, 0, "callMethod");
    mark(record, first, kArgument, 0, "callMethod");
}

/* The checks at the end of runMethod; raises the first breach found. */
void checkReturn(CallRecord *record, int32_t ok, SV *result, const char *message)
{
    for (int reader = 0; reader < kArrayReaders; ++reader) {
        if (!record->outstanding[reader])
            continue;
        char also[2 * 160] = "";
        size_t used = 0;
        for (int other = reader + 1; other < kArrayReaders; ++other) {
            const int32_t n = record->outstanding[other];
            if (n && used < sizeof also)
                used += snprintf(also + used, sizeof also - used,
                                 "; %d %s from %s not given back through %s", static_cast<int>(n),
                                 n == 1 ? "block" : "blocks", kReaderName[other], kReleaserName[other]);
        }
        const int32_t n = record->outstanding[reader];
        raiseBreach(record, kReaderName[reader],
                    "runMethod returned with %d %s from %s not given back through %s%s "
                    "(the checked build frees them)",
                    static_cast<int>(n), n == 1 ? "block" : "blocks", kReaderName[reader], kReleaserName[reader],
                    also);
    }
    checkLentTexts(record, "getString");
    if (ok) {
        if (result && result != &PL_sv_undef && result != record->first && !(marksOf(record, result) & kMade))
            raiseBreach(record, "runMethod",
                        "on success the result slot holds the scalar %p, which is neither the first argument, "
                        "undef, null, nor a scalar made in this call",
                        static_cast<void *>(result));
        return;
    }
    /* The buffer was filled with kUnwritten beforehand: a message the engine
     * ended has a NUL within it. */
    const size_t length = strnlen(message, kMessageSize);
    if (length == kMessageSize)
        raiseBreach(record, "runMethod", "the failure message has no terminator within the %d-byte buffer",
                    static_cast<int>(kMessageSize));
    if (length == kMessageSize - 1)
        raiseBreach(record, "runMethod",
                    "the failure message fills the %d-byte buffer: its terminator is the last byte, "
                    "leaving none free behind it (at most %d message bytes)",
                    static_cast<int>(kMessageSize), static_cast<int>(kMessageSize - 2));
}

/* A reader may read an argument of the call or a scalar made in it; only
 * getBool takes a null handle. */
CallRecord *checkRead(const char *routine, SV *sv)
{
    CallRecord *record = runningCall(routine);
    if (!sv)
        raiseBreach(record, routine, "a null scalar handle (only getBool takes one)");
    if (!(marksOf(record, sv) & (kArgument | kMade)))
        raiseBreach(record, routine, "the scalar handle %p is neither an argument of this call nor a scalar made in it",
                    static_cast<void *>(sv));
    return record;
}

/* Every out-pointer must lead somewhere. */
inline void checkPlace(CallRecord *record, const char *routine, const void *place, const char *what, int position)
{
    if (!place)
        raiseBreach(record, routine, "a null pointer for the %s (argument %d)", what, position);
}

int32_t checkedGetDouble(SV *sv, double *value)
{
    CallRecord *record = checkRead("getDouble", sv);
    checkPlace(record, "getDouble", value, "value read", 2);
    return getDouble(sv, value);
}

int32_t checkedGetInt(SV *sv, int32_t *value)
{
    CallRecord *record = checkRead("getInt", sv);
    checkPlace(record, "getInt", value, "value read", 2);
    return getInt(sv, value);
}

int32_t checkedGetBool(SV *sv, int32_t *value)
{
    CallRecord *record = sv ? checkRead("getBool", sv) : runningCall("getBool");
    checkPlace(record, "getBool", value, "value read", 2);
    return getBool(sv, value);
}

/* Called after the reader returns: Perl code that it ran (a tie's fetch) may
 * have run a nested call, whose record has closed by then and left this one
 * as it was, and current again. */
int32_t checkedGetString(SV *sv, const char **text)
{
    CallRecord *record = checkRead("getString", sv);
    checkPlace(record, "getString", text, "text read", 2);
    const int32_t status = getString(sv, text);
    Mark *m = markOf(record, *text, "getString");
    m->bits |= kLentText;
    setPayload(m, textSum(*text));
    return status;
}

/* Any text getString lent in this call, once or more often; a null pointer
 * is accepted, as by the array releasers. */
void checkedReleaseString(const char *text)
{
    CallRecord *record = runningCall("releaseString");
    if (!text)
        return;
    if (!(marksOf(record, text) & kLentText))
        raiseBreach(record, "releaseString", "the pointer %p was not lent by getString in this call",
                    static_cast<const void *>(text));
    if (payload(textSum(text)) != (marksOf(record, text) & ~kFlags))
        raiseBreach(record, "releaseString",
                    "the text %p that getString lent was written to by the engine (a lent text is Perl's, to be "
                    "read only)",
                    static_cast<const void *>(text));
    releaseString(text);
}

/* True when the block's reader handed it out in this call and it has not
 * been given back since; anything else is raised, and never freed. */
bool checkRelease(int reader, const void *block)
{
    const char *const routine = kReleaserName[reader];
    CallRecord *record = runningCall(routine);
    if (!block)
        return false;
    const unsigned bits = marksOf(record, block);
    if (bits & handedOut(reader)) {
        const uint32_t counted = marksOf(record, countKey(block)) >> kPayloadShift;
        if (reader == kTextArray && counted) {
            if (payload(blockSum(static_cast<const char *const *>(block), static_cast<int32_t>(counted - 1))) !=
                (bits & ~kFlags))
                raiseBreach(record, routine,
                            "the texts of the block %p that getStringArray lent were written to by the engine (lent "
                            "texts are Perl's, to be read only)",
                            block);
        }
        --record->outstanding[reader];
        return true;
    }
    if (bits & kGivenBackAny)
        raiseBreach(record, routine, "the block %p was given back twice", block);
    for (int other = 0; other < kArrayReaders; ++other)
        if (bits & handedOut(other))
            raiseBreach(record, routine,
                        "the pointer %p was not handed out by %s in this call (%s handed it out: give it back "
                        "through %s)",
                        block, kReaderName[reader], kReaderName[other], kReleaserName[other]);
    raiseBreach(record, routine, "the pointer %p was not handed out by %s in this call", block, kReaderName[reader]);
}

// The three array readers and their releases, each checked the same way:
// the block handed out is recorded against its reader until given back.
template <typename T, int32_t (*read)(SV *, T **, int32_t *), ArrayReader reader>
int32_t checkedGetArray(SV *sv, T **values, int32_t *count)
{
    CallRecord *record = checkRead(kReaderName[reader], sv);
    checkPlace(record, kReaderName[reader], values, "block read", 2);
    checkPlace(record, kReaderName[reader], count, "count read", 3);
    const int32_t status = read(sv, values, count);
    if (status && *values) {
        /* The reader marked it handed out; Perl code that it ran (a tie's
         * fetch) may have run a nested call, whose record has closed by then
         * and left this one as it was, and current again. */
        ++record->outstanding[reader];
        if (reader == kTextArray) {
            const bool countable = static_cast<uint32_t>(*count) < kPayloadMask;
            setPayload(markOf(record, *values, kReaderName[reader]),
                       blockSum(reinterpret_cast<const char *const *>(*values), *count));
            setPayload(markOf(record, countKey(*values), kReaderName[reader]),
                       countable ? static_cast<uint32_t>(*count) + 1 : 0);
        }
    }
    return status;
}

/* The normal release frees the block and forgets it; the record then
 * remembers it as given back, to name a second release. */
template <typename T, void (*release)(T *), ArrayReader reader> void checkedReleaseArray(T *values)
{
    if (!checkRelease(reader, values))
        return;
    release(values);
    mark(currentCall, values, givenBack(reader), 0, kReleaserName[reader]);
}

/* Every scalar made is one the engine may read, or return, in this call. */
int32_t made(CallRecord *record, int32_t status, SV **scalar, const char *routine)
{
    mark(record, *scalar, kMade, 0, routine);
    return status;
}

CallRecord *checkMaker(const char *routine, SV **scalar, int position)
{
    CallRecord *record = runningCall(routine);
    checkPlace(record, routine, scalar, "scalar made", position);
    return record;
}

int32_t checkedNewDouble(double value, SV **scalar)
{
    CallRecord *record = checkMaker("newDouble", scalar, 2);
    return made(record, newDouble(value, scalar), scalar, "newDouble");
}

int32_t checkedNewInt(int32_t value, SV **scalar)
{
    CallRecord *record = checkMaker("newInt", scalar, 2);
    return made(record, newInt(value, scalar), scalar, "newInt");
}

int32_t checkedNewBool(int32_t truth, SV **scalar)
{
    CallRecord *record = checkMaker("newBool", scalar, 2);
    return made(record, newBool(truth, scalar), scalar, "newBool");
}

int32_t checkedNewString(const char *text, SV **scalar)
{
    CallRecord *record = checkMaker("newString", scalar, 2);
    return made(record, newString(text, scalar), scalar, "newString");
}

int32_t checkedNewBinary(const char *bytes, int32_t length, SV **scalar)
{
    CallRecord *record = checkMaker("newBinary", scalar, 3);
    if (length < 0)
        raiseBreach(record, "newBinary", "a negative length, %d", static_cast<int>(length));
    if (!bytes && length > 0)
        raiseBreach(record, "newBinary", "no bytes (a null pointer) with the length %d", static_cast<int>(length));
    return made(record, newBinary(bytes, length, scalar), scalar, "newBinary");
}

int32_t checkedNewDoubleArray(const double *values, int32_t count, SV **scalar)
{
    CallRecord *record = checkMaker("newDoubleArray", scalar, 3);
    if (count < 0)
        raiseBreach(record, "newDoubleArray", "a negative count, %d", static_cast<int>(count));
    if (!values && count > 0)
        raiseBreach(record, "newDoubleArray", "no values (a null pointer) with the count %d", static_cast<int>(count));
    return made(record, newDoubleArray(values, count, scalar), scalar, "newDoubleArray");
}

#endif /* PLOTRUNE_CHECKED */

/* The table in slot order; the order is the engine's contract. */
#ifdef PLOTRUNE_CHECKED
constexpr CallbackTable kRoutines = {
    checkedGetDouble,      checkedGetInt,           checkedGetBool,     checkedGetString,
    checkedReleaseString,
    checkedGetArray<const char *, getStringArray, kTextArray>,
    checkedReleaseArray<const char *, releaseStringArray, kTextArray>,
    checkedGetArray<double, getDoubleArray, kNumberArray>,
    checkedReleaseArray<double, releaseDoubleArray, kNumberArray>,
    checkedGetArray<int32_t, getIntArray, kIntegerArray>,
    checkedReleaseArray<int32_t, releaseIntArray, kIntegerArray>,
    checkedNewDouble,      checkedNewInt,           checkedNewBool,     checkedNewString,
    checkedNewBinary,      checkedNewDoubleArray,
};
#else
constexpr CallbackTable kRoutines = {
    getDouble,      getInt,           getBool,        getString,          releaseString,
    getStringArray, releaseStringArray, getDoubleArray, releaseDoubleArray, getIntArray,
    releaseIntArray, newDouble,       newInt,         newBool,            newString,
    newBinary,      newDoubleArray,
};
#endif

static_assert(offsetof(CallbackTable, getDouble) == 0, "slot 1 leads the table");
static_assert(offsetof(CallbackTable, newDoubleArray) == 16 * sizeof(void (*)(void)),
              "slot 17 ends the table");

/* ------------------------------------------------------------------ */
/* Engine loader                                                       */

/* Writes one line of the load message, "Error loading "<candidate>" : <reason>\n",
 * into the size bytes at message; returns its length.  When the candidate and
 * the reason do not both fit, the candidate keeps its tail (the file name),
 * so that the reason still shows; the line always ends in a newline, so that
 * Perl adds no location to the message. */
size_t writeLoadError(char *message, size_t size, const char *candidate, const char *reason)
{
    if (!reason)
        reason = kUnknownError;
    if (size < 3) {
        if (size)
            message[0] = '\0';
        return 0;
    }
    const size_t fixed = sizeof kLoadErrorFormat - 1 - 4;
    const size_t room = size - 1 > fixed ? size - 1 - fixed : 0;
    const size_t candidateLength = strlen(candidate);
    const size_t reasonLength = strlen(reason);
    char shortened[kPathSize];
    if (candidateLength + reasonLength > room) {
        const size_t keep = reasonLength < room / 2 ? room - reasonLength : room / 2;
        if (candidateLength > keep && keep > 3) {
            snprintf(shortened, sizeof shortened, "...%s", candidate + candidateLength - (keep - 3));
            candidate = shortened;
        }
    }
    const int written = snprintf(message, size, kLoadErrorFormat, candidate, reason);
    if (written >= 0 && static_cast<size_t>(written) < size)
        return static_cast<size_t>(written);
    message[size - 2] = '\n';
    message[size - 1] = '\0';
    return size - 1;
}

/* The module's directory followed by "/libplotrune.so" into path; false when
 * that does not fit (path then names the tail, for the message). */
bool besideModule(const void *anchor, char *path)
{
    path[0] = '\0';
    bool fits = true;
    Dl_info info;
    if (dladdr(anchor, &info) && info.dli_fname) {
        /* The directory: up to the last slash after the first character.  A
         * name with no such slash leaves the directory empty. */
        const char *name = info.dli_fname;
        size_t cut = strlen(name);
        while (cut > 1 && name[cut - 1] != '/')
            --cut;
        cut = cut > 1 ? cut - 1 : 0;
        if (cut + sizeof kLibrarySuffix <= kPathSize) {
            memcpy(path, name, cut);
            path[cut] = '\0';
        } else {
            /* Too long for the buffer: opening a cut-down path could open
             * some other file, so the first attempt is not made.  The path
             * keeps its tail, to be named in the message. */
            fits = false;
            const size_t keep = kPathSize - sizeof kLibrarySuffix - 3;
            memcpy(path, "...", 3);
            memcpy(path + 3, name + cut - keep, keep);
            path[3 + keep] = '\0';
        }
    }
    strcat(path, kLibrarySuffix);
    return fits;
}

/* Opens the engine and resolves its entry; null with a message naming every
 * library tried and why it failed, one line each.  A library opened without
 * the entry is closed again. */
PlotruneRunMethod loadEngine(const void *anchor, char *message)
{
    char path[kPathSize];
    const bool fits = besideModule(anchor, path);
    size_t used = 0;
    message[0] = '\0';

    const char *opened = path;
    void *library = fits ? dlopen(path, RTLD_LAZY) : NULL;
    if (!library) {
        /* Half the buffer at most, so that the second attempt's line fits too. */
        used = writeLoadError(message, kLoadErrorSize / 2, path, fits ? dlerror() : "File name too long");
        opened = kLibraryName;
        library = dlopen(kLibraryName, RTLD_NOW);
        if (!library) {
            writeLoadError(message + used, kLoadErrorSize - used, kLibraryName, dlerror());
            return NULL;
        }
    }

    void *entry = dlsym(library, PLOTRUNE_ENTRY_SYMBOL);
    if (!entry) {
        writeLoadError(message + used, kLoadErrorSize - used, opened, dlerror());
        dlclose(library);
        return NULL;
    }
    PlotruneRunMethod run;
    memcpy(&run, &entry, sizeof run); /* object to function pointer, without a cast ISO C++ frowns on */
    return run;
}

/* Raises text verbatim: a "%" in a path or an engine message is data. */
[[noreturn]] void raiseText(const char *text) { croak("%s", text); }

/* The first boot of the process binds the engine and writes the module-wide
 * state; every later one, in any thread or interpreter, finds the engine
 * bound and writes nothing, so that calls running meanwhile on other threads
 * read state that no longer changes.  Boots take the interpreter's own
 * mutex for the check (no library of ours, and a thread checker sees
 * every boot after the one that bound the engine); engineEntry, which
 * callMethod reads without it, is written once, atomically.  A boot that
 * fails leaves it null, and the next boot tries afresh. */
void initEngine()
{
    char message[kLoadErrorSize] = "";
    OP_REFCNT_LOCK;
    PlotruneRunMethod entry = __atomic_load_n(&engineEntry, __ATOMIC_ACQUIRE);
    if (!entry) {
        entry = loadEngine(kAnchor, message);
        memcpy(loadError, message, sizeof loadError);
        if (entry) {
            callbacks = kRoutines;
            __atomic_store_n(&engineEntry, entry, __ATOMIC_RELEASE);
        }
    }
    OP_REFCNT_UNLOCK;
    if (!entry)
        raiseText(message);
}

/* ------------------------------------------------------------------ */
/* Subs                                                                */

/* The handle block for a call with more arguments than callMethod's frame
 * holds: a mortal's buffer, so that the interpreter frees it even when a Perl
 * error raised inside the engine's call unwinds past callMethod.  Out of line,
 * so that the common call keeps one register fewer. */
__attribute__((noinline)) SV **argumentBlock(I32 items)
{
    return reinterpret_cast<SV **>(SvPVX(sv_2mortal(newSV(items * sizeof(SV *)))));
}

/* The engine reads the method name as a C string: a name with a NUL inside
 * would run the method named by its part before the NUL, which is not the
 * name Perl code may have checked. */
[[noreturn]] __attribute__((noinline)) void refuseMethodName(SV *name)
{
    char text[320];
    snprintf(text, sizeof text, "%s: callMethod: the method name holds a NUL byte after \"%.80s\", so the engine "
             "would run \"%.80s\": refused\n", PLOTRUNE_NAME, SvPVX(name), SvPVX(name));
    raiseText(text);
}

XSPROTO(callMethod)
{
    PERL_UNUSED_VAR(cv);
    /* In a threaded build each use of the interpreter's interface fetches the
     * current interpreter: the stack is read here with three uses and written
     * back with one, where dXSARGS, ST and XSRETURN would make seven. */
    SV **const top = PL_stack_sp;
    const I32 ax = POPMARK + 1;
    SV **const first = PL_stack_base + ax;
    const I32 items = static_cast<I32>(top - first) + 1;
    /* Bound for good once any callMethod exists (see initEngine). */
    const PlotruneRunMethod entry = __atomic_load_n(&engineEntry, __ATOMIC_RELAXED);
    if (!entry)
        raiseText(loadError);
    if (items > 0 && SvPOK(first[0]) && !SvGMAGICAL(first[0]) && strlen(SvPVX(first[0])) != SvCUR(first[0]))
        refuseMethodName(first[0]);

    /* The handles are borrowed, never copied or counted. */
    SV *frameArgs[kFrameArgs];
    SV **args = NULL;
    if (items > 0) {
        args = items <= kFrameArgs ? frameArgs : argumentBlock(items);
        /* Most calls pass the method name and one argument: those two go
         * straight, the rest in a loop (cheaper than a call to memcpy). */
        args[0] = first[0];
        if (items > 1) {
            args[1] = first[1];
            for (I32 i = 2; i < items; ++i)
                args[i] = first[i];
        }
    }

    /* The engine writes a local handle, not the stack slot: a conversion that
     * runs Perl code may grow, and so move, the stack under it. */
    SV *result = items > 0 ? args[0] : &PL_sv_undef;
    /* Cleared whole, so that a message the engine leaves unterminated ends
     * at the first byte it did not write, and no byte of this frame's past
     * reaches Perl.  The checked build fills it with a byte no engine writes
     * as its terminator instead, to see whether one was written. */
    char message[kMessageSize];
    CallRecord record;
#ifdef PLOTRUNE_CHECKED
    memset(message, kUnwritten, sizeof message);
    openCall(&record, args, items, result);
#else
    memset(message, 0, sizeof message);
    openRecord(&record);
#endif
    const int32_t ok = entry(&callbacks, static_cast<int32_t>(items), args, &result, message);
#ifdef PLOTRUNE_CHECKED
    /* A breach is raised here, the record closed by the unwinding. */
    checkReturn(&record, ok, result, message);
#endif
    /* Closes the record: blocks still held are freed, the outer call is
     * current again, before the engine's own failure is raised. */
    closeRecord(&record);

    if (!ok) {
        /* Exactly one final newline, so Perl adds no location; never past the
         * buffer, whatever the engine left in it. */
        size_t length = strnlen(message, kMessageSize);
        if (length == kMessageSize || length == 0 || message[length - 1] != '\n') {
            if (length > kMessageSize - 2)
                length = kMessageSize - 2;
            message[length] = '\n';
            message[length + 1] = '\0';
        }
        raiseText(message);
    }

    /* The one result goes in the first argument's slot.  Perl code that the
     * engine's conversions ran may have moved the stack, but leaves its top
     * as far from the base as it found it (every nested call does), so the
     * top, not the base read above, locates the slot.  An engine that
     * reported success with the slot left null gives undef: a null pointer
     * on Perl's stack would crash the program. */
    *(PL_stack_sp -= items - 1) = result ? result : &PL_sv_undef;
}

XSPROTO(majorVer)
{
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    ST(0) = sv_2mortal(newSViv(kMajorVersion));
    XSRETURN(1);
}

XSPROTO(minorVer)
{
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    ST(0) = sv_2mortal(newSViv(kMinorVersion));
    XSRETURN(1);
}

XSPROTO(copyright)
{
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    ST(0) = sv_2mortal(newSVpv(kCopyright, sizeof kCopyright - 1));
    XSRETURN(1);
}

XSPROTO(moduleId)
{
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    ST(0) = sv_2mortal(newSVpv(PLOTRUNE_NAME, sizeof PLOTRUNE_NAME - 1));
    XSRETURN(1);
}

} // namespace

/* ------------------------------------------------------------------ */
/* Boot: the one exported symbol.                                      */

extern "C" __attribute__((visibility("default"))) XSPROTO(PLOTRUNE_BOOT);

XSPROTO(PLOTRUNE_BOOT)
{
    /* From 5.22 on, Perl's own handshake first, as every boot xsubpp writes:
     * the interpreter refuses, with its own message, a module compiled for
     * another interpreter size, threads setting or API version, however it
     * was loaded.  Older headers have no handshake. */
#ifdef dXSBOOTARGSAPIVERCHK
    dXSBOOTARGSAPIVERCHK;
#else
    dXSARGS;
#endif
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);

    initEngine();

    newXS(const_cast<char *>(PLOTRUNE_NAME "::callMethod"), callMethod, const_cast<char *>(kSourceName));
    newXS(const_cast<char *>(PLOTRUNE_NAME "::major_ver"), majorVer, const_cast<char *>(kSourceName));
    newXS(const_cast<char *>(PLOTRUNE_NAME "::minor_ver"), minorVer, const_cast<char *>(kSourceName));
    newXS(const_cast<char *>(PLOTRUNE_NAME "::copyright"), copyright, const_cast<char *>(kSourceName));
    newXS(const_cast<char *>(PLOTRUNE_NAME "::id"), moduleId, const_cast<char *>(kSourceName));

    ST(0) = &PL_sv_yes;
    XSRETURN(1);
}
