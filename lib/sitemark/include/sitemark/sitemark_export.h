#pragma once

// libSitemark is built with hidden visibility; only declarations marked with
// this macro form its interface. The macro is the same on both sides of the
// boundary: the attribute on a declaration the program imports is harmless.
#if defined(_WIN32)
#define SITEMARK_EXPORT
#else
#define SITEMARK_EXPORT __attribute__((visibility("default")))
#endif
