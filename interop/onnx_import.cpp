// ONNX models as networks of ours.
//
// The graph is evaluated symbolically from its output back, one node at a time and each node once:
// every tensor is either a constant or a vector whose entries are affine forms over the outputs of
// the network built so far (at first the input elements). An affine node changes the forms, a
// dense layer multiplies them by its weights, and `Sigmoid` or `Tanh` turns each form into a neuron
// of a new layer whose links are the form's terms, in the order of its sources. A `Mul` still
// pending when the activation comes is the neurons' alpha, so that the neuron computes exactly what
// the graph does: the weighted sum, less the threshold -b, times alpha. What comes before a layer
// without an activation is multiplied into its weights, with one rounding per product.
//
// A tensor's shape is kept as its dimensions, the batch dimension (symbolic in the model) marked:
// a vector has at most one batch dimension and at most one other dimension larger than 1, whose
// size is the vector's length. Every operation must keep that form, so that the model computes
// each sample's outputs from that sample's inputs alone.
#include <google/protobuf/stubs/logging.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/structure_check.h"
#include "mplnet/onnx.h"
#include "persistence/file_io.h"

namespace mplnet {
namespace {

// The most terms one folded tensor may hold, and the most steps (multiplications, copied terms) one
// import may take: a small model whose linear layers widen and narrow again would otherwise fold
// into billions. The largest layers a model within the size limit holds take far fewer.
constexpr std::size_t kMostTerms = std::size_t{1} << 24;
constexpr std::uint64_t kMostWork = std::uint64_t{1} << 28;
// The oldest operator set whose operators this reader knows as it reads them.
constexpr std::int64_t kOldestOpset = 7;
constexpr std::size_t kMostRank = 8;

using onnx::AttributeProto;
using onnx::NodeProto;
using onnx::TensorProto;

struct Dim {
  std::int64_t size = 1;
  bool batch = false;
  bool operator==(const Dim&) const = default;
};
using Shape = std::vector<Dim>;

std::string ShapeText(const Shape& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += shape[i].batch ? "batch" : std::to_string(shape[i].size);
  }
  return text + "]";
}

// A constant tensor: real values (weights) or whole numbers (shapes, axes).
struct Constant {
  std::vector<std::int64_t> dims;
  std::vector<double> reals;
  std::vector<std::int64_t> wholes;
  bool whole = false;
};

// One term of an affine form: coefficient times the output of source `source`.
struct Term {
  std::uint32_t source = 0;
  double coefficient = 0.0;
};

// A vector of affine forms, scale ⊙ (forms + offset); `scale` empty when no Mul is pending.
struct Affine {
  Shape shape;
  std::vector<std::vector<Term>> rows;
  std::vector<double> offset;
  std::vector<double> scale;
};

struct Value {
  std::shared_ptr<const Constant> constant;
  std::shared_ptr<const Affine> affine;
};

std::optional<std::int64_t> ProductOf(const std::vector<std::int64_t>& dims) {
  std::int64_t count = 1;
  for (const std::int64_t d : dims) {
    if (d < 0 || (d > 0 && count > std::numeric_limits<std::int64_t>::max() / d)) {
      return std::nullopt;
    }
    count *= d;
  }
  return count;
}

double HalfToDouble(std::uint16_t bits) {
  const int exponent = (bits >> 10) & 0x1F;
  const int mantissa = bits & 0x3FF;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    magnitude = mantissa == 0 ? std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::quiet_NaN();
  } else {
    magnitude = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (bits & 0x8000) != 0 ? -magnitude : magnitude;
}

template <typename T>
T LittleEndianAt(const std::string& raw, std::size_t i) {
  T value;
  std::memcpy(&value, raw.data() + i * sizeof(T), sizeof(T));  // x86 and ARM are little-endian
  return value;
}

// The element types a message may name; any other is "an unsupported type".
const char* TypeName(int type) {
  static constexpr std::pair<int, const char*> kNames[] = {
      {TensorProto::FLOAT, "float"},     {TensorProto::DOUBLE, "double"},
      {TensorProto::FLOAT16, "float16"}, {TensorProto::INT64, "int64"},
      {TensorProto::INT32, "int32"},     {TensorProto::BFLOAT16, "bfloat16"},
      {TensorProto::STRING, "string"},   {TensorProto::BOOL, "bool"}};
  for (const auto& [code, name] : kNames) {
    if (code == type) return name;
  }
  return "an unsupported type";
}

class Importer {
 public:
  Importer(const onnx::ModelProto& model, std::string_view name) : model_(model), name_(name) {}

  Perceptron Build() {
    CheckOpset();
    const onnx::GraphProto& graph = model_.graph();
    IndexTensors(graph);
    DeclareInput(graph);
    if (graph.output_size() != 1) {
      Fail("the graph has " + std::to_string(graph.output_size()) +
           " outputs; a network has exactly one output vector");
    }
    ++uses_[graph.output(0).name()];
    const Value out = Evaluate(graph.output(0).name());
    CheckEndsInLayer(out, graph.output(0).name());
    // Positions whose coordinate keys collide are one element of ours: a later layer's neuron
    // would silently take an earlier one's place.
    if (const std::optional<SharedKey> shared = FirstSharedKey(layer_sizes_)) {
      Fail(SharedKeyText(*shared));
    }
    Perceptron net = Assemble();
    // What the forward pass needs, as every user of a network checks it: an import is exact or
    // refused.
    const std::vector<StructureFinding> findings = CheckStructure(net);
    if (!findings.empty())
      Fail("the network would not compute the graph: " + findings.front().text);
    return net;
  }

 private:
  [[noreturn]] void Fail(const std::string& reason) const {
    throw OnnxImportError("ONNX model \"" + std::string(name_) + "\": " + reason);
  }

  std::string NodeName(int index) const {
    const NodeProto& node = model_.graph().node(index);
    return "node " + std::to_string(index + 1) + " of " +
           std::to_string(model_.graph().node_size()) + " \"" + node.name() + "\" (" +
           node.op_type() + ")";
  }

  [[noreturn]] void FailNode(int index, const std::string& reason) const {
    Fail(NodeName(index) + ": " + reason);
  }

  void CheckOpset() {
    bool found = false;
    for (const onnx::OperatorSetIdProto& set : model_.opset_import()) {
      if (!set.domain().empty() && set.domain() != "ai.onnx") continue;
      found = true;
      opset_ = set.version();
    }
    if (!found) Fail("the model names no version of the standard operator set");
    if (opset_ < kOldestOpset || opset_ > kOnnxOpset) {
      Fail("operator set " + std::to_string(opset_) + " is not read; versions " +
           std::to_string(kOldestOpset) + " to " + std::to_string(kOnnxOpset) + " are");
    }
  }

