// What the tests hold imported networks to: models built with ONNX's own classes, and a plain
// double evaluation of a model's graph, node by node in the listed order, with numpy broadcasting.
// It shares no code with the importer: tensors are whole arrays here, not affine forms.
#ifndef MPLNET_TESTS_INTEROP_ONNX_REFERENCE_H_
#define MPLNET_TESTS_INTEROP_ONNX_REFERENCE_H_

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace mplnet::testing {

using Dims = std::vector<std::int64_t>;

// A tensor; float16 and int64 data are held as doubles too.
struct Tensor {
  Dims dims;
  std::vector<double> v;
};

inline std::size_t Count(const Dims& d) {
  std::size_t n = 1;
  for (const std::int64_t x : d) n *= static_cast<std::size_t>(x);
  return n;
}

// A float16's value through float's bits (normal numbers, as the tests store).
inline double HalfValue(std::uint32_t h) {
  const std::uint32_t bits =
      ((h & 0x8000u) << 16) | ((((h >> 10) & 0x1Fu) + 112u) << 23) | ((h & 0x3FFu) << 13);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

inline Tensor FromProto(const onnx::TensorProto& t) {
  Tensor out{Dims(t.dims().begin(), t.dims().end()), {}};
  const std::size_t n = Count(out.dims);
  const std::string& raw = t.raw_data();
  for (std::size_t i = 0; i < n; ++i) {
    double value = 0;
    switch (t.data_type()) {
      case onnx::TensorProto::FLOAT: {
        float f;
        if (t.has_raw_data()) std::memcpy(&f, raw.data() + 4 * i, 4);
        value = t.has_raw_data() ? f : t.float_data(static_cast<int>(i));
        break;
      }
      case onnx::TensorProto::DOUBLE:
        if (t.has_raw_data()) std::memcpy(&value, raw.data() + 8 * i, 8);
        if (!t.has_raw_data()) value = t.double_data(static_cast<int>(i));
        break;
      case onnx::TensorProto::FLOAT16: {
        std::uint16_t h = 0;
        if (t.has_raw_data()) std::memcpy(&h, raw.data() + 2 * i, 2);
        value = HalfValue(
            t.has_raw_data() ? h : static_cast<std::uint32_t>(t.int32_data(static_cast<int>(i))));
        break;
      }
      case onnx::TensorProto::INT64: {
        std::int64_t w = 0;
        if (t.has_raw_data()) std::memcpy(&w, raw.data() + 8 * i, 8);
        value = static_cast<double>(t.has_raw_data() ? w : t.int64_data(static_cast<int>(i)));
        break;
      }
      default:
        throw std::runtime_error("reference: type not evaluated");
    }
    out.v.push_back(value);
  }
  return out;
}

// Elementwise f(a, b) with numpy broadcasting.
inline Tensor Broadcast(const Tensor& a, const Tensor& b,
                        const std::function<double(double, double)>& f) {
  const std::size_t rank = std::max(a.dims.size(), b.dims.size());
  auto padded = [&](const Dims& d) {
    Dims p(rank - d.size(), 1);
    p.insert(p.end(), d.begin(), d.end());
    return p;
  };
  const Dims da = padded(a.dims), db = padded(b.dims);
  Tensor out;
  for (std::size_t i = 0; i < rank; ++i) out.dims.push_back(std::max(da[i], db[i]));
  const std::size_t n = Count(out.dims);
  for (std::size_t flat = 0; flat < n; ++flat) {
    std::size_t rest = flat, ia = 0, ib = 0, sa = 1, sb = 1;
    for (std::size_t k = rank; k-- > 0;) {
      const std::size_t idx = rest % static_cast<std::size_t>(out.dims[k]);
      rest /= static_cast<std::size_t>(out.dims[k]);
      ia += (da[k] == 1 ? 0 : idx) * sa;
      ib += (db[k] == 1 ? 0 : idx) * sb;
      sa *= static_cast<std::size_t>(da[k]);
      sb *= static_cast<std::size_t>(db[k]);
    }
    out.v.push_back(f(a.v[ia], b.v[ib]));
  }
  return out;
}

// a [m, k] times b [k, n], either transposed first.
inline Tensor Product(const Tensor& a, bool ta, const Tensor& b, bool tb) {
  const std::size_t m = static_cast<std::size_t>(ta ? a.dims[1] : a.dims[0]);
  const std::size_t k = static_cast<std::size_t>(ta ? a.dims[0] : a.dims[1]);
  const std::size_t n = static_cast<std::size_t>(tb ? b.dims[0] : b.dims[1]);
  Tensor out{{static_cast<std::int64_t>(m), static_cast<std::int64_t>(n)},
             std::vector<double>(m * n)};
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0;
      for (std::size_t q = 0; q < k; ++q) {
        s += (ta ? a.v[q * m + i] : a.v[i * k + q]) * (tb ? b.v[j * k + q] : b.v[q * n + j]);
      }
      out.v[i * n + j] = s;
    }
  }
  return out;
}

