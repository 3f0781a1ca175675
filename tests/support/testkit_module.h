#ifndef TESTS_SUPPORT_TESTKIT_MODULE_H_
#define TESTS_SUPPORT_TESTKIT_MODULE_H_

#include "norvale.h"

// Initialisation function of the built-in test module "_norvale_testkit";
// hosts register it with kestrune_register_extension.
PyObject* norvale_testkit_init(void);

#endif  // TESTS_SUPPORT_TESTKIT_MODULE_H_
