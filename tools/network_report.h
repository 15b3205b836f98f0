// What the tool's commands say about a network file: loading it with the library's reader, the
// checks and description `mplnet info` prints, and the names of types shared with `mplnet dot`.
//
// The checks look for what the forward pass relies on but no load refuses: every position of a
// layer's range present, every link naming an existing element, input elements fed through their
// 0_0 link, neuron types the reader accepts, one element per coordinate key. Some of these show
// only in the loaded network, others only in the file as written (a section the reader merged into
// another, or a value it refused), so both are examined.
#ifndef MPLNET_TOOLS_NETWORK_REPORT_H_
#define MPLNET_TOOLS_NETWORK_REPORT_H_

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/error.h"

namespace mplnet::tool {

// A failure the tool reports as its one message line.
class ToolError : public Error {
 public:
  using Error::Error;
};

// Loads the network file at `path` with the library's reader. Raises ToolError naming the file
// (and, for a malformed file, the section, the key and the reason) when it is missing or does not
// load.
std::unique_ptr<Perceptron> LoadNetworkFile(const std::string& path);

// Throws ToolError unless `path` names an existing regular file: the library's reader takes a
// missing file for an empty network, which is never what a user of the tool means.
void RequireNetworkFile(const std::string& path);

// The problems the forward pass would meet in `net`, loaded from the file at `path`; one sentence
// each, empty when there are none.
std::vector<std::string> CheckNetwork(const std::string& path, const Perceptron& net);

// Writes the layers, counts, types and checks of `net`, loaded from `path`.
void WriteInfo(const std::string& path, const Perceptron& net, std::ostream& out);

// The name of activation type `atype` ("SIGM"), "?" for one the library does not know.
const char* ActivationName(unsigned atype);
// Attribute `attr` of `n` (one of Neuron::ATTR_…), a type, as a whole number.
unsigned TypeOf(const Neuron& n, unsigned attr);
// Whether `n` is an input element's neuron, fed from outside through its 0_0 link.
bool IsInputNeuron(const Neuron& n);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_NETWORK_REPORT_H_
