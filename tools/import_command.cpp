// mplnet import: a network trained with FANN, or exported to ONNX, becomes a network file of ours.
#include <memory>
#include <string>

#include "mplnet/fann_import.h"
#include "mplnet/onnx.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

struct ImportArguments {
  std::string fann_path;
  OutputFile out;
};

void RunImport(const ImportArguments& args) {
  CheckOutputPath(args.out);
  // The format is told by the content: an ONNX model is binary, a FANN file text.
  SaveNetworkReplacing(LooksLikeOnnxFile(args.fann_path) ? ImportOnnxFile(args.fann_path)
                                                         : ImportFannFile(args.fann_path),
                       args.out.path);
}

}  // namespace

Command AddImportCommand(CLI::App& app) {
  auto args = std::make_shared<ImportArguments>();
  CLI::App* import = AddSubcommand(
      app, "import", "Turn a FANN network file or an ONNX model into a network file", help::kImport,
      {{"fann_file_mib", std::to_string(kFannFileMaxBytes >> 20)},
       {"onnx_model_mib", std::to_string(kMostOnnxModelBytes >> 20)}});
  import->add_option("FILE", args->fann_path, "FANN network file (.net) or ONNX model (.onnx)")
      ->required();
  AddOutputFile(import, args->out, "OUT", "the network file to write");
  return {import, [args] { RunImport(*args); }};
}

}  // namespace mplnet::tool
