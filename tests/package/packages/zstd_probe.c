/* The compiled part of a local wheel in the tests: a library that links a
   system library (zstd) which nothing else in the bundle links, so that
   the package's computed dependencies must come from it. */

unsigned ZSTD_versionNumber(void);

unsigned norvale_zstd_probe_version(void) { return ZSTD_versionNumber(); }
