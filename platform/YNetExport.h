// Public header.
/// @file
/// Symbol visibility of the library's interface.
///
/// @def YNET_API
/// The shared library exports what is marked YNET_API and hides the rest.
/// YNET_BUILDING is defined while the library itself is compiled;
/// YNET_STATIC by code that links the library's objects directly (the tests).
#pragma once

#if defined(_WIN32)
#if defined(YNET_BUILDING)
#define YNET_API __declspec(dllexport)
#elif defined(YNET_STATIC)
#define YNET_API
#else
#define YNET_API __declspec(dllimport)
#endif
#else
#define YNET_API __attribute__((visibility("default")))
#endif

/// @def YNET_PRINTF
/// printf-style checking of the log functions' formats.
#if defined(__MINGW32__)
#define YNET_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define YNET_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define YNET_PRINTF(fmt, args)
#endif