  void IndexTensors(const onnx::GraphProto& graph) {
    for (const TensorProto& t : graph.initializer()) {
      if (!initializers_.emplace(t.name(), &t).second) {
        Fail("two initializers are called \"" + t.name() + "\"");
      }
    }
    if (graph.sparse_initializer_size() > 0) Fail("sparse initializers are not read");
    for (int n = 0; n < graph.node_size(); ++n) {
      for (const std::string& in : graph.node(n).input()) ++uses_[in];
      for (const std::string& out : graph.node(n).output()) {
        if (out.empty()) continue;
        if (initializers_.contains(out) || !producers_.emplace(out, n).second) {
          FailNode(n, "its output \"" + out + "\" is produced twice in the graph");
        }
      }
    }
  }

  // The one graph input that is not an initializer (older exporters list initializers as inputs
  // too, and those count as constants).
  void DeclareInput(const onnx::GraphProto& graph) {
    const onnx::ValueInfoProto* input = nullptr;
    for (const onnx::ValueInfoProto& in : graph.input()) {
      if (initializers_.contains(in.name())) continue;
      if (input != nullptr) {
        Fail("the graph has more than one input (\"" + input->name() + "\", \"" + in.name() +
             "\"); a network takes exactly one input vector");
      }
      input = &in;
    }
    if (input == nullptr) Fail("the graph has no input");
    const std::string where = "the graph input \"" + input->name() + "\"";
    if (producers_.contains(input->name())) Fail(where + " is also produced by a node");
    if (!input->type().has_tensor_type()) Fail(where + " is not a tensor");
    const onnx::TypeProto::Tensor& type = input->type().tensor_type();
    const int elem = type.elem_type();
    if (elem != TensorProto::FLOAT && elem != TensorProto::DOUBLE && elem != TensorProto::FLOAT16) {
      Fail(where + " holds " + TypeName(elem) + " values, not float, double or float16");
    }
    if (!type.has_shape()) Fail(where + " has no shape: its length cannot be known");
    const auto& dims = type.shape().dim();
    if (dims.size() < 1 || dims.size() > 2) {
      Fail(where + " has " + std::to_string(dims.size()) +
           " dimensions; a network takes [N] or [batch, N]");
    }
    Shape shape;
    for (int d = 0; d < dims.size(); ++d) {
      const bool known = dims[d].has_dim_value();
      const bool last = d + 1 == dims.size();
      if (last && !known) Fail(where + ": its last dimension, the input's length, is not a number");
      if (!known) {
        shape.push_back({1, true});
      } else if (last ? dims[d].dim_value() < 1 ||
                            static_cast<std::uint64_t>(dims[d].dim_value()) > kMostPositions
                      : dims[d].dim_value() != 1) {
        Fail(where + ": dimension " + std::to_string(d) + " is " +
             std::to_string(dims[d].dim_value()) +
             (last ? "; a layer holds 1 to " + std::to_string(kMostPositions) + " elements"
                   : "; the batch dimension is 1 or symbolic"));
      } else {
        shape.push_back({dims[d].dim_value(), false});
      }
    }
    const std::size_t n = static_cast<std::size_t>(shape.back().size);
    auto affine = std::make_shared<Affine>();
    affine->shape = shape;
    affine->rows.resize(n);
    affine->offset.assign(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) affine->rows[i].push_back({AddSource(0, i), 1.0});
    layer_sizes_.push_back(n);
    values_[input->name()] = Value{nullptr, std::move(affine)};
  }

  std::uint32_t AddSource(std::size_t layer, std::size_t index) {
    sources_.push_back({static_cast<int>(layer), static_cast<int>(index)});
    return static_cast<std::uint32_t>(sources_.size() - 1);
  }

  // ---- evaluation order ----------------------------------------------------------------------

  // The value of tensor `name`, evaluating the nodes it depends on first, each once. Iterative, so
  // that a long chain cannot exhaust the stack; a node met again while its inputs are being
  // evaluated closes a cycle.
  Value Evaluate(const std::string& name) {
    std::vector<std::pair<int, int>> stack;  // node, next input to look at
    std::vector<char> state(static_cast<std::size_t>(model_.graph().node_size()), 0);
    auto need = [&](const std::string& tensor) {
      if (values_.contains(tensor)) return;
      const auto init = initializers_.find(tensor);
      if (init != initializers_.end()) {
        values_[tensor] = Value{ReadTensor(*init->second, "initializer \"" + tensor + "\""), {}};
        return;
      }
      const auto producer = producers_.find(tensor);
      if (producer == producers_.end()) {
        Fail(stack.empty() ? "the graph output \"" + tensor + "\" is produced by no node"
                           : NodeName(stack.back().first) + ": its input \"" + tensor +
                                 "\" is produced by no node and is no initializer");
      }
      const int n = producer->second;
      if (state[static_cast<std::size_t>(n)] == 1) {
        FailNode(n, "the graph has a cycle through this node");
      }
      state[static_cast<std::size_t>(n)] = 1;
      stack.emplace_back(n, 0);
    };
    need(name);
    while (!stack.empty()) {
      auto& [n, next] = stack.back();
      const NodeProto& node = model_.graph().node(n);
      if (next < node.input_size()) {
        const std::string& input = node.input(next++);
        if (!input.empty()) need(input);
        continue;
      }
      const int done = n;
      stack.pop_back();
      RunNode(done);
      state[static_cast<std::size_t>(done)] = 2;
      // A value no node will read any more is let go: a long chain holds two at a time.
      for (const std::string& input : model_.graph().node(done).input()) {
        if (--uses_[input] == 0) values_.erase(input);
      }
    }
    return values_.at(name);
  }

  // ---- tensors and attributes ----------------------------------------------------------------