inline const onnx::AttributeProto* FindAttribute(const onnx::NodeProto& node,
                                                 const std::string& name) {
  for (const auto& a : node.attribute()) {
    if (a.name() == name) return &a;
  }
  return nullptr;
}

// The graph's output for one sample `x` (a symbolic batch dimension taken as 1).
inline std::vector<double> Evaluate(const onnx::ModelProto& model, const std::vector<double>& x) {
  const onnx::GraphProto& g = model.graph();
  std::map<std::string, Tensor> t;
  for (const auto& init : g.initializer()) t[init.name()] = FromProto(init);
  for (const auto& in : g.input()) {
    if (t.count(in.name()) != 0) continue;
    Dims dims;
    for (const auto& d : in.type().tensor_type().shape().dim()) {
      dims.push_back(d.has_dim_value() ? d.dim_value() : 1);
    }
    t[in.name()] = Tensor{dims, x};
  }
  const std::int64_t opset = model.opset_import(0).version();
  for (const onnx::NodeProto& node : g.node()) {
    const std::string& op = node.op_type();
    auto in = [&](int i) -> const Tensor& { return t.at(node.input(i)); };
    auto attr_i = [&](const std::string& name, std::int64_t fallback) {
      const auto* a = FindAttribute(node, name);
      return a != nullptr ? a->i() : fallback;
    };
    auto attr_f = [&](const std::string& name, double fallback) {
      const auto* a = FindAttribute(node, name);
      return a != nullptr ? static_cast<double>(a->f()) : fallback;
    };
    auto axes = [&]() {
      if (opset >= 13) return node.input_size() > 1 ? in(1).v : std::vector<double>{};
      const auto* a = FindAttribute(node, "axes");
      return a != nullptr ? std::vector<double>(a->ints().begin(), a->ints().end())
                          : std::vector<double>{};
    };
    Tensor out;
    if (op == "Constant") {
      out = FromProto(node.attribute(0).t());
    } else if (op == "Identity") {
      out = in(0);
    } else if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div") {
      const char c = op[0];
      out = Broadcast(in(0), in(1), [c](double a, double b) {
        return c == 'A' ? a + b : c == 'S' ? a - b : c == 'M' ? a * b : a / b;
      });
    } else if (op == "Sigmoid" || op == "Tanh") {
      out = in(0);
      for (double& v : out.v) v = op == "Tanh" ? std::tanh(v) : 1.0 / (1.0 + std::exp(-v));
    } else if (op == "Gemm") {
      out = Product(in(0), attr_i("transA", 0) != 0, in(1), attr_i("transB", 0) != 0);
      const double alpha = attr_f("alpha", 1.0), beta = attr_f("beta", 1.0);
      for (double& v : out.v) v *= alpha;
      if (node.input_size() > 2) {
        out = Broadcast(out, in(2), [beta](double y, double c) { return y + beta * c; });
      }
    } else if (op == "MatMul") {
      Tensor a = in(0), b = in(1);
      const bool a_vector = a.dims.size() == 1, b_vector = b.dims.size() == 1;
      if (a_vector) a.dims.insert(a.dims.begin(), 1);
      if (b_vector) b.dims.push_back(1);
      out = Product(a, false, b, false);
      if (a_vector) out.dims.erase(out.dims.begin());
      if (b_vector) out.dims.pop_back();
    } else if (op == "BatchNormalization") {
      const Tensor x0 = in(0), scale = in(1), bias = in(2), mean = in(3), var = in(4);
      const double eps = attr_f("epsilon", 1e-5f);
      out = x0;
      const std::size_t c = static_cast<std::size_t>(x0.dims[1]);
      const std::size_t inner = Count(x0.dims) / static_cast<std::size_t>(x0.dims[0]) / c;
      for (std::size_t i = 0; i < out.v.size(); ++i) {
        const std::size_t ch = i / inner % c;
        out.v[i] = (x0.v[i] - mean.v[ch]) / std::sqrt(var.v[ch] + eps) * scale.v[ch] + bias.v[ch];
      }
    } else if (op == "Flatten") {
      out = in(0);
      std::int64_t axis = attr_i("axis", 1);
      if (axis < 0) axis += static_cast<std::int64_t>(out.dims.size());
      const Dims head(out.dims.begin(), out.dims.begin() + axis);
      out.dims = {static_cast<std::int64_t>(Count(head)),
                  static_cast<std::int64_t>(Count(out.dims) / Count(head))};
    } else if (op == "Reshape") {
      out = in(0);
      Dims dims;
      std::int64_t known = 1;
      int free = -1;
      for (std::size_t i = 0; i < in(1).v.size(); ++i) {
        const auto d = static_cast<std::int64_t>(in(1).v[i]);
        dims.push_back(d == 0 ? out.dims[i] : d);
        if (d == -1) free = static_cast<int>(i);
        if (d != -1) known *= dims.back();
      }
      if (free >= 0)
        dims[static_cast<std::size_t>(free)] = static_cast<std::int64_t>(Count(out.dims)) / known;
      out.dims = dims;
    } else if (op == "Squeeze" || op == "Unsqueeze") {
      out = in(0);
      std::vector<double> list = axes();
      const std::size_t rank = out.dims.size() + (op == "Unsqueeze" ? list.size() : 0);
      for (double& a : list) a = a < 0 ? a + static_cast<double>(rank) : a;
      std::sort(list.begin(), list.end());
      if (op == "Unsqueeze") {
        for (const double a : list)
          out.dims.insert(out.dims.begin() + static_cast<std::ptrdiff_t>(a), 1);
      } else if (list.empty()) {
        out.dims.erase(std::remove(out.dims.begin(), out.dims.end(), 1), out.dims.end());
      } else {
        for (std::size_t i = list.size(); i-- > 0;) {
          out.dims.erase(out.dims.begin() + static_cast<std::ptrdiff_t>(list[i]));
        }
      }
    } else if (op == "Concat") {
      // Along the one dimension longer than 1 (all others are 1 in the tests' models).
      out = in(0);
      std::int64_t axis = attr_i("axis", 0);
      if (axis < 0) axis += static_cast<std::int64_t>(out.dims.size());
      for (int i = 1; i < node.input_size(); ++i) {
        out.v.insert(out.v.end(), in(i).v.begin(), in(i).v.end());
        out.dims[static_cast<std::size_t>(axis)] += in(i).dims[static_cast<std::size_t>(axis)];
      }
    } else {
      throw std::runtime_error("reference: " + op + " not evaluated");
    }
    t[node.output(0)] = std::move(out);
  }
  return t.at(g.output(0).name()).v;
}

