// Networks to and from ONNX, the format PyTorch, Keras and scikit-learn export to.
//
// Import takes a model that is a chain of dense layers ending in Sigmoid or Tanh and builds the
// network that computes the same outputs: `Gemm`, or `MatMul` followed by `Add` of a constant, is a
// layer's weights and bias; `Sigmoid` becomes SIGM and `Tanh` becomes TH with alpha 1, or with the
// alpha of a `Mul` by constants right before them; a bias b becomes the threshold -b. Constant
// affine maps (`Add`, `Sub`, `Mul`, `Div` by constants, `BatchNormalization` in inference form) and
// linear layers without an activation are folded into the next layer's weights and thresholds;
// `Identity`, `Flatten`, `Reshape`, `Squeeze`, `Unsqueeze` and `Concat` that keep the vector as it
// is pass it on. Weights stored as float, double or float16 are converted exactly to double.
// Anything else is refused, naming the node or tensor and why; no path named inside a model is ever
// opened.
//
// Export writes a layered network (every link reads an earlier layer) as one `Gemm` per layer over
// double tensors, its alphas as a `Mul` and its activation as `Sigmoid` or `Tanh`; importing the
// export gives back a network with the same outputs to the bit.
//
// Part of the interop library (mplnet::interop), never of the DLL or libmplnet.so.
#ifndef MPLNET_ONNX_H_
#define MPLNET_ONNX_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "mplnet/engine.h"
#include "mplnet/error.h"

namespace mplnet {

// Models larger than this are refused before they are read: 64 MiB holds 16 million float weights,
// a network far larger than a network file of ours serves.
inline constexpr std::uintmax_t kMostOnnxModelBytes = std::uintmax_t{64} << 20;

// The operator set export writes, and the newest one import reads (the one the ONNX library the
// project builds with knows last).
inline constexpr int kOnnxOpset = 17;

// A model that is malformed or holds something our networks cannot represent; what() names the
// model, the node (position, name, op type) or tensor, and the reason.
class OnnxImportError : public Error {
 public:
  using Error::Error;
};

// A network that ONNX cannot express as export writes it; what() names the element and the reason.
class OnnxExportError : public Error {
 public:
  using Error::Error;
};

// Whether `head`, the first bytes of a file, opens an ONNX model rather than a text file: a
// serialized model starts with the tag of one of its fields.
bool LooksLikeOnnx(std::string_view head);
// LooksLikeOnnx of the first bytes of the file at `path`; false when it cannot be read.
bool LooksLikeOnnxFile(const std::string& path);

// The network the serialized model `bytes` (a file called `name`) computes: input elements (0, i)
// fed through their link 0_0, then one layer per activation, the last of type NOutput. Raises
// OnnxImportError.
Perceptron ImportOnnx(std::string_view bytes, std::string_view name);
// ImportOnnx of the file at `path`, refused unread when larger than kMostOnnxModelBytes; raises
// OnnxImportError also when it cannot be read.
Perceptron ImportOnnxFile(const std::string& path);

// The serialized ONNX model of `net`, checked by ONNX's own checker (its full check, shape and type
// inference included). Raises OnnxExportError.
std::string ExportOnnx(const Perceptron& net);

// What ONNX's checker, with shape and type inference in strict mode, finds wrong with the
// serialized model `bytes`; empty when it accepts it. Only for models without external data.
std::string OnnxCheckFailure(std::string_view bytes);

}  // namespace mplnet

#endif  // MPLNET_ONNX_H_