  std::shared_ptr<const Constant> ReadTensor(const TensorProto& t, const std::string& what) const {
    if (t.data_location() == TensorProto::EXTERNAL || t.external_data_size() > 0) {
      std::string location;
      for (const auto& entry : t.external_data()) {
        if (entry.key() == "location") location = " (\"" + entry.value().substr(0, 200) + "\")";
      }
      Fail(what + " keeps its data in an external file" + location +
           "; only models with their data inside are read, and no path named in a model is "
           "opened");
    }
    if (t.has_segment()) Fail(what + " is a segment of a tensor; segments are not read");
    auto c = std::make_shared<Constant>();
    c->dims.assign(t.dims().begin(), t.dims().end());
    const std::optional<std::int64_t> count = ProductOf(c->dims);
    if (c->dims.size() > kMostRank || !count ||
        static_cast<std::uint64_t>(*count) > kMostOnnxModelBytes) {
      Fail(what + " has impossible dimensions");
    }
    const auto n = static_cast<std::size_t>(*count);
    const std::string& raw = t.raw_data();
    const bool has_raw = t.has_raw_data();
    // Reads the n values into `out`: the raw bytes as little-endian values of raw_type's type, or
    // else the typed `field`; each passes through `convert` with its index.
    auto read = [&](auto raw_type, const auto& field, auto& out, auto convert) {
      constexpr std::size_t width = sizeof(raw_type);
      const std::size_t found =
          has_raw ? raw.size() / width : static_cast<std::size_t>(field.size());
      if (found != n || (has_raw && raw.size() % width != 0)) {
        Fail(what + " declares " + std::to_string(n) + " values but holds " +
             std::to_string(found));
      }
      out.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = convert(
            has_raw ? LittleEndianAt<decltype(raw_type)>(raw, i) : field.Get(static_cast<int>(i)),
            i);
      }
    };
    const auto as_is = [](auto value, std::size_t) { return value; };
    switch (t.data_type()) {
      case TensorProto::FLOAT:
        read(float{}, t.float_data(), c->reals, as_is);
        break;
      case TensorProto::DOUBLE:
        read(double{}, t.double_data(), c->reals, as_is);
        break;
      case TensorProto::FLOAT16:  // without raw bytes, in int32_data, each in its low 16 bits
        read(std::uint16_t{}, t.int32_data(), c->reals, [&](std::int32_t value, std::size_t i) {
          const auto bits = static_cast<std::uint32_t>(value);
          if (bits > 0xFFFF) Fail(what + ": float16 value " + std::to_string(i) + " is malformed");
          return HalfToDouble(static_cast<std::uint16_t>(bits));
        });
        break;
      case TensorProto::INT64:
        c->whole = true;
        read(std::int64_t{}, t.int64_data(), c->wholes, as_is);
        break;
      default:
        Fail(what + " holds " + TypeName(t.data_type()) +
             " values; weights are float, double or float16, shapes and axes int64");
    }
    for (std::size_t i = 0; i < c->reals.size(); ++i) {
      if (!std::isfinite(c->reals[i])) {
        Fail(what + ": value " + std::to_string(i) + " is not a finite number");
      }
    }
    return c;
  }

  const AttributeProto* Attribute(int n, std::string_view attr,
                                  AttributeProto::AttributeType type) {
    for (const AttributeProto& a : model_.graph().node(n).attribute()) {
      if (a.name() != attr) continue;
      if (a.type() != type) FailNode(n, "its attribute \"" + a.name() + "\" has the wrong type");
      return &a;
    }
    return nullptr;
  }
  double FloatAttribute(int n, std::string_view attr, double fallback) {
    const AttributeProto* a = Attribute(n, attr, AttributeProto::FLOAT);
    if (a == nullptr) return fallback;
    if (!std::isfinite(a->f())) FailNode(n, "its attribute \"" + a->name() + "\" is not finite");
    return a->f();  // the stored float, converted exactly
  }
  std::int64_t IntAttribute(int n, std::string_view attr, std::int64_t fallback) {
    const AttributeProto* a = Attribute(n, attr, AttributeProto::INT);
    return a == nullptr ? fallback : a->i();
  }
  std::optional<std::vector<std::int64_t>> IntsAttribute(int n, std::string_view attr) {
    const AttributeProto* a = Attribute(n, attr, AttributeProto::INTS);
    if (a == nullptr) return std::nullopt;
    return std::vector<std::int64_t>(a->ints().begin(), a->ints().end());
  }

  // Refuses attributes the node's operator, as read here, does not have.
  void CheckAttributes(int n, std::initializer_list<std::string_view> known) {
    for (const AttributeProto& a : model_.graph().node(n).attribute()) {
      if (std::find(known.begin(), known.end(), a.name()) == known.end()) {
        FailNode(n, "its attribute \"" + a.name() + "\" is not understood");
      }
    }
  }

  // ---- values ----------------------------------------------------------------------------------

  const Value& Input(int n, int i) {
    const NodeProto& node = model_.graph().node(n);
    if (i >= node.input_size() || node.input(i).empty()) {
      FailNode(n, "input " + std::to_string(i + 1) + " is missing");
    }
    return values_.at(node.input(i));
  }
  std::shared_ptr<const Constant> ConstantInput(int n, int i, const std::string& what) {
    const Value& v = Input(n, i);
    if (v.constant == nullptr) {
      FailNode(n, what + " (input \"" + model_.graph().node(n).input(i) +
                      "\") is computed from the network's input; it must be a constant");
    }
    return v.constant;
  }
  std::vector<std::int64_t> WholeInput(int n, int i, const std::string& what) {
    const auto c = ConstantInput(n, i, what);
    if (!c->whole || c->dims.size() > 1) FailNode(n, what + " must be a list of int64");
    return c->wholes;
  }
  std::shared_ptr<const Constant> RealInput(int n, int i, const std::string& what) {
    const auto c = ConstantInput(n, i, what);
    if (c->whole) FailNode(n, what + " holds int64 values where real numbers belong");
    return c;
  }

  // The vector a node's input holds, its pending Mul multiplied in unless `keep_scale`.
  std::shared_ptr<Affine> VectorInput(int n, int i, bool keep_scale = false) {
    const Value& v = Input(n, i);
    if (v.affine == nullptr) {
      FailNode(n, "input \"" + model_.graph().node(n).input(i) +
                      "\" is a constant; only computations on the network's input are read");
    }
    // A copy costs its terms and an allocation per row: counted, so that a long chain of
    // reshapes of a wide vector cannot keep the importer busy for hours.
    std::uint64_t terms = 0;
    for (const auto& row : v.affine->rows) terms += row.size();
    Spend(n, terms + 16 * v.affine->rows.size());
    auto a = std::make_shared<Affine>(*v.affine);
    if (!keep_scale && !a->scale.empty()) {
      for (std::size_t r = 0; r < a->rows.size(); ++r) {
        for (Term& t : a->rows[r]) t.coefficient *= a->scale[r];
        a->offset[r] *= a->scale[r];
      }
      a->scale.clear();
    }
    return a;
  }

