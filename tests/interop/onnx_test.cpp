// ONNX import and export: imported networks compute what the graph computes in double (within
// 1e-12 relative, against the reference evaluation and against PyTorch's own outputs), what cannot
// be represented is refused naming the node, and export then import gives the same bits.
#include "mplnet/onnx.h"

#include <gtest/gtest.h>
#include <onnx/defs/schema.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "interop/onnx_reference.h"
#include "persistence/network_file.h"
#include "persistence/profile_file.h"
#include "test_support.h"

namespace mplnet {
namespace {

using testing::ModelBuilder;
constexpr int kFloat16 = onnx::TensorProto::FLOAT16;
constexpr int kDouble = onnx::TensorProto::DOUBLE;
const std::string kData = MPLNET_TEST_DATA_DIR;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<double> Random(std::size_t n, std::mt19937_64& random, double spread = 1.0) {
  std::uniform_real_distribution<double> value(-spread, spread);
  std::vector<double> v(n);
  for (double& x : v) x = static_cast<float>(value(random));  // float weights, as most models hold
  return v;
}

// Random float16 bits of normal numbers between about 1/64 and 2, either sign.
std::vector<double> RandomHalfBits(std::size_t n, std::mt19937_64& random) {
  std::vector<double> v(n);
  for (double& x : v)
    x = static_cast<double>(((random() & 1) << 15) | ((9 + random() % 7) << 10) |
                            (random() & 0x3FF));
  return v;
}

std::vector<double> Outputs(Perceptron& net, const std::vector<double>& in) {
  net.Run(in);
  return net.GetOutput();
}

void ExpectClose(const std::vector<double>& ours, const std::vector<double>& reference) {
  ASSERT_EQ(ours.size(), reference.size());
  for (std::size_t i = 0; i < ours.size(); ++i) {
    EXPECT_LE(std::abs(ours[i] - reference[i]), 1e-12 * std::abs(reference[i]))
        << "output " << i << ": " << ours[i] << " vs " << reference[i];
  }
}

std::size_t InputLength(const onnx::ModelProto& m) {
  for (const auto& in : m.graph().input()) {
    bool init = false;
    for (const auto& t : m.graph().initializer()) init = init || t.name() == in.name();
    if (!init)
      return static_cast<std::size_t>(in.type().tensor_type().shape().dim().rbegin()->dim_value());
  }
  return 0;
}

struct ModelCase {
  const char* name;
  std::function<void(ModelBuilder&, std::mt19937_64&)> build;
  std::int64_t opset = 17;
};

const std::vector<ModelCase>& ExactCases() {
  static const std::vector<ModelCase> cases = {
      {"gemm_as_pytorch_writes_it",
       [](ModelBuilder& b, std::mt19937_64& r) {
         b.Input("x", {-1, 3}).Init("w1", {4, 3}, Random(12, r)).Init("b1", {4}, Random(4, r));
         b.Init("w2", {2, 4}, Random(8, r)).Init("b2", {2}, Random(2, r));
         b.Node("Gemm", {"x", "w1", "b1"}, "h", {{"transB", 1}}).Node("Tanh", {"h"}, "a");
         b.Node("Gemm", {"a", "w2", "b2"}, "o", {{"transB", 1}})
             .Node("Sigmoid", {"o"}, "y")
             .Output("y");
       }},
      {"gemm_alpha_beta_transposes_vector_second",
       [](ModelBuilder& b, std::mt19937_64& r) {
         b.Input("x", {3}).Init("ax", {1}, {1}, onnx::TensorProto::INT64);
         b.Init("w1", {4, 3}, Random(12, r)).Init("c1", {4, 1}, Random(4, r));
         b.Init("k", {}, {1.5}).Init("shape", {2}, {1, -1}, onnx::TensorProto::INT64);
         b.Init("w2", {4, 2}, Random(8, r)).Init("c2", {2}, Random(2, r));
         b.Init("w3", {2, 3}, Random(6, r));
         b.Node("Unsqueeze", {"x", "ax"}, "col");                                      // [3, 1]
         b.Node("Gemm", {"w1", "col", "c1"}, "h", {{"alpha", 0.5f}, {"beta", 2.0f}});  // [4, 1]
         b.Node("Mul", {"h", "k"}, "hk").Node("Tanh", {"hk"}, "a");
         b.Node("Reshape", {"a", "shape"}, "row");                              // [1, 4]
         b.Node("Gemm", {"row", "w2", "c2"}, "o").Node("Sigmoid", {"o"}, "s");  // [1, 2]
         b.Init("w4", {2, 2}, Random(4, r));
         b.Node("Gemm", {"w4", "s"}, "u0", {{"transA", 1}, {"transB", 1}});  // [2, 1]
         b.Node("Tanh", {"u0"}, "u");
         b.Node("Gemm", {"u", "w3"}, "t", {{"transA", 1}}).Node("Sigmoid", {"t"}, "y").Output("y");
       }},
      {"matmul_add_on_a_plain_vector",
       [](ModelBuilder& b, std::mt19937_64& r) {
         b.Input("x", {3}, kDouble).Init("w1", {3, 4}, Random(12, r), kDouble);
         b.Init("b1", {4}, Random(4, r), kDouble).Init("w2", {2, 4}, Random(8, r), kDouble);
         b.Init("b2", {2}, Random(2, r), kDouble);
         b.Node("MatMul", {"x", "w1"}, "h")
             .Node("Add", {"b1", "h"}, "hb")
             .Node("Sigmoid", {"hb"}, "a");
         b.Node("MatMul", {"w2", "a"}, "o")
             .Node("Add", {"o", "b2"}, "ob")
             .Node("Tanh", {"ob"}, "y");
         b.Output("y");
       }},
      {"normalisation_and_a_linear_layer_folded",
       [](ModelBuilder& b, std::mt19937_64& r) {
         b.Input("x", {-1, 3}).Init("mean", {3}, {0.5, -1, 2}).Init("std", {3}, {2, 0.5, 3});
         b.Init("m", {1, 3}, {1.25, -0.5, 2}).Init("s", {}, {0.125});
         b.Init("g", {3}, {1, 0.5, -2}).Init("be", {3}, {0, 0.1, -0.1});
         b.Init("mu", {3}, {0.1, -0.2, 0.3}).Init("var", {3}, {1.5, 0.5, 2});
         b.Init("w1", {3, 5}, Random(15, r)).Init("b1", {5}, Random(5, r));
         b.Init("w2", {5, 2}, Random(10, r)).Init("b2", {2}, Random(2, r));
         b.Node("Sub", {"x", "mean"}, "a")
             .Node("Div", {"a", "std"}, "c")
             .Node("Mul", {"m", "c"}, "d");
         b.Node("Sub", {"s", "d"}, "e");
         b.Node("BatchNormalization", {"e", "g", "be", "mu", "var"}, "f", {{"epsilon", 1e-3f}});
         b.Node("Gemm", {"f", "w1", "b1"}, "h").Node("Gemm", {"h", "w2", "b2"}, "o");
         b.Node("Sigmoid", {"o"}, "y").Output("y");
       }},
      {"float16_weights_constants_and_reshapes_at_opset_11",
       [](ModelBuilder& b, std::mt19937_64& r) {
         b.Input("x", {1, 4})
             .Input("w1", {4, 3})
             .Init("w1", {4, 3}, RandomHalfBits(12, r), kFloat16);
         b.Init("b1", {3}, Random(3, r), kDouble)
             .Init("w2", {3, 2}, RandomHalfBits(6, r), kFloat16);
         b.Node("Flatten", {"x"}, "f", {{"axis", 1}}).Node("Identity", {"f"}, "g");
         b.Node("MatMul", {"g", "w1"}, "h").Node("Add", {"h", "b1"}, "hb");
         b.Node("Unsqueeze", {"hb"}, "u", {{"axes", std::vector<std::int64_t>{0}}});  // [1, 1, 3]
         b.Node("Squeeze", {"u"}, "q", {{"axes", std::vector<std::int64_t>{0}}});
         b.Node("Constant", {}, "k", {}).Node("Mul", {"q", "k"}, "qk").Node("Sigmoid", {"qk"}, "a");
         onnx::TensorProto* k =
             b.model().mutable_graph()->mutable_node(6)->add_attribute()->mutable_t();
         b.model().mutable_graph()->mutable_node(6)->mutable_attribute(0)->set_name("value");
         b.model().mutable_graph()->mutable_node(6)->mutable_attribute(0)->set_type(
             onnx::AttributeProto::TENSOR);
         k->set_data_type(onnx::TensorProto::FLOAT);
         k->add_dims(3);
         for (float v : {0.5f, 2.0f, -1.0f}) k->add_float_data(v);
         b.Node("MatMul", {"a", "w2"}, "o").Node("Tanh", {"o"}, "y").Output("y");
       },
       11},
      {"concat_of_a_layer_and_the_input",
       [](ModelBuilder& b, std::mt19937_64& r) {
         b.Input("x", {-1, 3}).Init("w1", {3, 4}, Random(12, r)).Init("w2", {7, 2}, Random(14, r));
         b.Node("MatMul", {"x", "w1"}, "h").Node("Sigmoid", {"h"}, "a");
         b.Node("Concat", {"a", "x"}, "c", {{"axis", 1}}).Node("MatMul", {"c", "w2"}, "o");
         b.Node("Sigmoid", {"o"}, "y").Output("y");
       }},
  };
  return cases;
}

TEST(OnnxImportTest, ImportedNetworksComputeTheGraphInDouble) {
  std::mt19937_64 random(11);
  for (const ModelCase& c : ExactCases()) {
    SCOPED_TRACE(c.name);
    ModelBuilder b(c.opset);
    c.build(b, random);
    Perceptron net = ImportOnnx(b.Bytes(), c.name);
    for (int trial = 0; trial < 20; ++trial) {
      const std::vector<double> x = Random(InputLength(b.model()), random, 2.0);
      ExpectClose(Outputs(net, x), testing::Evaluate(b.model(), x));
    }
  }
}

TEST(OnnxImportTest, PyTorchExportsGiveWhatPyTorchComputes) {
  for (const char* name : {"torch_float", "torch_double", "torch_normalised"}) {
    SCOPED_TRACE(name);
    const std::string path = kData + "/onnx/" + name;
    Perceptron net = ImportOnnxFile(path + ".onnx");
    onnx::ModelProto model;
    ASSERT_TRUE(model.ParseFromString(ReadFile(path + ".onnx")));
    std::istringstream expected(ReadFile(path + ".expected.txt"));
    int rows = 0;
    for (std::string line; std::getline(expected, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream in(line.substr(0, line.find('|'))), out(line.substr(line.find('|') + 1));
      const std::vector<double> x{std::istream_iterator<double>(in), {}};
      const std::vector<double> y{std::istream_iterator<double>(out), {}};
      ExpectClose(Outputs(net, x), y);
      ExpectClose(testing::Evaluate(model, x), y);
      ++rows;
    }
    EXPECT_EQ(rows, 5);
  }
}

TEST(OnnxImportTest, MulBeforeTheActivationIsItsAlphaAndTheBiasItsThreshold) {
  ModelBuilder b;
  b.Input("x", {-1, 2}).Init("w", {1, 2}, {0.1f, -0.3f}).Init("b", {1}, {0.7f});
  b.Init("k", {}, {0.75}).Node("Gemm", {"x", "w", "b"}, "h", {{"transB", 1}});
  b.Node("Mul", {"h", "k"}, "hk").Node("Tanh", {"hk"}, "y").Output("y");
  Perceptron net = ImportOnnx(b.Bytes(), "alpha");
  EXPECT_EQ(net.GetAttr(1, 0, Neuron::ATTR_ALPHA), 0.75);
  EXPECT_EQ(net.GetAttr(1, 0, Neuron::ATTR_ATYPE), Neuron::TH);
  EXPECT_EQ(net.GetAttr(1, 0, Neuron::ATTR_NTYPE), Neuron::NOutput);
  EXPECT_EQ(net.getElem(1, 0)->kernel->getThreshold(), -static_cast<double>(0.7f));
  const std::vector<SynapseWeight> links = net.getElem(1, 0)->kernel->getSynapses();
  ASSERT_EQ(links.size(), 2U);
  EXPECT_EQ(links[1].weight, static_cast<double>(-0.3f));
}

// A model the importer must refuse, and what its message must say.
struct Refusal {
  const char* name;
  std::function<std::string()> bytes;
  const char* says;
};

std::string Model(const std::function<void(ModelBuilder&)>& build, std::int64_t opset = 17) {
  ModelBuilder b(opset);
  build(b);
  return b.Bytes();
}

// x [batch, 2] through Gemm (w, b) into `op`, output "y".
std::string OneLayer(const std::string& op, const std::function<void(ModelBuilder&)>& change = {}) {
  return Model([&](ModelBuilder& b) {
    b.Input("x", {-1, 2}).Init("w", {2, 2}, {1, 2, 3, 4}).Init("b", {2}, {0.5, -0.5});
    b.Node("Gemm", {"x", "w", "b"}, "h").Node(op, {"h"}, "y").Output("y");
    if (change) change(b);
  });
}

TEST(OnnxImportTest, RefusesWhatANetworkCannotComputeNamingTheNode) {
  const std::vector<Refusal> refusals = {
      {"relu", [] { return OneLayer("Relu"); },
       "node 2 of 2 \"Relu_2\" (Relu): the operator Relu cannot"},
      {"no activation at the end", [] { return OneLayer("Identity"); },
       "must end in Sigmoid or Tanh: its output \"y\" comes from node 2 of 2"},
      {"weights from the input",
       [] {
         return Model([](ModelBuilder& b) {
           b.Input("x", {2})
               .Node("MatMul", {"x", "x"}, "h")
               .Node("Sigmoid", {"h"}, "y")
               .Output("y");
         });
       },
       "(MatMul): the weight matrix (input \"x\") is computed from the network's input"},
      {"two inputs", [] { return OneLayer("Sigmoid", [](ModelBuilder& b) { b.Input("z", {2}); }); },
       "more than one input"},
      {"two outputs", [] { return OneLayer("Sigmoid", [](ModelBuilder& b) { b.Output("h"); }); },
       "2 outputs"},
      {"not finite",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.model().mutable_graph()->mutable_initializer(0)->set_float_data(2, NAN);
         });
       },
       "initializer \"w\": value 2 is not a finite number"},
      {"external data",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           onnx::TensorProto* w = b.model().mutable_graph()->mutable_initializer(0);
           w->clear_float_data();
           w->set_data_location(onnx::TensorProto::EXTERNAL);
           auto* entry = w->add_external_data();
           entry->set_key("location");
           entry->set_value("/etc/passwd");
         });
       },
       "keeps its data in an external file (\"/etc/passwd\")"},
      {"truncated",
       [] {
         const std::string s = OneLayer("Sigmoid");
         return s.substr(0, s.size() - 9);
       },
       "not an ONNX model"},
      {"huge dimensions",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.model().mutable_graph()->mutable_initializer(0)->set_dims(0, std::int64_t{1} << 40);
           b.model().mutable_graph()->mutable_initializer(0)->set_dims(1, std::int64_t{1} << 40);
         });
       },
       "initializer \"w\" has impossible dimensions"},
      {"dimensions without data",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.model().mutable_graph()->mutable_initializer(0)->set_dims(0, 100000);
         });
       },
       "declares 200000 values but holds 4"},
      {"raw bytes a byte short",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           onnx::TensorProto* w = b.model().mutable_graph()->mutable_initializer(0);
           w->clear_float_data();
           w->set_raw_data(std::string(15, '\0'));
         });
       },
       "initializer \"w\" declares 4 values but holds 3"},
      {"float16 bits beyond 16",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           onnx::TensorProto* w = b.model().mutable_graph()->mutable_initializer(0);
           w->clear_float_data();
           w->set_data_type(kFloat16);
           for (const std::int32_t bits : {0x3C00, 0x3C00, 0x3C00, 0x13C00})
             w->add_int32_data(bits);
         });
       },
       "initializer \"w\": float16 value 3 is malformed"},
      {"cycle",
       [] {
         return Model([](ModelBuilder& b) {
           b.Input("x", {-1, 2}).Init("w", {2, 2}, {1, 2, 3, 4});
           b.Node("Sigmoid", {"t"}, "y").Node("MatMul", {"y", "w"}, "t").Output("y");
         });
       },
       "has a cycle"},
      {"integer input",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.model()
               .mutable_graph()
               ->mutable_input(0)
               ->mutable_type()
               ->mutable_tensor_type()
               ->set_elem_type(onnx::TensorProto::INT64);
         });
       },
       "holds int64 values, not float"},
      {"string weights",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.model().mutable_graph()->mutable_initializer(1)->set_data_type(
               onnx::TensorProto::STRING);
         });
       },
       "initializer \"b\" holds string values"},
      {"newer operator set", [] { return Model([](ModelBuilder& b) { b.Input("x", {2}); }, 18); },
       "operator set 18 is not read"},
      {"product of two computed vectors",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.Node("Mul", {"y", "y"}, "z").Node("Tanh", {"z"}, "out");
           b.model().mutable_graph()->mutable_output(0)->set_name("out");
         });
       },
       "(Mul): both operands are computed from the input"},
      {"reshape across the batch",
       [] {
         return OneLayer("Sigmoid", [](ModelBuilder& b) {
           b.Init("s", {1}, {-1}, onnx::TensorProto::INT64).Node("Reshape", {"y", "s"}, "out");
           b.model().mutable_graph()->mutable_output(0)->set_name("out");
         });
       },
       "(Reshape): the shape would merge samples of the batch"},
      {"linear layers too large to fold",
       [] {
         return Model([](ModelBuilder& b) {
           b.Input("x", {1024}).Init("w", {1024, 1024}, std::vector<double>(1 << 20, 0.5));
           b.Node("MatMul", {"x", "w"}, "h").Node("MatMul", {"h", "w"}, "g");
           b.Node("Sigmoid", {"g"}, "y").Output("y");
         });
       },
       "node 2 of 3 \"MatMul_2\" (MatMul): folding the model into a network takes more than"},
      {"layers whose positions share coordinate keys",
       [] {
         // Eleven neurons in layer 1 and twelve layers: (11, 0) has the key "110" of (1, 10).
         return Model([](ModelBuilder& b) {
           b.Input("x", {1}).Init("w1", {1, 11}, std::vector<double>(11, 0.5));
           b.Node("MatMul", {"x", "w1"}, "h1").Node("Sigmoid", {"h1"}, "a1");
           std::string in = "a1";
           for (int layer = 2; layer <= 11; ++layer) {
             const std::string n = std::to_string(layer);
             b.Init("w" + n, {layer == 2 ? 11 : 1, 1},
                    std::vector<double>(layer == 2 ? 11 : 1, 0.5));
             b.Node("MatMul", {in, "w" + n}, "h" + n).Node("Sigmoid", {"h" + n}, "a" + n);
             in = "a" + n;
           }
           b.Output(in);
         });
       },
       "position (11, 0) has the same coordinate key \"110\" as position (1, 10)"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    try {
      ImportOnnx(r.bytes(), "m.onnx");
      ADD_FAILURE() << "accepted";
    } catch (const OnnxImportError& e) {
      EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("ONNX model \"m.onnx\": ", 0), 0U) << e.what();
    }
  }
}

