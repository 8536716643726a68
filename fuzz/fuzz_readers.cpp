/*
 * fuzz_readers.cpp - a libFuzzer target for the module's seventeen routines.
 *
 * The module's source is compiled into this program (under the module name
 * perlplotrunefuzz), so the fuzzer reaches the CallbackTable the module
 * lends the engine without the module file exporting anything more.  One
 * interpreter, embedded from the host libperl, lives for the whole run; the
 * module is booted in it the way perl boots it, and so loads the stand-in
 * engine built beside this program.
 *
 * Each input is a little program: its bytes choose Perl values (numbers,
 * texts, dual values, references of every kind, blessed and overloaded
 * objects, tied scalars and arrays, sparse and nested arrays) and the values
 * are fed to every reader, straight through the table and through
 * callMethod and the stand-in engine.  Other bytes feed the makers, whose
 * scalars are read back and must give what was made.  A Perl error raised by
 * a conversion (a tie that dies, a warning made fatal) is caught like the
 * caller's eval would; anything else wrong is a crash for the fuzzer.
 */
#define PLOTRUNE_MODULE perlplotrunefuzz
#include "../module/perlapi.cpp"

#include <math.h>

namespace fuzz {

PerlInterpreter *embedded;

/* The Perl side: tie classes, an overloaded class, and what they need. */
const char kPerlSide[] =
    /* Both keep references to the values they were given, never copies: a
     * copy would fetch a tie among them, outside any eval. */
    "package FuzzTiedScalar;"
    "sub TIESCALAR { bless [\\$_[1], $_[2]], $_[0] }"
    "sub FETCH { my $s = shift; die \"tied fetch dies\\n\" if $s->[1]; ${ $s->[0] } }"
    "sub STORE { }"
    "package FuzzTiedArray;"
    "sub TIEARRAY { my $c = shift; my $die = shift; bless [$die, [\\(@_)]], $c }"
    "sub FETCHSIZE { my $s = shift; die \"tied size dies\\n\" if $s->[0] == 1; scalar @{ $s->[1] } }"
    "sub FETCH { my ($s, $i) = @_; die \"tied element dies\\n\" if $s->[0] == 2 && $i == $#{ $s->[1] }; ${ $s->[1][$i] } }"
    "sub STORE { } sub STORESIZE { }"
    "package FuzzObject;"
    "use overload '0+' => sub { die \"numify dies\\n\" if $_[0]{die}; $_[0]{num} },"
    "  '\"\"' => sub { die \"stringify dies\\n\" if $_[0]{die}; $_[0]{str} },"
    "  'bool' => sub { $_[0]{num} }, fallback => 1;"
    "package FuzzPlain;"
    "package main;"
    "our $fatal = 0; $SIG{__WARN__} = sub { die @_ if $fatal };"
    "our $code = sub { 1 }; our $regexp = qr/fu+zz/i;"
    "1;";

/* ------------------------------------------------------------------ */
/* Reading the input                                                   */

struct Input {
    const uint8_t *data;
    size_t size;
    size_t at;

    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    template <typename T> T raw()
    {
        T value;
        memset(&value, 0, sizeof value);
        size_t n = size - at < sizeof value ? size - at : sizeof value;
        memcpy(&value, data + at, n);
        at += n;
        return value;
    }
    /* Up to max bytes, as a length-prefixed run. */
    size_t run(const char **bytes, size_t max)
    {
        size_t n = byte();
        if (n > max)
            n = max;
        if (n > size - at)
            n = size - at;
        *bytes = reinterpret_cast<const char *>(data + at);
        at += n;
        return n;
    }
};

SV *makeValue(Input &in, int depth);

/* A new reference to a value (the interpreter's macro would evaluate its
 * argument twice, and so make two values). */
inline SV *keep(SV *sv) { return SvREFCNT_inc_simple_NN(sv); }

/* A new array (not mortal) of values from the input. */
AV *makeElements(Input &in, int depth)
{
    AV *av = newAV();
    const int n = in.byte() % 8;
    for (int i = 0; i < n; ++i)
        av_push(av, keep(makeValue(in, depth + 1))); /* the value itself: a tie stays one */
    return av;
}

SV *tieScalar(SV *value, bool dies)
{
    SV *tied = sv_newmortal();
    dSP;
    ENTER;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpvs("FuzzTiedScalar")));
    XPUSHs(value);
    XPUSHs(dies ? &PL_sv_yes : &PL_sv_no);
    PUTBACK;
    call_method("TIESCALAR", G_SCALAR | G_EVAL);
    SPAGAIN;
    SV *object = POPs;
    PUTBACK;
    sv_magic(tied, object, PERL_MAGIC_tiedscalar, NULL, 0);
    LEAVE;
    return tied;
}

