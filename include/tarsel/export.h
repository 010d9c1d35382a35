// What the library exports: its public headers and nothing else.
#pragma once

// TARSEL_API marks each class, function and object a public header declares, so that the
// shared library's symbol table is the API alone:
//  - Windows-style shared libraries (DLLs) export by declaration: dllexport while the
//    library itself is built (TARSEL_BUILDING_LIBRARY), dllimport for a host, nothing when
//    either links the library statically (TARSEL_STATIC).
//  - GCC and Clang build with hidden visibility and give the marked declarations default
//    visibility. TARSEL_API_BEGIN and TARSEL_API_END do the same for a whole header, so
//    that what no single declaration can carry (type information of inline classes, class
//    templates) is exported too; they are empty where visibility is not an attribute.
// TARSEL_INTERNAL keeps a declaration inside such a region hidden (the control's core).
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(TARSEL_STATIC)
#define TARSEL_API
#elif defined(TARSEL_BUILDING_LIBRARY)
#define TARSEL_API __declspec(dllexport)
#else
#define TARSEL_API __declspec(dllimport)
#endif
#define TARSEL_API_BEGIN
#define TARSEL_API_END
#define TARSEL_INTERNAL
#elif defined(__GNUC__)
#define TARSEL_API __attribute__((visibility("default")))
#define TARSEL_API_BEGIN _Pragma("GCC visibility push(default)")
#define TARSEL_API_END _Pragma("GCC visibility pop")
#define TARSEL_INTERNAL __attribute__((visibility("hidden")))
#else
#define TARSEL_API
#define TARSEL_API_BEGIN
#define TARSEL_API_END
#define TARSEL_INTERNAL
#endif
