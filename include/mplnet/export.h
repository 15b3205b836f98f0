// Export and calling-convention macros of the mplnet library.
//
// MPLNET_CALL is the calling convention of the five C exports: standard-call on 32-bit Windows (the
// callee removes its arguments, as the hosts expect), the platform default elsewhere.
// MPLNET_EXPORT marks those five functions, MPLNET_API the public engine classes and functions.
// Everything else is hidden: the shared library is built with hidden visibility by default, and
// MPLNET_HIDDEN keeps a private member of a public class out of its exports too.
#ifndef MPLNET_EXPORT_H_
#define MPLNET_EXPORT_H_

#if defined(_WIN32) && !defined(_WIN64)
#define MPLNET_CALL __stdcall
#else
#define MPLNET_CALL
#endif

#if defined(_WIN32)
// The DLL's export table is fixed by its module-definition file: exactly the five exports, nothing
// else, so none of these macros adds an attribute there.
#define MPLNET_EXPORT
#define MPLNET_API
#define MPLNET_HIDDEN
#elif defined(MPLNET_BUILDING_LIBRARY)
#define MPLNET_EXPORT __attribute__((visibility("default")))
#define MPLNET_API __attribute__((visibility("default")))
#define MPLNET_HIDDEN __attribute__((visibility("hidden")))
#else
#define MPLNET_EXPORT
#define MPLNET_API
#define MPLNET_HIDDEN
#endif

#endif  // MPLNET_EXPORT_H_