SV *tieArray(AV *values, int dies)
{
    AV *tied = newAV();
    dSP;
    ENTER;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpvs("FuzzTiedArray")));
    XPUSHs(sv_2mortal(newSViv(dies)));
    for (SSize_t i = 0; i <= av_len(values); ++i) {
        SV **slot = av_fetch(values, i, 0);
        XPUSHs(slot ? *slot : &PL_sv_undef);
    }
    PUTBACK;
    call_method("TIEARRAY", G_SCALAR | G_EVAL);
    SPAGAIN;
    SV *object = POPs;
    PUTBACK;
    sv_magic(reinterpret_cast<SV *>(tied), object, PERL_MAGIC_tied, NULL, 0);
    LEAVE;
    SvREFCNT_dec(reinterpret_cast<SV *>(values));
    return sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(tied)));
}

/* One mortal value chosen by the input. */
SV *makeValue(Input &in, int depth)
{
    if (depth > 3)
        return sv_newmortal();
    const char *bytes;
    size_t n;
    switch (in.byte() % 22) {
    case 0:
        return sv_newmortal();
    case 1:
        return sv_2mortal(newSViv(in.raw<IV>()));
    case 2:
        return sv_2mortal(newSVuv(in.raw<UV>() | (static_cast<UV>(1) << (sizeof(UV) * 8 - 1))));
    case 3:
        return sv_2mortal(newSVnv(in.raw<double>()));
    case 4:
        n = in.run(&bytes, 255);
        return sv_2mortal(newSVpvn(bytes, n));
    case 5: {
        n = in.run(&bytes, 255);
        SV *sv = sv_2mortal(newSVpvn(bytes, n));
        sv_utf8_upgrade(sv);
        return sv;
    }
    case 6: { /* a dual value: an integer and some text */
        SV *sv = sv_newmortal();
        const IV iv = in.raw<int32_t>();
        n = in.run(&bytes, 32);
        sv_setpvn(sv, bytes, n);
        sv_upgrade(sv, SVt_PVIV); /* a body with room for the integer */
        SvIV_set(sv, iv);
        SvIOK_on(sv);
        return sv;
    }
    case 7: { /* a dual value: a double and some text */
        SV *sv = sv_newmortal();
        const double nv = in.raw<double>();
        n = in.run(&bytes, 32);
        sv_setpvn(sv, bytes, n);
        sv_upgrade(sv, SVt_PVNV);
        SvNV_set(sv, nv);
        SvNOK_on(sv);
        return sv;
    }
    case 8:
        return sv_2mortal(newRV_inc(makeValue(in, depth + 1)));
    case 9:
        return sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(makeElements(in, depth))));
    case 10: {
        HV *hv = newHV();
        (void)hv_stores(hv, "k", keep(makeValue(in, depth + 1)));
        return sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(hv)));
    }
    case 11:
        return sv_mortalcopy(get_sv("main::code", 0));
    case 12:
        return sv_2mortal(newRV_inc(reinterpret_cast<SV *>(gv_fetchpvs("STDOUT", GV_ADD, SVt_PVIO))));
    case 13:
        return sv_mortalcopy(get_sv("main::regexp", 0));
    case 14: { /* an overloaded object; its conversions may die */
        HV *hv = newHV();
        (void)hv_stores(hv, "num", newSVnv(in.raw<double>()));
        n = in.run(&bytes, 32);
        (void)hv_stores(hv, "str", newSVpvn(bytes, n));
        (void)hv_stores(hv, "die", newSViv(in.byte() % 4 == 0));
        SV *rv = sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(hv)));
        return sv_bless(rv, gv_stashpvs("FuzzObject", GV_ADD));
    }
    case 15:
        return tieScalar(makeValue(in, depth + 1), false);
    case 16:
        return tieScalar(makeValue(in, depth + 1), true);
    case 17:
        return tieArray(makeElements(in, depth), in.byte() % 3);
    case 18: { /* sparse: a few elements far apart */
        AV *av = newAV();
        const int k = in.byte() % 4;
        for (int i = 0; i < k; ++i)
            av_store(av, in.raw<uint16_t>() % 2000, keep(makeValue(in, depth + 1)));
        return sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(av)));
    }
    case 19: { /* a long text, one byte repeated */
        const char c = static_cast<char>(in.byte());
        const size_t length = in.raw<uint16_t>();
        SV *sv = sv_2mortal(newSV(length + 1));
        memset(SvPVX(sv), c, length);
        SvCUR_set(sv, length);
        SvPVX(sv)[length] = '\0';
        SvPOK_on(sv);
        return sv;
    }
    case 20: { /* a blessed array */
        SV *rv = sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(makeElements(in, depth))));
        return sv_bless(rv, gv_stashpvs("FuzzPlain", GV_ADD));
    }
    default: { /* a long array of numbers */
        AV *av = newAV();
        const int k = in.raw<uint16_t>() % 5000;
        av_extend(av, k);
        for (int i = 0; i < k; ++i)
            av_push(av, newSViv(i));
        return sv_2mortal(newRV_noinc(reinterpret_cast<SV *>(av)));
    }
    }
}