  void SetOutput(int n, Value v) {
    const NodeProto& node = model_.graph().node(n);
    for (int o = 1; o < node.output_size(); ++o) {
      if (!node.output(o).empty()) FailNode(n, "only its first output may be used");
    }
    if (node.output_size() < 1 || node.output(0).empty()) FailNode(n, "it has no output");
    if (v.affine != nullptr) CheckVector(n, v.affine->shape);
    values_[node.output(0)] = std::move(v);
  }

  // Refuses shapes that are no longer one vector per sample.
  void CheckVector(int n, const Shape& shape) {
    int batches = 0;
    int long_dims = 0;
    for (const Dim& d : shape) {
      batches += d.batch ? 1 : 0;
      long_dims += !d.batch && d.size > 1 ? 1 : 0;
    }
    if (shape.size() > kMostRank || batches > 1 || long_dims > 1) {
      FailNode(n, "its result " + ShapeText(shape) + " is no longer one vector per sample");
    }
  }

  static std::size_t LengthOf(const Shape& shape) {
    std::size_t n = 1;
    for (const Dim& d : shape) n *= d.batch ? 1 : static_cast<std::size_t>(d.size);
    return n;
  }

  static std::int64_t Axis(std::int64_t axis, std::size_t rank, bool& ok) {
    const auto r = static_cast<std::int64_t>(rank);
    ok = axis >= -r && axis < r;
    return axis < 0 ? axis + r : axis;
  }

  // The per-entry values of constant `c` broadcast against a vector of shape `shape`, and the shape
  // of the result in `shape`. Only the vector's own dimension may be longer than 1 in `c`.
  std::vector<double> Broadcast(int n, const Constant& c, Shape& shape, bool may_grow) {
    const std::size_t rank = std::max(c.dims.size(), shape.size());
    if (!may_grow && c.dims.size() > shape.size()) {
      FailNode(n, "its constant has more dimensions than the result");
    }
    Shape result(rank);
    bool along = false;
    for (std::size_t i = 0; i < rank; ++i) {
      const std::int64_t cd = i < c.dims.size() ? c.dims[c.dims.size() - 1 - i] : 1;
      const Dim vd = i < shape.size() ? shape[shape.size() - 1 - i] : Dim{};
      Dim& out = result[rank - 1 - i];
      out = vd;
      if (cd == 1) continue;
      if (vd.batch || vd.size != cd || cd == 0) {
        Shape constant;
        for (const std::int64_t d : c.dims) constant.push_back({d, false});
        FailNode(n, "a constant of dimensions " + ShapeText(constant) +
                        " does not fit the vector " + ShapeText(shape) + " entry by entry");
      }
      along = true;
    }
    shape = result;
    const std::size_t length = LengthOf(shape);
    if (c.reals.empty()) FailNode(n, "its constant is empty");
    return along ? c.reals : std::vector<double>(length, c.reals[0]);
  }

  // Counts `work` against what one import may take; refuses the node that goes beyond.
  void Spend(int n, std::uint64_t work) {
    work_ += work;
    if (work_ > kMostWork) {
      FailNode(n, "folding the model into a network takes more than " + std::to_string(kMostWork) +
                      " steps (multiplications and copies)");
    }
  }

  // ---- nodes -----------------------------------------------------------------------------------

  void RunNode(int n) {
    const NodeProto& node = model_.graph().node(n);
    if (!node.domain().empty() && node.domain() != "ai.onnx") {
      FailNode(n, "operators of domain \"" + node.domain() + "\" are not read");
    }
    const std::string& op = node.op_type();
    if (op == "Constant") return RunConstant(n);
    if (op == "Identity") {
      CheckAttributes(n, {});
      return SetOutput(n, Input(n, 0));
    }
    if (op == "Gemm") return RunGemm(n);
    if (op == "MatMul") return RunMatMul(n);
    if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div") return RunArithmetic(n, op);
    if (op == "BatchNormalization") return RunBatchNormalization(n);
    if (op == "Sigmoid" || op == "Tanh") return RunActivation(n, op == "Tanh");
    if (op == "Flatten") return RunFlatten(n);
    if (op == "Reshape") return RunReshape(n);
    if (op == "Squeeze" || op == "Unsqueeze") return RunSqueeze(n, op == "Unsqueeze");
    if (op == "Concat") return RunConcat(n);
    FailNode(n, "the operator " + op +
                    " cannot be represented; a network computes dense layers (Gemm, MatMul with "
                    "Add) with Sigmoid or Tanh, after constant affine maps");
  }

  void RunConstant(int n) {
    const NodeProto& node = model_.graph().node(n);
    if (node.attribute_size() != 1) FailNode(n, "a constant must have exactly one attribute");
    const AttributeProto& a = node.attribute(0);
    auto c = std::make_shared<Constant>();
    if (a.name() == "value" && a.type() == AttributeProto::TENSOR) {
      return SetOutput(n, Value{ReadTensor(a.t(), NodeName(n) + ": its value"), {}});
    } else if (a.name() == "value_float" && a.type() == AttributeProto::FLOAT) {
      c->reals = {a.f()};
    } else if (a.name() == "value_floats" && a.type() == AttributeProto::FLOATS) {
      c->reals.assign(a.floats().begin(), a.floats().end());
      c->dims = {static_cast<std::int64_t>(c->reals.size())};
    } else if (a.name() == "value_int" && a.type() == AttributeProto::INT) {
      c->whole = true;
      c->wholes = {a.i()};
    } else if (a.name() == "value_ints" && a.type() == AttributeProto::INTS) {
      c->whole = true;
      c->wholes.assign(a.ints().begin(), a.ints().end());
      c->dims = {static_cast<std::int64_t>(c->wholes.size())};
    } else {
      FailNode(n, "its attribute \"" + a.name() + "\" is not a constant read here");
    }
    for (const double v : c->reals) {
      if (!std::isfinite(v)) FailNode(n, "its value is not a finite number");
    }
    SetOutput(n, Value{std::move(c), {}});
  }