// Builds models with ONNX's classes: one input, initializers, nodes, one output.
class ModelBuilder {
 public:
  using Attr = std::variant<std::int64_t, float, std::vector<std::int64_t>>;

  explicit ModelBuilder(std::int64_t opset = 17) {
    model_.set_ir_version(8);
    model_.add_opset_import()->set_version(opset);
  }
  // A graph input; -1 stands for a symbolic batch dimension.
  ModelBuilder& Input(const std::string& name, const Dims& dims,
                      int type = onnx::TensorProto::FLOAT) {
    Declare(model_.mutable_graph()->add_input(), name, dims, type);
    return *this;
  }
  ModelBuilder& Output(const std::string& name) {
    Declare(model_.mutable_graph()->add_output(), name, {}, onnx::TensorProto::FLOAT);
    return *this;
  }
  // An initializer of `type` holding `values` (float16 given as their bits).
  ModelBuilder& Init(const std::string& name, const Dims& dims, const std::vector<double>& values,
                     int type = onnx::TensorProto::FLOAT) {
    onnx::TensorProto* t = model_.mutable_graph()->add_initializer();
    t->set_name(name);
    t->set_data_type(type);
    for (const std::int64_t d : dims) t->add_dims(d);
    for (const double v : values) {
      if (type == onnx::TensorProto::FLOAT) t->add_float_data(static_cast<float>(v));
      if (type == onnx::TensorProto::DOUBLE) t->add_double_data(v);
      if (type == onnx::TensorProto::FLOAT16) t->add_int32_data(static_cast<std::int32_t>(v));
      if (type == onnx::TensorProto::INT64) t->add_int64_data(static_cast<std::int64_t>(v));
    }
    return *this;
  }
  ModelBuilder& Node(const std::string& op, const std::vector<std::string>& inputs,
                     const std::string& output,
                     const std::vector<std::pair<std::string, Attr>>& attrs = {}) {
    onnx::NodeProto* n = model_.mutable_graph()->add_node();
    n->set_op_type(op);
    n->set_name(op + "_" + std::to_string(model_.graph().node_size()));
    for (const auto& i : inputs) n->add_input(i);
    n->add_output(output);
    for (const auto& [name, value] : attrs) {
      onnx::AttributeProto* a = n->add_attribute();
      a->set_name(name);
      if (const auto* i = std::get_if<std::int64_t>(&value)) {
        a->set_type(onnx::AttributeProto::INT);
        a->set_i(*i);
      } else if (const auto* f = std::get_if<float>(&value)) {
        a->set_type(onnx::AttributeProto::FLOAT);
        a->set_f(*f);
      } else {
        a->set_type(onnx::AttributeProto::INTS);
        for (const std::int64_t x : std::get<std::vector<std::int64_t>>(value)) a->add_ints(x);
      }
    }
    return *this;
  }
  onnx::ModelProto& model() { return model_; }
  std::string Bytes() const { return model_.SerializeAsString(); }

 private:
  static void Declare(onnx::ValueInfoProto* info, const std::string& name, const Dims& dims,
                      int type) {
    info->set_name(name);
    auto* t = info->mutable_type()->mutable_tensor_type();
    t->set_elem_type(type);
    if (dims.empty()) return;
    for (const std::int64_t d : dims) {
      auto* dim = t->mutable_shape()->add_dim();
      if (d < 0) dim->set_dim_param("batch");
      if (d >= 0) dim->set_dim_value(d);
    }
  }
  onnx::ModelProto model_;
};

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_INTEROP_ONNX_REFERENCE_H_
