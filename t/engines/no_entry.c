/*
 * no_entry.c - a library named like the engine that lacks its entry, so that
 * the module's handling of a library without runMethod can be exercised.
 */
__attribute__((visibility("default"))) int plotruneNotTheEntry(void) { return 0; }
