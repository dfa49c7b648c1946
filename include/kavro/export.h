// KAVRO_API marks what the shared library exports. On Windows it exports while the library
// itself is built (CMake defines KAVRO_BUILDING_LIBRARY on that target only) and imports for
// everyone who uses it; elsewhere it gives the symbol default visibility, since the library is
// built with hidden visibility.
#ifndef KAVRO_EXPORT_H
#define KAVRO_EXPORT_H

#if defined(_WIN32)
#if defined(KAVRO_BUILDING_LIBRARY)
#define KAVRO_API __declspec(dllexport)
#else
#define KAVRO_API __declspec(dllimport)
#endif
#else
#define KAVRO_API __attribute__((visibility("default")))
#endif

#endif  // KAVRO_EXPORT_H
