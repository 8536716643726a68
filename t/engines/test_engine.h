/*
 * test_engine.h - the skeleton the test engines share: a call as one record,
 * its failure message, an argument as text, and the methods by name.  Each
 * engine adds its methods and its own runMethod.
 */
#ifndef PLOTRUNE_TEST_ENGINE_H
#define PLOTRUNE_TEST_ENGINE_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plotrune_engine.h"

#define EXPORT __attribute__((visibility("default")))

/* The longest message the contract lets the engine write. */
#define MESSAGE_MAX (PLOTRUNE_MESSAGE_SIZE - 2)

typedef struct Call {
    const CallbackTable *t;
    int32_t count;
    PlotruneScalar **args;
    PlotruneScalar **result;
    char *message;
} Call;

static inline int fail(Call *c, const char *text)
{
    snprintf(c->message, MESSAGE_MAX + 1, "%s", text);
    return 0;
}

/* n bytes of 'x' as the failure message, then a terminator when n is
 * less than the buffer; n = PLOTRUNE_MESSAGE_SIZE leaves none, past what the
 * contract allows, to show the module still stays in bounds.  method names
 * the caller in the refusal of an n out of range. */
static inline int failFilled(Call *c, int32_t n, const char *method)
{
    char text[256];
    if (n < 0 || n > PLOTRUNE_MESSAGE_SIZE) {
        snprintf(text, sizeof text, "%.200s: length out of range", method);
        return fail(c, text);
    }
    memset(c->message, 'x', (size_t)n);
    if (n < PLOTRUNE_MESSAGE_SIZE)
        c->message[n] = '\0';
    return 0;
}

/* Argument i as text; "" when the call has no such argument. */
static inline const char *textArg(Call *c, int32_t i)
{
    const char *text = "";
    if (i < c->count)
        c->t->getString(c->args[i], &text);
    return text;
}

typedef int (*Method)(Call *);

typedef struct {
    const char *name;
    Method run;
} NamedMethod;

/* Runs the method called name; fails naming it when there is none. */
static inline int runNamed(Call *c, const char *name, const NamedMethod *methods, size_t n)
{
    char text[256];
    for (size_t i = 0; i < n; ++i)
        if (strcmp(name, methods[i].name) == 0)
            return methods[i].run(c);
    snprintf(text, sizeof text, "unknown method \"%.200s\"", name);
    return fail(c, text);
}

#define RUN_NAMED(c, name, methods) runNamed((c), (name), (methods), sizeof(methods) / sizeof((methods)[0]))

#endif
