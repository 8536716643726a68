/*
 * planted_faults.c - an engine that commits, on request, one fault of each
 * kind the sanitizer build must catch, so that a run of it shows the
 * sanitizers do report from this module's process: the method (the call's
 * first argument) names the fault.  Built and run by the sanitizer build
 * only (PLOTRUNE_SANITIZE).
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>

#include "plotrune_engine.h"

/* volatile (the sink, the blocks' pointers): the compiler must neither see
   through nor drop the faults, nor warn of them at build time. */
static volatile int32_t plotrune_sink;

__attribute__((visibility("default")))
int32_t runMethod(const CallbackTable *t, int32_t count, PlotruneScalar **args,
                  PlotruneScalar **result, char *message)
{
    const char *method = "";
    (void)result;
    if (count < 1 || !t->getString(args[0], &method)) {
        snprintf(message, PLOTRUNE_MESSAGE_SIZE - 1, "want the name of a fault");
        return 0;
    }
    if (strcmp(method, "heap-buffer-overflow") == 0) {
        char *volatile block = malloc(8);
        block[8 + (count - 1)] = 1;               /* one past the end */
        plotrune_sink = block[0];
        free(block);
    } else if (strcmp(method, "heap-use-after-free") == 0) {
        char *volatile block = malloc(8);
        free(block);
        plotrune_sink = block[count - 1];
    } else if (strcmp(method, "signed-integer-overflow") == 0) {
        int32_t big = INT32_MAX - 1 + (int32_t)plotrune_sink;
        plotrune_sink = big + count + 1;          /* past INT32_MAX */
    } else {
        snprintf(message, PLOTRUNE_MESSAGE_SIZE - 1, "no fault named \"%s\"", method);
        return 0;
    }
    snprintf(message, PLOTRUNE_MESSAGE_SIZE - 1, "the fault \"%s\" went unreported", method);
    return 0;
}
