// Symbol visibility for the likeness shared library.
// The library is built with hidden visibility; only what carries LIKENESS_API is exported.
#ifndef LIKENESS_MODULE_EXPORT_H
#define LIKENESS_MODULE_EXPORT_H

#if defined(LIKENESS_BUILDING_LIBRARY)
#define LIKENESS_API __attribute__((visibility("default")))
#else
#define LIKENESS_API
#endif

#endif
