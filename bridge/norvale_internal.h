#ifndef NORVALE_NORVALE_INTERNAL_H_
#define NORVALE_NORVALE_INTERNAL_H_

// What the library's units share and the tests of its internals reach;
// nothing here is exported.

#include <cstddef>
#include <cstdint>

#include "norvale.h"

// The library's private copy of one run request. Nothing in it points into
// the caller's memory; one thread owns it at a time.
struct kestrune_state {
  int32_t mode;              // 1: run script_source; else run script_path
  char* script_path;         // owned, or NULL
  char* script_source;       // owned, or NULL
  char* program_name;        // owned, or NULL ("python")
  char** module_paths;       // owned, NULL-ended, or NULL
  size_t module_path_count;  // entries before the terminator
  char** env_names;          // owned, NULL-ended, or NULL
  char** env_values;         // owned, NULL-ended, or NULL
  size_t env_count;          // pairs to apply
  int64_t exit_port;         // 0: no result is posted
};

// Deep copy of a NULL-ended string array; NULL for a NULL source or when
// memory runs out (then *count is 0).
char** dup_string_array(const char* const* source, size_t* count);

// The copy that kestrune_run makes of a configuration: NULL for a NULL
// configuration or when the record cannot be allocated. Members that cannot
// be copied stay absent.
kestrune_state* kestrune_state_copy(const kestrune_run_config* config);

void kestrune_state_free(kestrune_state* state);

// Carries out one run request on the calling thread: 0 when the program ran
// to its end (or was handed fresh ports), 1 on any failure.
int32_t kestrune_run_python(const kestrune_state* state);

#endif  // NORVALE_NORVALE_INTERNAL_H_
