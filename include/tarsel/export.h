// What the library exports: its public headers and nothing else.
#pragma once

// The library is built with hidden visibility. Everything a public header declares is its
// API and is exported; the private members of the control are internal and stay hidden, so
// the shared library's symbol table is the API alone.
#if defined(__GNUC__)
#define TARSEL_API_BEGIN _Pragma("GCC visibility push(default)")
#define TARSEL_API_END _Pragma("GCC visibility pop")
#define TARSEL_INTERNAL __attribute__((visibility("hidden")))
#else
#define TARSEL_API_BEGIN
#define TARSEL_API_END
#define TARSEL_INTERNAL
#endif