  // A dense layer: out[j] = Σ_k weight(j, k) · in[k] + bias[j], over the forms of `in`.
  std::shared_ptr<Affine> Dense(int n, const Affine& in, std::size_t outputs,
                                const std::function<double(std::size_t, std::size_t)>& weight) {
    const std::size_t inputs = in.rows.size();
    // Every source the input's forms use, in order of first use.
    std::vector<std::uint32_t> used;
    std::unordered_map<std::uint32_t, std::size_t> slot;
    std::uint64_t work = 0;
    for (const auto& row : in.rows) {
      work += row.size();
      for (const Term& t : row) {
        if (slot.emplace(t.source, used.size()).second) used.push_back(t.source);
      }
    }
    if (outputs == 0 || outputs > kMostPositions) {
      FailNode(n, "it gives " + std::to_string(outputs) + " outputs; a layer holds 1 to " +
                      std::to_string(kMostPositions));
    }
    if (used.size() * outputs > kMostTerms) {
      FailNode(n, "folding it into the layers before would give more than " +
                      std::to_string(kMostTerms) + " weights");
    }
    Spend(n, work * outputs);
    auto out = std::make_shared<Affine>();
    out->rows.resize(outputs);
    out->offset.assign(outputs, 0.0);
    std::vector<double> sum(used.size());
    std::vector<char> touched(used.size());
    for (std::size_t j = 0; j < outputs; ++j) {
      std::fill(touched.begin(), touched.end(), 0);
      double offset = 0.0;
      for (std::size_t k = 0; k < inputs; ++k) {
        const double w = weight(j, k);
        for (const Term& t : in.rows[k]) {
          const std::size_t s = slot[t.source];
          const double product = w * t.coefficient;
          // The first product is taken as it is, so that weights over a layer's own outputs
          // (coefficient 1) arrive unchanged, the sign of a zero included.
          sum[s] = touched[s] != 0 ? sum[s] + product : product;
          touched[s] = 1;
        }
        offset += w * in.offset[k];
      }
      auto& row = out->rows[j];
      row.reserve(used.size());
      for (std::size_t s = 0; s < used.size(); ++s) {
        if (touched[s] != 0) row.push_back({used[s], sum[s]});
      }
      out->offset[j] = offset;
    }
    return out;
  }

  void AddBias(int n, Affine& a, const Constant& bias, double factor) {
    const std::vector<double> b = Broadcast(n, bias, a.shape, false);
    for (std::size_t j = 0; j < a.offset.size(); ++j) a.offset[j] += factor * b[j];
  }

  void RunGemm(int n) {
    CheckAttributes(n, {"alpha", "beta", "transA", "transB"});
    const double alpha = FloatAttribute(n, "alpha", 1.0);
    const double beta = FloatAttribute(n, "beta", 1.0);
    const bool trans_a = IntAttribute(n, "transA", 0) != 0;
    const bool trans_b = IntAttribute(n, "transB", 0) != 0;
    const bool vector_first = Input(n, 0).affine != nullptr;
    const auto in = VectorInput(n, vector_first ? 0 : 1);
    const auto matrix = RealInput(n, vector_first ? 1 : 0, "the weight matrix");
    if (in->shape.size() != 2 || matrix->dims.size() != 2) {
      FailNode(n, "Gemm multiplies two matrices, and one of them has not two dimensions");
    }
    // The vector as the product sees it: [rows, k] when it comes first, [k, rows] second.
    const Dim rows_dim = vector_first ? (trans_a ? in->shape[1] : in->shape[0])
                                      : (trans_b ? in->shape[0] : in->shape[1]);
    const Dim k_dim = vector_first ? (trans_a ? in->shape[0] : in->shape[1])
                                   : (trans_b ? in->shape[1] : in->shape[0]);
    const std::int64_t length = static_cast<std::int64_t>(in->rows.size());
    if (k_dim.batch || k_dim.size != length || (!rows_dim.batch && rows_dim.size != 1)) {
      FailNode(
          n, "the vector " + ShapeText(in->shape) + " does not enter the product along its length");
    }
    // The matrix as weight(j, k): rows of the matrix product's other factor.
    const bool trans_m = vector_first ? trans_b : trans_a;
    const std::int64_t m0 = matrix->dims[0], m1 = matrix->dims[1];
    const std::int64_t inner = vector_first ? (trans_m ? m1 : m0) : (trans_m ? m0 : m1);
    const std::int64_t outer = vector_first ? (trans_m ? m0 : m1) : (trans_m ? m1 : m0);
    if (inner != length) {
      FailNode(n, "the weight matrix [" + std::to_string(m0) + ", " + std::to_string(m1) +
                      "] does not fit the vector's length " + std::to_string(length));
    }
    const std::vector<double>& w = matrix->reals;
    // weight(j, k) is the matrix entry meeting input k for output j.
    const bool j_is_row = (vector_first && trans_m) || (!vector_first && !trans_m);
    auto weight = [&](std::size_t j, std::size_t kk) {
      const double v = j_is_row ? w[j * static_cast<std::size_t>(m1) + kk]
                                : w[kk * static_cast<std::size_t>(m1) + j];
      return alpha == 1.0 ? v : alpha * v;
    };
    auto out = Dense(n, *in, static_cast<std::size_t>(outer), weight);
    out->shape =
        vector_first ? Shape{rows_dim, Dim{outer, false}} : Shape{Dim{outer, false}, rows_dim};
    const NodeProto& node = model_.graph().node(n);
    if (node.input_size() > 2 && !node.input(2).empty()) {
      AddBias(n, *out, *RealInput(n, 2, "the bias C"), beta);
    }
    SetOutput(n, Value{nullptr, std::move(out)});
  }

  void RunMatMul(int n) {
    CheckAttributes(n, {});
    const bool vector_first = Input(n, 0).affine != nullptr;
    const auto in = VectorInput(n, vector_first ? 0 : 1);
    const auto matrix = RealInput(n, vector_first ? 1 : 0, "the weight matrix");
    if (matrix->dims.size() != 2) FailNode(n, "the weight matrix must have two dimensions");
    const Shape& s = in->shape;
    if (s.empty()) FailNode(n, "MatMul does not take a vector without dimensions");
    const std::int64_t length = static_cast<std::int64_t>(in->rows.size());
    const std::int64_t m0 = matrix->dims[0], m1 = matrix->dims[1];
    Shape shape;
    if (vector_first) {
      // [..., k] @ [k, outputs]
      if (s.back().batch || s.back().size != length || m0 != length) {
        FailNode(n, "the vector " + ShapeText(s) + " and the weight matrix [" + std::to_string(m0) +
                        ", " + std::to_string(m1) + "] do not fit");
      }
      shape.assign(s.begin(), s.end() - 1);
      shape.push_back({m1, false});
    } else {
      // [outputs, k] @ [k] or [k, other]
      const Dim k = s[0];
      if (s.size() > 2 || k.batch || k.size != length || m1 != length) {
        FailNode(n, "the weight matrix [" + std::to_string(m0) + ", " + std::to_string(m1) +
                        "] and the vector " + ShapeText(s) + " do not fit");
      }
      shape.push_back({m0, false});
      if (s.size() == 2) shape.push_back(s[1]);
    }
    const std::vector<double>& w = matrix->reals;
    const auto stride = static_cast<std::size_t>(m1);
    auto weight = [&](std::size_t j, std::size_t k) {
      return vector_first ? w[k * stride + j] : w[j * stride + k];
    };
    auto out = Dense(n, *in, static_cast<std::size_t>(vector_first ? m1 : m0), weight);
    out->shape = shape;
    SetOutput(n, Value{nullptr, std::move(out)});
  }

