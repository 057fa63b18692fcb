/* talvexUtil.dll: the library the install command locates beside talvex.exe
   and whose directory the service passes to the JVM.  Its export lets a
   caller on the Java side or an installer check which release it found. */
#ifndef TALVEX_UTIL_H
#define TALVEX_UTIL_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TALVEX_UTIL_BUILD)
#define TALVEX_UTIL_API __declspec(dllexport)
#else
#define TALVEX_UTIL_API __declspec(dllimport)
#endif

/* The release of the library as "major.minor.patch", a static text. */
TALVEX_UTIL_API const char* TalvexUtilVersion(void);

#ifdef __cplusplus
}
#endif

#endif