TEST(OnnxImportTest, FilesBeyondTheLimitAreRefusedUnread) {
  testing::TempDir dir;
  const std::string big = dir.file("big.onnx");
  std::ofstream(big) << OneLayer("Sigmoid");
  std::filesystem::resize_file(big, kMostOnnxModelBytes + 1);
  EXPECT_THROW(
      try { ImportOnnxFile(big); } catch (const OnnxImportError& e) {
        EXPECT_NE(std::string(e.what()).find("larger than the 64 MiB"), std::string::npos)
            << e.what();
        throw;
      },
      OnnxImportError);
  std::filesystem::resize_file(big, OneLayer("Sigmoid").size());
  EXPECT_EQ(ImportOnnxFile(big).GetLayerSize(1), 2);
  EXPECT_TRUE(LooksLikeOnnxFile(big));
  EXPECT_FALSE(LooksLikeOnnxFile(kData + "/fann_2_3_1.net"));
}

// ---- export ------------------------------------------------------------------------------------

std::unique_ptr<Perceptron> Load(const std::string& path) {
  return LoadNetwork(ProfileDocument(path), path);
}

// 3-4-3-2: layer 2 mixes alphas and misses a link, layer 3 (TH) also reads the input layer.
Perceptron CrossLayerNetwork(std::mt19937_64& random) {
  Perceptron net;
  const int sizes[] = {3, 4, 3, 2};
  for (int y = 0; y < 3; ++y) {
    net.Add(0, static_cast<unsigned>(y));
    net.AddLink(0, static_cast<unsigned>(y), 0, 0, 1.0);
  }
  for (unsigned x = 1; x < 4; ++x) {
    for (unsigned y = 0; y < static_cast<unsigned>(sizes[x]); ++y) {
      net.Add(x, y);
      net.SetAttr(x, y, Neuron::ATTR_NTYPE, x == 3 ? Neuron::NOutput : Neuron::NHiden);
      net.SetAttr(x, y, Neuron::ATTR_ATYPE,
                  x == 3   ? Neuron::TH
                  : x == 2 ? Neuron::EXP
                           : Neuron::SIGM);
      net.SetAttr(x, y, Neuron::ATTR_ALPHA, x == 2 ? 0.5 + y : 2.0);
      net.setThreshold(x, y, Random(1, random)[0]);
      if (x == 3) {
        for (unsigned s = 0; s < 3; ++s) net.AddLink(x, y, 0, s, Random(1, random)[0]);
      }
      for (unsigned s = 0; s < static_cast<unsigned>(sizes[x - 1]); ++s) {
        if (x != 2 || s != y) net.AddLink(x, y, x - 1, s, Random(1, random)[0]);
      }
    }
  }
  return net;
}