  void RunArithmetic(int n, const std::string& op) {
    CheckAttributes(n, {});
    const bool vector_first = Input(n, 0).affine != nullptr;
    if (Input(n, vector_first ? 1 : 0).affine != nullptr) {
      FailNode(n, "both operands are computed from the input; one must be a constant");
    }
    if (!vector_first && op == "Div") FailNode(n, "it divides a constant by the input");
    const auto c = RealInput(n, vector_first ? 1 : 0, "the constant operand");
    const bool mul = op == "Mul";
    auto a = VectorInput(n, vector_first ? 0 : 1, mul);
    const std::vector<double> v = Broadcast(n, *c, a->shape, true);
    for (std::size_t r = 0; r < a->rows.size(); ++r) {
      if (mul) {
        // Kept apart: right before an activation it is the neurons' alpha.
        if (a->scale.empty()) a->scale.assign(a->rows.size(), 1.0);
        a->scale[r] = a->scale[r] == 1.0 ? v[r] : a->scale[r] * v[r];
      } else if (op == "Add") {
        a->offset[r] += v[r];
      } else if (op == "Sub" && vector_first) {
        a->offset[r] -= v[r];
      } else if (op == "Sub") {
        for (Term& t : a->rows[r]) t.coefficient = -t.coefficient;
        a->offset[r] = v[r] - a->offset[r];
      } else {
        if (v[r] == 0.0) FailNode(n, "it divides by zero");
        for (Term& t : a->rows[r]) t.coefficient /= v[r];
        a->offset[r] /= v[r];
      }
    }
    SetOutput(n, Value{nullptr, std::move(a)});
  }

  void RunBatchNormalization(int n) {
    CheckAttributes(n, {"epsilon", "momentum", "training_mode", "spatial"});
    if (IntAttribute(n, "training_mode", 0) != 0) FailNode(n, "it is in training mode");
    if (IntAttribute(n, "spatial", 1) != 1) FailNode(n, "it is not spatial");
    const double epsilon = FloatAttribute(n, "epsilon", 1e-5f);
    auto a = VectorInput(n, 0);
    const Shape& s = a->shape;
    const std::size_t length = a->rows.size();
    bool channels_ok =
        s.size() >= 2 && !s[1].batch && static_cast<std::size_t>(s[1].size) == length;
    for (std::size_t d = 2; d < s.size(); ++d) channels_ok = channels_ok && s[d] == Dim{};
    if (!channels_ok) {
      FailNode(n, "the vector " + ShapeText(s) + " is not its channel dimension");
    }
    std::array<std::vector<double>, 4> p;  // scale, bias, mean, variance
    const char* names[] = {"the scale", "the bias", "the mean", "the variance"};
    for (int i = 0; i < 4; ++i) {
      const auto c = RealInput(n, i + 1, names[i]);
      if (c->dims.size() != 1 || c->reals.size() != length) {
        FailNode(n, std::string(names[i]) + " does not hold one value per channel");
      }
      p[static_cast<std::size_t>(i)] = c->reals;
    }
    for (std::size_t r = 0; r < length; ++r) {
      const double spread = std::sqrt(p[3][r] + epsilon);
      if (!(spread > 0.0)) FailNode(n, "channel " + std::to_string(r) + " has no variance");
      // ((x - mean) / spread) · scale + bias
      for (Term& t : a->rows[r]) t.coefficient = t.coefficient / spread * p[0][r];
      a->offset[r] = (a->offset[r] - p[2][r]) / spread * p[0][r] + p[1][r];
    }
    SetOutput(n, Value{nullptr, std::move(a)});
  }

  void RunActivation(int n, bool tanh) {
    CheckAttributes(n, {});
    auto a = VectorInput(n, 0, true);
    const std::size_t count = a->rows.size();
    const std::string most = std::to_string(kMostPositions);
    if (count > kMostPositions) FailNode(n, "a layer holds at most " + most + " elements");
    if (layer_sizes_.size() >= kMostPositions) {
      FailNode(n, "a network holds at most " + most + " layers");
    }
    const std::size_t layer = layer_sizes_.size();
    layer_sizes_.push_back(count);
    auto out = std::make_shared<Affine>();
    out->shape = a->shape;
    out->rows.resize(count);
    out->offset.assign(count, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
      NeuronPlan plan{layer,         i,
                      tanh,          a->scale.empty() ? 1.0 : a->scale[i],
                      -a->offset[i], std::move(a->rows[i])};
      if (!std::isfinite(plan.alpha) || !std::isfinite(plan.threshold)) {
        FailNode(n, "neuron " + std::to_string(i) + " would get a value that is not finite");
      }
      for (const Term& t : plan.links) {
        if (!std::isfinite(t.coefficient)) {
          FailNode(n, "neuron " + std::to_string(i) + " would get a weight that is not finite");
        }
      }
      neurons_.push_back(std::move(plan));
      out->rows[i].push_back({AddSource(layer, i), 1.0});
    }
    SetOutput(n, Value{nullptr, std::move(out)});
  }

  void RunFlatten(int n) {
    CheckAttributes(n, {"axis"});
    auto a = VectorInput(n, 0, true);
    bool ok = false;
    const auto rank = a->shape.size();
    std::int64_t axis = IntAttribute(n, "axis", 1);
    axis = axis == static_cast<std::int64_t>(rank) ? axis : Axis(axis, rank, ok);
    if (axis < 0 || axis > static_cast<std::int64_t>(rank)) FailNode(n, "its axis is out of range");
    auto merge = [&](std::size_t from, std::size_t to) {
      Dim merged;
      int parts = 0;
      for (std::size_t d = from; d < to; ++d) {
        if (a->shape[d].batch || a->shape[d].size != 1) {
          merged = a->shape[d];
          ++parts;
        }
      }
      if (parts > 1) FailNode(n, "it merges the batch dimension with the vector's");
      return merged;
    };
    const auto split = static_cast<std::size_t>(axis);
    a->shape = {merge(0, split), merge(split, rank)};
    SetOutput(n, Value{nullptr, std::move(a)});
  }

