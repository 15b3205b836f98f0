// mplnet import: a network trained with FANN, or exported to ONNX, becomes a network file of ours.
#include <memory>
#include <string>

#include "mplnet/fann_import.h"
#include "mplnet/onnx.h"
#include "tools/commands.h"
#include "tools/network_report.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

struct ImportArguments {
  std::string fann_path;
  std::string out_path;
  bool force = false;
};

int RunImport(const ImportArguments& args) {
  CheckOutputPath(args.out_path, args.force);
  // The format is told by the content: an ONNX model is binary, a FANN file text.
  SaveNetworkReplacing(LooksLikeOnnxFile(args.fann_path) ? ImportOnnxFile(args.fann_path)
                                                         : ImportFannFile(args.fann_path),
                       args.out_path);
  return 0;
}

std::string OnnxImportHelp() {
  return "An ONNX model (recognised by its content, at most " +
         std::to_string(kMostOnnxModelBytes >> 20) +
         " MiB) is read as well: a chain of dense layers (Gemm, or MatMul and Add) with Sigmoid or "
         "Tanh, after constant affine maps, as docs/tool.md (\"Networks from PyTorch\") says.";
}

}  // namespace

Command AddImportCommand(CLI::App& app) {
  auto args = std::make_shared<ImportArguments>();
  CLI::App* import =
      app.add_subcommand("import", "Turn a FANN network file or an ONNX model into a network file");
  import->footer(
      "Reads a network saved by FANN 2.1 or later (fann_save, floating point) and writes the same "
      "network as a network file. FANN_SIGMOID with steepness s becomes SIGM with alpha 2s, "
      "FANN_SIGMOID_SYMMETRIC becomes TH with alpha s, a bias weight becomes the threshold with "
      "the "
      "opposite sign, and shortcut connections become links from earlier layers. Other activation "
      "functions, steepness below 0 or so large that FANN's clip of the sum moves the outputs "
      "(above about 8), weights that are not finite numbers, scaling parameters and fixed-point "
      "files are refused, naming the neuron, and nothing is written. Files larger than " +
      std::to_string(kFannFileMaxBytes >> 20) +
      " MiB are refused before they are read. An existing OUT is replaced only with --force.\n" +
      OnnxImportHelp());
  import->add_option("FILE", args->fann_path, "FANN network file (.net) or ONNX model (.onnx)")
      ->required();
  AddOutputOption(import, args->out_path, "OUT", "the network file to write");
  AddForceFlag(import, args->force, "OUT");
  return {import, [args] { return RunImport(*args); }};
}

}  // namespace mplnet::tool
