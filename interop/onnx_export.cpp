// Networks of ours as ONNX models.
//
// Each layer past the input becomes one Gemm over the outputs of the layers it reads (joined by a
// Concat, earlier layers first, when it reads more than the layer before), a Mul by its alphas when
// any differs from 1, and Sigmoid or Tanh. A Gemm sums a layer's inputs in one column order, and
// the import links a neuron's sources in that order; so a neuron whose links come in another order
// is refused, since its sums would come back rounded in a different order. Missing links are
// weights of 0, which change no sum of finite inputs.
#include <onnx/checker.h>
#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>
#include <onnx/shape_inference/implementation.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "engine/structure_check.h"
#include "mplnet/onnx.h"

namespace mplnet {
namespace {

// A layer past the input, as the export reads it.
struct Layer {
  std::vector<std::shared_ptr<Neuron>> neurons;
  std::set<int> sources;  // the layers its links read
  bool tanh = false;
};

class Exporter {
 public:
  explicit Exporter(const Perceptron& net) : net_(net), sizes_(net.GetNCount()) {}

  onnx::ModelProto Build() {
    CheckPositions();
    CheckInputLayer();
    for (int x = 1; x < static_cast<int>(sizes_.size()); ++x) layers_.push_back(ReadLayer(x));

    onnx::ModelProto model;
    model.set_ir_version(onnx::IR_VERSION);
    model.set_producer_name("mplnet");
    onnx::OperatorSetIdProto* opset = model.add_opset_import();
    opset->set_domain("");
    opset->set_version(kOnnxOpset);
    onnx::GraphProto& g = *model.mutable_graph();
    g.set_name("mplnet network");
    Declare(g.add_input(), "input", sizes_[0]);
    std::vector<std::string> outputs = {"input"};
    for (int x = 1; x < static_cast<int>(sizes_.size()); ++x) {
      outputs.push_back(AddLayer(g, x, outputs));
    }
    Declare(g.add_output(), outputs.back(), sizes_.back());
    return model;
  }

 private:
  [[noreturn]] static void Fail(const std::string& reason) {
    throw OnnxExportError("the network cannot be exported to ONNX: " + reason);
  }

  // Every position of the layer table holds its own element, and no element lies elsewhere, so
  // that each position's coordinate key names exactly one element.
  void CheckPositions() const {
    if (sizes_.size() < 2) Fail("it needs an input layer and at least one more");
    std::size_t total = 0;
    for (int x = 0; x < static_cast<int>(sizes_.size()); ++x) {
      if (sizes_[x] < 1) Fail("layer " + std::to_string(x) + " holds no element");
      for (int y = 0; y < sizes_[x]; ++y) {
        const std::shared_ptr<Elem> e = net_.getElem(x, y);
        if (e == nullptr) Fail("position " + PositionText(x, y) + " holds no element");
        if (static_cast<int>(e->x) != x || static_cast<int>(e->y) != y) {
          Fail("position " + PositionText(x, y) + " resolves to element " +
               PositionText(static_cast<int>(e->x), static_cast<int>(e->y)) +
               " (their coordinate keys are the same)");
        }
      }
      total += static_cast<std::size_t>(sizes_[x]);
    }
    for (const std::shared_ptr<Elem>& e : net_.GetMPL()) {
      const int x = static_cast<int>(e->x), y = static_cast<int>(e->y);
      if (x >= static_cast<int>(sizes_.size()) || y >= sizes_[x]) {
        Fail("element " + PositionText(x, y) +
             " lies outside its layer's range; the forward pass skips it");
      }
    }
    if (net_.GetMPL().size() != total) Fail("the elements do not match the layer table");
  }

  void CheckInputLayer() const {
    for (int y = 0; y < sizes_[0]; ++y) {
      const Neuron& n = *net_.getElem(0, y)->kernel;
      const std::vector<SynapseWeight> links = n.getSynapses();
      if (n.GetAttr(Neuron::ATTR_NTYPE) != Neuron::NInput) {
        Fail("element " + PositionText(0, y) + " in the input layer is not an input neuron");
      }
      if (links.size() != 1 || links[0].x != 0 || links[0].y != 0) {
        Fail("input element " + PositionText(0, y) +
             " does not have its link 0_0 alone, so it does not pass its input on");
      }
    }
  }