/* ------------------------------------------------------------------ */
/* Driving the table                                                   */

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            fprintf(stderr, "fuzz_readers: %s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
            abort();                                                                           \
        }                                                                                      \
    } while (0)

volatile size_t sink; /* keeps the reads of every byte handed out */

void touch(const char *text) { sink += strlen(text); }

bool sameNumber(double a, double b) { return (isnan(a) && isnan(b)) || a == b; }

/* Every reader on one value.  May be left by a Perl error at any reader;
 * holds no block of its own across a call that can raise one. */
void readAll(const CallbackTable *t, SV *sv)
{
    double d;
    int32_t i, b;
    const char *text;
    FUZZ_CHECK(t->getDouble(sv, &d) == 1);
    FUZZ_CHECK(t->getInt(sv, &i) == 1);
    FUZZ_CHECK(t->getBool(sv, &b) == 1 && (b == 0 || b == 1));
    FUZZ_CHECK(t->getBool(NULL, &b) == 1 && b == 0);
    FUZZ_CHECK(t->getString(sv, &text) == 1 && text);
    touch(text);
    t->releaseString(text);

    /* A refusal leaves the engine's pointer and count as they were. */
    static double marker;
    double *const untouched = &marker;
    double *values = untouched;
    int32_t count = -77;
    if (t->getDoubleArray(sv, &values, &count)) {
        FUZZ_CHECK(count >= 0 && (count == 0 || values));
        for (int32_t k = 0; k < count; ++k)
            sink += static_cast<size_t>(values[k] == values[k]);
        t->releaseDoubleArray(values);
    } else {
        FUZZ_CHECK(values == untouched && count == -77);
    }

    int32_t *ints = reinterpret_cast<int32_t *>(untouched);
    count = -77;
    if (t->getIntArray(sv, &ints, &count)) {
        FUZZ_CHECK(count >= 0 && (count == 0 || ints));
        for (int32_t k = 0; k < count; ++k)
            sink += static_cast<size_t>(ints[k]);
        t->releaseIntArray(ints);
    } else {
        FUZZ_CHECK(ints == reinterpret_cast<int32_t *>(untouched) && count == -77);
    }

    const char **texts = reinterpret_cast<const char **>(untouched);
    count = -77;
    if (t->getStringArray(sv, &texts, &count)) {
        FUZZ_CHECK(count >= 0 && (count == 0 || texts));
        for (int32_t k = 0; k < count; ++k)
            touch(texts[k]);
        t->releaseStringArray(texts);
    } else {
        FUZZ_CHECK(texts == reinterpret_cast<const char **>(untouched) && count == -77);
    }
    t->releaseStringArray(NULL);
    t->releaseDoubleArray(NULL);
    t->releaseIntArray(NULL);
}

