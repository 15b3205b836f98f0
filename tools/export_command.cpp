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
  OutputFile out;
};

void RunExport(const ExportArguments& args) {
  CheckOutputPath(args.out);
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(args.net_path);
  std::string bytes;
  try {
    bytes = ExportOnnx(*net);
  } catch (const OnnxExportError& e) {
    throw ToolError("network file \"" + args.net_path + "\": " + e.what());
  }
  const bool written =
      ReplaceFileAtomically(args.out.path, [&](const ContentSink& sink) { return sink(bytes); });
  if (!written) {
    throw ToolError("cannot write \"" + args.out.path +
                    "\" (a read-only file, or the disk refused it)");
  }
}

}  // namespace

Command AddExportCommand(CLI::App& app) {
  auto args = std::make_shared<ExportArguments>();
  CLI::App* exporting = AddSubcommand(app, "export", "Write a network file as an ONNX model",
                                      help::kExport, {{"onnx_opset", std::to_string(kOnnxOpset)}});
  AddNetworkArgument(exporting, args->net_path);
  AddOutputFile(exporting, args->out, "OUT", "the ONNX model to write");
  return {exporting, [args] { RunExport(*args); }};
}

}  // namespace mplnet::tool