  Layer ReadLayer(int x) const {
    Layer layer;
    for (int y = 0; y < sizes_[x]; ++y) {
      const std::shared_ptr<Neuron> n = net_.getElem(x, y)->kernel;
      const std::string where = "element " + PositionText(x, y);
      if (n->GetAttr(Neuron::ATTR_NTYPE) == Neuron::NInput) {
        Fail(where + " is an input neuron outside layer 0");
      }
      const bool tanh = n->GetAttr(Neuron::ATTR_ATYPE) == Neuron::TH;
      if (y == 0) layer.tanh = tanh;
      if (tanh != layer.tanh) {
        Fail(where + " computes " + (tanh ? "TH" : "a sigmoid") + " while element " +
             PositionText(x, 0) + " computes " + (tanh ? "a sigmoid" : "TH") +
             "; a layer has one activation");
      }
      if (!std::isfinite(n->GetAttr(Neuron::ATTR_ALPHA)) || !std::isfinite(n->getThreshold())) {
        Fail(where + " has an alpha or threshold that is not finite");
      }
      n->ForEachLink([&](int lx, int ly, double weight) {
        const std::shared_ptr<Elem> source = net_.getElem(lx, ly);
        if (source == nullptr)
          Fail(where + ": its link " + PositionText(lx, ly) + " names no element");
        const int sx = static_cast<int>(source->x), sy = static_cast<int>(source->y);
        if (sx >= x) {
          Fail(where + ": its link from " + PositionText(sx, sy) +
               (sx > x || sy >= y ? " reads that element's output of the previous pass"
                                  : " reads an element of its own layer") +
               "; ONNX computes each layer from earlier layers only");
        }
        if (!std::isfinite(weight)) {
          Fail(where + ": its link from " + PositionText(sx, sy) + " is not finite");
        }
        layer.sources.insert(sx);
      });
      layer.neurons.push_back(n);
    }
    return layer;
  }

  static void Declare(onnx::ValueInfoProto* info, const std::string& name, int length) {
    info->set_name(name);
    onnx::TypeProto::Tensor* t = info->mutable_type()->mutable_tensor_type();
    t->set_elem_type(onnx::TensorProto::DOUBLE);
    t->mutable_shape()->add_dim()->set_dim_param("batch");
    t->mutable_shape()->add_dim()->set_dim_value(length);
  }

  static void AddDoubles(onnx::GraphProto& g, const std::string& name,
                         const std::vector<std::int64_t>& dims, const std::vector<double>& values) {
    onnx::TensorProto* t = g.add_initializer();
    t->set_name(name);
    t->set_data_type(onnx::TensorProto::DOUBLE);
    for (const std::int64_t d : dims) t->add_dims(d);
    std::string raw(values.size() * sizeof(double), '\0');
    std::memcpy(raw.data(), values.data(), raw.size());  // little-endian, as ONNX stores it
    t->set_raw_data(std::move(raw));
  }

  static onnx::NodeProto* AddNode(onnx::GraphProto& g, const std::string& op,
                                  const std::string& name, const std::vector<std::string>& inputs,
                                  const std::string& output) {
    onnx::NodeProto* node = g.add_node();
    node->set_op_type(op);
    node->set_name(name);
    for (const std::string& in : inputs) node->add_input(in);
    node->add_output(output);
    return node;
  }

