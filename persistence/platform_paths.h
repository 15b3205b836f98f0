// The library's two fixed file names, in one place for the network file and the bar log.
//
// Windows hosts expect the historical names on drive C:. Other systems have no drive C:, so their
// temp folder stands in for both.
#ifndef MPLNET_PERSISTENCE_PLATFORM_PATHS_H_
#define MPLNET_PERSISTENCE_PLATFORM_PATHS_H_

namespace mplnet {

#ifdef _WIN32
// The network file used until a load or save names another one.
inline constexpr char kDefaultNetworkFile[] = "c:\\test.ini";
// The text file that received price bars are appended to.
inline constexpr char kBarLogFile[] = "c:\\temp\\test.txt";
#else
inline constexpr char kDefaultNetworkFile[] = "/tmp/test.ini";
inline constexpr char kBarLogFile[] = "/tmp/test.txt";
#endif

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_PLATFORM_PATHS_H_