  // The sequence of the dimensions that are batch or longer than 1, as tokens.
  static std::vector<std::int64_t> Layout(const Shape& s) {
    std::vector<std::int64_t> tokens;
    for (const Dim& d : s) {
      if (d.batch) tokens.push_back(-1);
      if (!d.batch && d.size > 1) tokens.push_back(d.size);
    }
    return tokens;
  }

  void RunReshape(int n) {
    CheckAttributes(n, {"allowzero"});
    auto a = VectorInput(n, 0, true);
    const std::vector<std::int64_t> target = WholeInput(n, 1, "the shape");
    const bool allow_zero = IntAttribute(n, "allowzero", 0) != 0;
    const auto length = static_cast<std::int64_t>(a->rows.size());
    const bool has_batch =
        std::any_of(a->shape.begin(), a->shape.end(), [](const Dim& d) { return d.batch; });
    if (target.size() > kMostRank) FailNode(n, "the shape has too many dimensions");
    Shape shape(target.size());
    std::int64_t known = 1;
    int inferred = -1;
    bool batch_kept = false;
    for (std::size_t i = 0; i < target.size(); ++i) {
      const std::int64_t t = target[i];
      if (t == 0 && !allow_zero && i < a->shape.size()) {
        shape[i] = a->shape[i];
        batch_kept = batch_kept || shape[i].batch;
      } else if (t == -1 && inferred < 0) {
        inferred = static_cast<int>(i);
        continue;
      } else if (t < 1 || t > static_cast<std::int64_t>(kMostPositions)) {
        FailNode(n, "the shape holds " + std::to_string(t) + ", which keeps no vector");
      } else {
        shape[i] = Dim{t, false};
      }
      if (!shape[i].batch) known *= shape[i].size;
      if (known > length) FailNode(n, "the shape holds more entries than the vector");
    }
    if (inferred >= 0) {
      if (has_batch && !batch_kept) {
        if (known != length) FailNode(n, "the shape would merge samples of the batch");
        shape[static_cast<std::size_t>(inferred)] = Dim{1, true};
      } else if (length % known != 0) {
        FailNode(n, "the shape does not divide the vector's length");
      } else {
        shape[static_cast<std::size_t>(inferred)] = Dim{length / known, false};
        known = length;
      }
    } else if (has_batch && !batch_kept) {
      FailNode(n, "the shape fixes the batch dimension");
    }
    if (LengthOf(shape) != a->rows.size() || Layout(shape) != Layout(a->shape)) {
      FailNode(n, "reshaping " + ShapeText(a->shape) + " to " + ShapeText(shape) +
                      " does not keep the vector as it is");
    }
    a->shape = shape;
    SetOutput(n, Value{nullptr, std::move(a)});
  }

  void RunSqueeze(int n, bool unsqueeze) {
    CheckAttributes(n, {"axes"});
    auto a = VectorInput(n, 0, true);
    std::optional<std::vector<std::int64_t>> axes;
    const NodeProto& node = model_.graph().node(n);
    if (opset_ >= 13) {
      if (node.attribute_size() > 0) FailNode(n, "since operator set 13 its axes are an input");
      if (node.input_size() > 1 && !node.input(1).empty()) axes = WholeInput(n, 1, "the axes");
    } else {
      axes = IntsAttribute(n, "axes");
    }
    Shape& s = a->shape;
    if (unsqueeze) {
      if (!axes) FailNode(n, "it names no axes");
      const std::size_t rank = s.size() + axes->size();
      if (rank > kMostRank) FailNode(n, "its result has too many dimensions");
      std::vector<char> inserted(rank, 0);
      for (const std::int64_t axis : *axes) {
        bool ok = false;
        const std::int64_t at = Axis(axis, rank, ok);
        if (!ok || inserted[static_cast<std::size_t>(at)] != 0)
          FailNode(n, "its axes are out of range");
        inserted[static_cast<std::size_t>(at)] = 1;
      }
      Shape result;
      std::size_t next = 0;
      for (std::size_t d = 0; d < rank; ++d) result.push_back(inserted[d] != 0 ? Dim{} : s[next++]);
      s = result;
    } else {
      std::vector<char> removed(s.size(), 0);
      if (axes) {
        for (const std::int64_t axis : *axes) {
          bool ok = false;
          const std::int64_t at = Axis(axis, s.size(), ok);
          if (!ok || !(s[static_cast<std::size_t>(at)] == Dim{})) {
            FailNode(n, "it squeezes a dimension of " + ShapeText(s) + " that is not 1");
          }
          removed[static_cast<std::size_t>(at)] = 1;
        }
      } else {
        for (std::size_t d = 0; d < s.size(); ++d) {
          if (s[d].batch) FailNode(n, "without axes it may squeeze the batch dimension");
          removed[d] = s[d].size == 1 ? 1 : 0;
        }
      }
      Shape result;
      for (std::size_t d = 0; d < s.size(); ++d) {
        if (removed[d] == 0) result.push_back(s[d]);
      }
      s = result;
    }
    SetOutput(n, Value{nullptr, std::move(a)});
  }

