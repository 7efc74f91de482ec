/* The one export macro of korvex: everything else in the library is hidden. */
#ifndef KORVEX_EXPORT_H
#define KORVEX_EXPORT_H

#if defined(_WIN32)
#  if defined(KORVEX_BUILDING_LIBRARY)
#    define KORVEX_API __declspec(dllexport)
#  else
#    define KORVEX_API __declspec(dllimport)
#  endif
#else
#  define KORVEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define KORVEX_EXTERN_C extern "C"
#  define KORVEX_BEGIN_C extern "C" {
#  define KORVEX_END_C }
#else
#  define KORVEX_EXTERN_C
#  define KORVEX_BEGIN_C
#  define KORVEX_END_C
#endif

#endif