TEST(OnnxExportTest, CheckedModelsThatImportToTheSameBits) {
  EXPECT_GE(onnx::OpSchemaRegistry::DomainToVersionRange::Instance().Map().at("").second,
            kOnnxOpset);
  std::mt19937_64 random(5);
  std::vector<Perceptron> nets = {*Load(std::string(MPLNET_EXAMPLES_DIR) + "/xor.ini"),
                                  *Load(std::string(MPLNET_EXAMPLES_DIR) + "/net-10-20-5.ini"),
                                  CrossLayerNetwork(random)};
  for (Perceptron& net : nets) {
    SCOPED_TRACE(net.GetLayerSize(0));
    const std::string bytes = ExportOnnx(net);
    EXPECT_EQ(OnnxCheckFailure(bytes), "");
    onnx::ModelProto model;
    ASSERT_TRUE(model.ParseFromString(bytes));
    EXPECT_EQ(model.opset_import(0).version(), kOnnxOpset);
    Perceptron back = ImportOnnx(bytes, "exported");
    EXPECT_EQ(ExportOnnx(back), bytes);  // the missing link came back as a weight of 0
    for (int trial = 0; trial < 20; ++trial) {
      const std::vector<double> x =
          Random(static_cast<std::size_t>(net.GetLayerSize(0)), random, 3.0);
      const std::vector<double> ours = Outputs(net, x);
      const std::vector<double> again = Outputs(back, x);
      ASSERT_EQ(ours.size(), again.size());
      EXPECT_EQ(std::memcmp(ours.data(), again.data(), ours.size() * sizeof(double)), 0);
      ExpectClose(ours, testing::Evaluate(model, x));
    }
  }
}

