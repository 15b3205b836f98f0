// mplnet export: a network file becomes an ONNX model, to inspect (Netron) or run wherever ONNX
// runs.
#include <memory>
#include <string>

#include "mplnet/onnx.h"
#include "persistence/file_io.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

struct ExportArguments {
  std::string net_path;
  std::string out_path;
  bool force = false;
};

int RunExport(const ExportArguments& args) {
  CheckOutputPath(args.out_path, args.force);
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(args.net_path);
  std::string bytes;
  try {
    bytes = ExportOnnx(*net);
  } catch (const OnnxExportError& e) {
    throw ToolError("network file \"" + args.net_path + "\": " + e.what());
  }
  const bool written =
      ReplaceFileAtomically(args.out_path, [&](const ContentSink& sink) { return sink(bytes); });
  if (!written) {
    throw ToolError("cannot write \"" + args.out_path +
                    "\" (a read-only file, or the disk refused it)");
  }
  return 0;
}

}  // namespace

Command AddExportCommand(CLI::App& app) {
  auto args = std::make_shared<ExportArguments>();
  CLI::App* exporting = AddSubcommand(app, "export", "Write a network file as an ONNX model",
                                      help::kExport, {{"onnx_opset", std::to_string(kOnnxOpset)}});
  exporting->add_option("NET", args->net_path, "network file")->required();
  AddOutputOption(exporting, args->out_path, "OUT", "the ONNX model to write");
  AddForceFlag(exporting, args->force, "OUT");
  return {exporting, [args] { return RunExport(*args); }};
}

}  // namespace mplnet::tool