  // Adds layer x's nodes; returns the name of its output.
  std::string AddLayer(onnx::GraphProto& g, int x, const std::vector<std::string>& outputs) const {
    const Layer& layer = layers_[static_cast<std::size_t>(x - 1)];
    const std::string prefix = "layer" + std::to_string(x);
    // Columns: the layers read, earlier first, each in index order.
    std::map<int, std::size_t> first_column;
    std::size_t columns = 0;
    for (const int s : layer.sources) {
      first_column[s] = columns;
      columns += static_cast<std::size_t>(sizes_[s]);
    }
    std::string in = outputs[static_cast<std::size_t>(x - 1)];
    if (layer.sources.size() != 1 || *layer.sources.begin() != x - 1) {
      std::vector<std::string> parts;
      for (const int s : layer.sources) parts.push_back(outputs[static_cast<std::size_t>(s)]);
      in = prefix + ".inputs";
      onnx::AttributeProto* axis =
          AddNode(g, "Concat", prefix + "/Concat", parts, in)->add_attribute();
      axis->set_name("axis");
      axis->set_type(onnx::AttributeProto::INT);
      axis->set_i(1);
    }
    const std::size_t rows = layer.neurons.size();
    std::vector<double> weights(rows * columns, 0.0), bias(rows), alphas(rows);
    for (std::size_t y = 0; y < rows; ++y) {
      const Neuron& n = *layer.neurons[y];
      std::size_t next = 0;  // the lowest column the next link may take
      n.ForEachLink([&](int lx, int ly, double weight) {
        const std::shared_ptr<Elem> source = net_.getElem(lx, ly);
        const std::size_t column = first_column.at(static_cast<int>(source->x)) + source->y;
        if (column < next) {
          Fail("element " + PositionText(x, static_cast<int>(y)) + ": its link from " +
               PositionText(static_cast<int>(source->x), static_cast<int>(source->y)) +
               " comes after a link from a later source; a Gemm sums a layer's inputs in one "
               "order, and the same sums in another order may round differently");
        }
        next = column + 1;
        weights[y * columns + column] = weight;
      });
      bias[y] = -n.getThreshold();
      alphas[y] = n.GetAttr(Neuron::ATTR_ALPHA);
    }
    const auto r = static_cast<std::int64_t>(rows), c = static_cast<std::int64_t>(columns);
    AddDoubles(g, prefix + ".weight", {r, c}, weights);
    AddDoubles(g, prefix + ".bias", {r}, bias);
    onnx::AttributeProto* trans_b =
        AddNode(g, "Gemm", prefix + "/Gemm", {in, prefix + ".weight", prefix + ".bias"},
                prefix + ".sum")
            ->add_attribute();
    trans_b->set_name("transB");
    trans_b->set_type(onnx::AttributeProto::INT);
    trans_b->set_i(1);
    std::string sum = prefix + ".sum";
    bool all_one = true, all_same = true;
    for (const double a : alphas) {
      all_one = all_one && a == 1.0;
      all_same = all_same && a == alphas[0];
    }
    if (!all_one) {
      if (all_same) {
        AddDoubles(g, prefix + ".alpha", {}, {alphas[0]});
      } else {
        AddDoubles(g, prefix + ".alpha", {r}, alphas);
      }
      AddNode(g, "Mul", prefix + "/Mul", {sum, prefix + ".alpha"}, prefix + ".scaled");
      sum = prefix + ".scaled";
    }
    const bool last = x + 1 == static_cast<int>(sizes_.size());
    std::string out = last ? "output" : prefix + ".out";
    AddNode(g, layer.tanh ? "Tanh" : "Sigmoid", prefix + (layer.tanh ? "/Tanh" : "/Sigmoid"), {sum},
            out);
    return out;
  }

  const Perceptron& net_;
  std::vector<int> sizes_;
  std::vector<Layer> layers_;
};

std::string CheckFailure(onnx::ModelProto& model) {
  try {
    onnx::checker::check_model(model);
    // The full check: types and shapes inferred and held to what the graph declares.
    onnx::shape_inference::InferShapes(model, onnx::OpSchemaRegistry::Instance(),
                                       onnx::ShapeInferenceOptions(true, 1, false));
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace

std::string OnnxCheckFailure(std::string_view bytes) {
  onnx::ModelProto model;
  if (bytes.size() > kMostOnnxModelBytes ||
      !model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return "not an ONNX model";
  }
  for (const onnx::TensorProto& t : model.graph().initializer()) {
    // The checker would look for the file named; no path named inside a model is opened.
    if (t.data_location() == onnx::TensorProto::EXTERNAL || t.external_data_size() > 0) {
      return "initializer \"" + t.name() + "\" keeps its data in an external file";
    }
  }
  return CheckFailure(model);
}

std::string ExportOnnx(const Perceptron& net) {
  onnx::ModelProto model = Exporter(net).Build();
  std::string bytes;
  if (!model.SerializeToString(&bytes)) {
    throw OnnxExportError("the network cannot be exported to ONNX: the model is too large");
  }
  const std::string failure = CheckFailure(model);
  if (!failure.empty()) {
    throw OnnxExportError("the exported model fails ONNX's check: " + failure);
  }
  return bytes;
}

}  // namespace mplnet