TEST(OnnxExportTest, RefusesWhatOnnxCannotExpressNamingTheElement) {
  std::mt19937_64 random(3);
  const std::vector<std::pair<std::function<void(Perceptron&)>, const char*>> cases = {
      {[](Perceptron& n) { n.AddLink(1, 0, 2, 1, 0.5); },
       "element (1, 0): its link from (2, 1) reads that element's output of the previous pass"},
      {[](Perceptron& n) { n.AddLink(2, 2, 2, 0, 0.5); },
       "element (2, 2): its link from (2, 0) reads an element of its own layer"},
      {[](Perceptron& n) { n.SetAttr(2, 1, Neuron::ATTR_NTYPE, Neuron::NInput); },
       "element (2, 1) is an input neuron outside layer 0"},
      {[](Perceptron& n) { n.SetAttr(3, 1, Neuron::ATTR_ATYPE, Neuron::SIGM); },
       "element (3, 1) computes a sigmoid while element (3, 0) computes TH"},
      {[](Perceptron& n) {
         n.DelLink(1, 3, 0, 0);
         n.AddLink(1, 3, 0, 0, 0.25);
       },
       "element (1, 3): its link from (0, 0) comes after a link from a later source"},
      {[](Perceptron& n) { n.Del(1, 2); }, "position (1, 2) holds no element"},
  };
  for (const auto& [change, says] : cases) {
    SCOPED_TRACE(says);
    Perceptron net = CrossLayerNetwork(random);
    change(net);
    try {
      ExportOnnx(net);
      ADD_FAILURE() << "exported";
    } catch (const OnnxExportError& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace mplnet