/* Each maker with input bytes; what it made must read back as made.  The
 * made scalars are plain, so these reads run no Perl code. */
void makeAll(const CallbackTable *t, Input &in)
{
    SV *made = NULL;
    double d, back;
    FUZZ_CHECK(t->newDouble(d = in.raw<double>(), &made) == 1 && made);
    t->getDouble(made, &back);
    FUZZ_CHECK(sameNumber(back, snapSentinel(d)));

    int32_t i = in.raw<int32_t>(), iback;
    FUZZ_CHECK(t->newInt(i, &made) == 1);
    t->getInt(made, &iback);
    FUZZ_CHECK(iback == i);

    FUZZ_CHECK(t->newBool(i, &made) == 1);
    t->getInt(made, &iback);
    FUZZ_CHECK(iback == (i != 0));

    const char *bytes;
    size_t n = in.run(&bytes, 255);
    char text[256];
    memcpy(text, bytes, n);
    text[n] = '\0';
    const char *tback;
    FUZZ_CHECK(t->newString(text, &made) == 1);
    t->getString(made, &tback);
    FUZZ_CHECK(strcmp(tback, text) == 0);
    FUZZ_CHECK(t->newString(NULL, &made) == 1 && SvCUR(made) == 0);

    /* A length the input chooses, from negative to the bytes there are. */
    const int32_t length = static_cast<int32_t>(in.byte() % (n + 2)) - 1;
    FUZZ_CHECK(t->newBinary(length < 0 && in.byte() % 2 ? NULL : bytes, length, &made) == 1);
    FUZZ_CHECK(SvPOK(made) && SvCUR(made) == static_cast<STRLEN>(length > 0 ? length : 0));
    if (length > 0)
        FUZZ_CHECK(memcmp(SvPVX(made), bytes, static_cast<size_t>(length)) == 0);

    double values[32];
    const int32_t count = in.byte() % 33;
    for (int32_t k = 0; k < count; ++k)
        values[k] = in.raw<double>();
    FUZZ_CHECK(t->newDoubleArray(values, count, &made) == 1);
    double *read = NULL;
    int32_t readCount = -1;
    FUZZ_CHECK(t->getDoubleArray(made, &read, &readCount) == 1 && readCount == count);
    for (int32_t k = 0; k < count; ++k)
        FUZZ_CHECK(sameNumber(read[k], snapSentinel(values[k])));
    t->releaseDoubleArray(read);
    FUZZ_CHECK(t->newDoubleArray(NULL, -static_cast<int32_t>(in.byte()), &made) == 1);
}

/* The value the XSUB below reads, and the input being run. */
SV *currentValue;
Input *currentInput;

/* Runs inside call_sv's eval: a Perl error leaves it, and the interpreter
 * unwinds the save stack the way it does for the caller's eval. */
XSPROTO(driveTable)
{
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    readAll(&callbacks, currentValue);
    XSRETURN_EMPTY;
}

/* callMethod with a method of the stand-in engine and a value, as Perl
 * would call it, in an eval. */