  void RunConcat(int n) {
    CheckAttributes(n, {"axis"});
    const NodeProto& node = model_.graph().node(n);
    const AttributeProto* axis_attribute = Attribute(n, "axis", AttributeProto::INT);
    if (axis_attribute == nullptr) FailNode(n, "it names no axis");
    auto out = std::make_shared<Affine>();
    bool ok = false;
    std::size_t axis = 0;
    bool any_scale = false;
    std::vector<std::shared_ptr<Affine>> parts;
    for (int i = 0; i < node.input_size(); ++i) {
      parts.push_back(VectorInput(n, i, true));
      any_scale = any_scale || !parts.back()->scale.empty();
    }
    if (parts.empty()) FailNode(n, "it has no inputs");
    const Shape& first = parts[0]->shape;
    axis = static_cast<std::size_t>(Axis(axis_attribute->i(), first.size(), ok));
    if (!ok) FailNode(n, "its axis is out of range");
    out->shape = first;
    out->shape[axis] = Dim{0, false};
    for (const auto& p : parts) {
      Shape s = p->shape;
      if (s.size() != first.size() || s[axis].batch) FailNode(n, "its inputs do not line up");
      for (std::size_t d = 0; d < s.size(); ++d) {
        if (d != axis && !(s[d] == first[d] && (s[d].batch || s[d].size == 1))) {
          FailNode(n, "it joins the inputs along another dimension than the vector's");
        }
      }
      out->shape[axis].size += s[axis].size;
      for (std::size_t r = 0; r < p->rows.size(); ++r) {
        out->rows.push_back(std::move(p->rows[r]));
        out->offset.push_back(p->offset[r]);
        if (any_scale) out->scale.push_back(p->scale.empty() ? 1.0 : p->scale[r]);
      }
    }
    if (out->rows.size() > kMostTerms) FailNode(n, "its result is too long");
    SetOutput(n, Value{nullptr, std::move(out)});
  }

  // ---- the network -----------------------------------------------------------------------------

  void CheckEndsInLayer(const Value& out, const std::string& name) {
    const std::string ending = "the model must end in Sigmoid or Tanh: ";
    if (out.affine == nullptr) Fail(ending + "its output \"" + name + "\" is a constant");
    const Affine& a = *out.affine;
    const std::size_t last = layer_sizes_.size() - 1;
    bool plain = last > 0 && a.scale.empty() && a.rows.size() == layer_sizes_[last];
    for (std::size_t i = 0; plain && i < a.rows.size(); ++i) {
      const auto& row = a.rows[i];
      plain = row.size() == 1 && row[0].coefficient == 1.0 && a.offset[i] == 0.0 &&
              sources_[row[0].source].x == static_cast<int>(last) &&
              sources_[row[0].source].y == static_cast<int>(i);
    }
    if (!plain) {
      const auto producer = producers_.find(name);
      Fail(ending + "its output \"" + name + "\" " +
           (producer == producers_.end() ? "is the graph's input"
                                         : "comes from " + NodeName(producer->second)) +
           ", not from the last activation as it is");
    }
  }

  Perceptron Assemble() const {
    Perceptron net;
    for (std::size_t i = 0; i < layer_sizes_[0]; ++i) {
      net.Add(0, static_cast<unsigned>(i));
      net.AddLink(0, static_cast<unsigned>(i), 0, 0, 1.0);
    }
    const unsigned last = static_cast<unsigned>(layer_sizes_.size() - 1);
    for (const NeuronPlan& p : neurons_) {
      const auto x = static_cast<unsigned>(p.layer), y = static_cast<unsigned>(p.index);
      net.Add(x, y);
      net.SetAttr(x, y, Neuron::ATTR_NTYPE, x == last ? Neuron::NOutput : Neuron::NHiden);
      net.SetAttr(x, y, Neuron::ATTR_ATYPE, p.tanh ? Neuron::TH : Neuron::SIGM);
      net.SetAttr(x, y, Neuron::ATTR_ALPHA, p.alpha);
      net.setThreshold(x, y, p.threshold);
      for (const Term& t : p.links) {
        const Coordinate& from = sources_[t.source];
        net.AddLink(x, y, static_cast<unsigned>(from.x), static_cast<unsigned>(from.y),
                    t.coefficient);
      }
    }
    return net;
  }

  struct NeuronPlan {
    std::size_t layer = 0;
    std::size_t index = 0;
    bool tanh = false;
    double alpha = 1.0;
    double threshold = 0.0;
    std::vector<Term> links;
  };

  const onnx::ModelProto& model_;
  std::string_view name_;
  std::int64_t opset_ = 0;
  std::uint64_t work_ = 0;
  std::unordered_map<std::string, const TensorProto*> initializers_;
  std::unordered_map<std::string, int> producers_;
  std::unordered_map<std::string, Value> values_;
  std::unordered_map<std::string, int> uses_;  // the reads of each tensor still to come
  std::vector<Coordinate> sources_;
  std::vector<std::size_t> layer_sizes_;
  std::vector<NeuronPlan> neurons_;
};

}  // namespace

bool LooksLikeOnnx(std::string_view head) {
  if (head.empty()) return false;
  // The tags of a model's fields 1 to 8 (ir_version, producer_name, producer_version, domain,
  // model_version, doc_string, graph, opset_import), as wire type and number; no text file starts
  // with them.
  constexpr std::array<unsigned char, 8> kTags = {0x08, 0x12, 0x1A, 0x22, 0x28, 0x32, 0x3A, 0x42};
  return std::find(kTags.begin(), kTags.end(), static_cast<unsigned char>(head[0])) != kTags.end();
}

bool LooksLikeOnnxFile(const std::string& path) {
  std::ifstream in(NativePath(path), std::ios::binary);
  char first = 0;
  return in.get(first) && LooksLikeOnnx(std::string_view(&first, 1));
}

Perceptron ImportOnnx(std::string_view bytes, std::string_view name) {
  const std::string where = "ONNX model \"" + std::string(name) + "\": ";
  if (bytes.size() > kMostOnnxModelBytes) {
    throw OnnxImportError(where + "larger than the " + std::to_string(kMostOnnxModelBytes >> 20) +
                          " MiB a model may take");
  }
  onnx::ModelProto model;
  {
    // The parser's own complaints would go to standard error; the reason is ours to give.
    const google::protobuf::LogSilencer quiet;
    if (!model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
      throw OnnxImportError(where + "not an ONNX model (the file is malformed or cut short)");
    }
  }
  if (!model.has_graph()) throw OnnxImportError(where + "the model holds no graph");
  return Importer(model, name).Build();
}

Perceptron ImportOnnxFile(const std::string& path) {
  const std::string where = "ONNX model \"" + path + "\"";
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(NativePath(path), ec);
  if (ec) {
    throw OnnxImportError(where + (std::filesystem::exists(NativePath(path), ec)
                                       ? " cannot be read"
                                       : " does not exist"));
  }
  if (size > kMostOnnxModelBytes) {
    throw OnnxImportError(where + ": larger than the " + std::to_string(kMostOnnxModelBytes >> 20) +
                          " MiB a model may take");
  }
  std::string bytes;
  if (ReadWholeFile(path, bytes) != ReadResult::kOk)
    throw OnnxImportError(where + " cannot be read");
  return ImportOnnx(bytes, path);
}

}  // namespace mplnet
