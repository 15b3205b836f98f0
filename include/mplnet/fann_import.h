// Networks trained with FANN, brought over as networks of ours that compute the same outputs.
//
// Reads the text FANN 2.1 and later write for a floating-point network (the file fann_save writes,
// first line "FANN_FLO_2.1"). A FANN_SIGMOID neuron of steepness s becomes a SIGM neuron of Alpha
// 2s, a FANN_SIGMOID_SYMMETRIC one a TH neuron of Alpha s; the weight from a bias neuron (whose
// output is always 1) becomes the threshold with the opposite sign, since a threshold is
// subtracted; shortcut connections become links from earlier layers. Our network then differs from
// FANN's only by the order in which sums are rounded.
//
// Whatever cannot be represented exactly is refused: every other activation function, FANN's
// scaling parameters (inputs and outputs scaled outside the network), fixed-point files, a negative
// steepness or one so large that fann_run's clip of the sum (to +-150 / steepness) moves outputs
// beyond rounding, connections that fann_run would read from other neurons than the file names,
// weights that are not finite numbers. A neuron without connections outputs 1, as in fann_run.
// Nothing is built then.
//
// Part of the interop library (mplnet::interop), never of the DLL.
#ifndef MPLNET_FANN_IMPORT_H_
#define MPLNET_FANN_IMPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "mplnet/engine.h"
#include "mplnet/error.h"

namespace mplnet {

// A FANN network file that is malformed or holds something our networks cannot represent; what()
// names the file and the line, the neuron (FANN's number, layer and index) and the reason.
class FannImportError : public Error {
 public:
  using Error::Error;
};

// The largest FANN network file ImportFannFile reads: 256 MiB, some ten million connections, far
// beyond any network a host runs. Larger files are refused before their content is read.
inline constexpr std::uint64_t kFannFileMaxBytes = std::uint64_t{256} << 20;

// The network described by `text`, the content of a FANN network file called `name`: input
// elements (0, i) fed through their link 0_0, then FANN's layers without their bias neurons, the
// last layer of type NOutput. Raises FannImportError.
Perceptron ImportFann(std::string_view text, std::string_view name);
// ImportFann of the file at `path`; FannImportError also when it cannot be read or holds more
// than kFannFileMaxBytes.
Perceptron ImportFannFile(const std::string& path);

}  // namespace mplnet

#endif  // MPLNET_FANN_IMPORT_H_