void callEngine(const char *method, SV *value, int extra)
{
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpv(method, 0)));
    XPUSHs(value);
    for (int k = 0; k < extra; ++k)
        XPUSHs(value);
    PUTBACK;
    call_pv(PLOTRUNE_NAME "::callMethod", G_SCALAR | G_EVAL);
    SPAGAIN;
    (void)POPs;
    PUTBACK;
    FREETMPS;
    LEAVE;
}

/* One input, from inside an eval: making the values runs Perl code too (a
 * tie's constructor, warnings that may have been made fatal). */
XSPROTO(runInput)
{
    dXSARGS;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    Input &in = *currentInput;
    const uint8_t flags = in.data[0];
    AV *values = reinterpret_cast<AV *>(sv_2mortal(reinterpret_cast<SV *>(newAV())));
    const int n = 1 + in.byte() % 6;
    for (int k = 0; k < n && !in.empty(); ++k)
        av_push(values, keep(makeValue(in, 0)));

    static const char *const methods[] = {"readScalar", "getDoubleArray", "getIntArray", "getStringArray",
                                          "getString", "newDoubleArray"};
    for (SSize_t k = 0; k <= av_len(values); ++k) {
        SV **slot = av_fetch(values, k, 0);
        if (!slot)
            continue;
        /* The readers straight through the table, in an eval of their own. */
        currentValue = *slot;
        PUSHMARK(SP);
        PUTBACK;
        call_pv("Fuzz::drive", G_DISCARD | G_EVAL);
        SPAGAIN;
        /* And through callMethod, with few arguments or with more than the
         * frame holds. */
        callEngine(methods[(flags >> 1) % 6], *slot, (flags & 0x80) ? 20 : 0);
        SPAGAIN;
    }
    makeAll(&callbacks, in);
    XSRETURN_EMPTY;
}

} // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    using namespace fuzz;
    static char *args[] = {const_cast<char *>(""), const_cast<char *>("-w"), const_cast<char *>("-e"),
                           const_cast<char *>("0"), NULL};
    static char **env = environ;
    PERL_SYS_INIT3(argc, argv, &env);
    embedded = perl_alloc();
    perl_construct(embedded);
    PL_exit_flags |= PERL_EXIT_DESTRUCT_END;
    if (perl_parse(embedded, NULL, 4, args, NULL) != 0 || perl_run(embedded) != 0)
        abort();
    eval_pv(kPerlSide, TRUE);

    /* Boot the module as perl's loader would: through its boot routine. */
    CV *boot = newXS(const_cast<char *>(PLOTRUNE_NAME "::bootstrap"), PLOTRUNE_BOOT, const_cast<char *>(__FILE__));
    dSP;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpvs(PLOTRUNE_NAME)));
    PUTBACK;
    call_sv(reinterpret_cast<SV *>(boot), G_SCALAR | G_EVAL);
    SPAGAIN;
    (void)POPs;
    PUTBACK;
    if (SvTRUE(ERRSV)) {
        fprintf(stderr, "fuzz_readers: boot failed: %s", SvPV_nolen(ERRSV));
        abort();
    }
    newXS(const_cast<char *>("Fuzz::drive"), driveTable, const_cast<char *>(__FILE__));
    newXS(const_cast<char *>("Fuzz::run"), runInput, const_cast<char *>(__FILE__));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace fuzz;
    if (size == 0)
        return 0;
    Input in = {data, size, 0};
    SV *fatal = get_sv("main::fatal", 0);
    sv_setiv(fatal, in.byte() & 1); /* warnings made fatal */
    currentInput = &in;

    ENTER;
    SAVETMPS;
    dSP;
    PUSHMARK(SP);
    PUTBACK;
    call_pv("Fuzz::run", G_DISCARD | G_EVAL);
    /* Freeing the values runs no eval: nothing may die there. */
    sv_setiv(fatal, 0);
    FREETMPS;
    LEAVE;
    return 0;
}
