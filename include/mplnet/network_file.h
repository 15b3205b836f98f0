// Network files from C++: load one into a Perceptron, save a Perceptron as one.
//
// The reader is the one the host's MPLLoad uses, so a file loads here exactly as a host loads it;
// the format, and what a hand-edited file may hold, are in docs/network-file.md. Failures are
// exceptions of one type whose message names the file and, for a fault inside it, the section and
// the key, then the reason:
//
//   network file "net.ini", section [Neuron_10], key "alpha": "2,,5" is not a number
//
// Calls may run on several threads at once, on different files, and beside the exports.
#ifndef MPLNET_NETWORK_FILE_H_
#define MPLNET_NETWORK_FILE_H_

#include <mplnet/engine.h>
#include <mplnet/error.h>
#include <mplnet/export.h>

#include <memory>
#include <string>

namespace mplnet {

// Why a network file did not load or save. what() names the file, the section, the key and the
// reason, and each is at hand on its own too.
class MPLNET_API NetworkFileError : public Error {
 public:
  // A fault of the file as a whole: it is missing, cannot be read, or cannot be written.
  NetworkFileError(const std::string& file, const std::string& reason);
  // A fault of one entry of the file.
  NetworkFileError(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& reason);
  ~NetworkFileError() override;

  // The file's name, as it was given.
  const std::string& file() const noexcept { return place_->file; }
  // The section and the key at fault; both empty for a fault of the whole file.
  const std::string& section() const noexcept { return place_->section; }
  const std::string& key() const noexcept { return place_->key; }
  // What is wrong, without the place.
  const std::string& reason() const noexcept { return place_->reason; }

 private:
  struct Place {
    std::string file;
    std::string section;
    std::string key;
    std::string reason;
  };
  // Shared, so that copying the exception never throws.
  std::shared_ptr<const Place> place_;
};

// Reads the network file `path` (a UTF-8 name) as the host's MPLLoad does and returns its network.
// Throws NetworkFileError when the file is missing or cannot be read, or when a section is
// malformed.
MPLNET_API Perceptron LoadPerceptron(const std::string& path);

// Writes `net` as the whole content of the file `path` (a UTF-8 name) in one atomic replacement:
// afterwards the file holds `net` and nothing else, or, when this throws NetworkFileError, it is as
// it was. (MPLSave, by contrast, keeps the other sections a file holds.)
MPLNET_API void SavePerceptron(const Perceptron& net, const std::string& path);

}  // namespace mplnet

#endif  // MPLNET_NETWORK_FILE_H_
