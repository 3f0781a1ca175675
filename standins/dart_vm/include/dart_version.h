#ifndef RUNTIME_INCLUDE_DART_VERSION_H_
#define RUNTIME_INCLUDE_DART_VERSION_H_

// Version of the dynamically linked native API that this VM publishes.
#define DART_API_DL_MAJOR_VERSION 2
#define DART_API_DL_MINOR_VERSION 6

#endif  // RUNTIME_INCLUDE_DART_VERSION_H_
