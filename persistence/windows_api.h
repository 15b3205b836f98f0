// <windows.h> as the library's Windows code includes it, and nothing elsewhere.
//
// WIN32_LEAN_AND_MEAN leaves out the parts of the API the library never calls (sockets, COM, ...),
// and NOMINMAX keeps the header's min and max macros from breaking std::min, std::max and
// std::numeric_limits<T>::max() in the file that includes it.
#ifndef MPLNET_PERSISTENCE_WINDOWS_API_H_
#define MPLNET_PERSISTENCE_WINDOWS_API_H_

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#endif  // MPLNET_PERSISTENCE_WINDOWS_API_H_
