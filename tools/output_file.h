// Files the tool writes: never one the user did not mean to replace, never half written.
#ifndef MPLNET_TOOLS_OUTPUT_FILE_H_
#define MPLNET_TOOLS_OUTPUT_FILE_H_

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "mplnet/bar_dataset.h"
#include "mplnet/engine.h"

namespace mplnet::tool {

// Adds the required -o,--output option: the file (or folder) a command writes, called `name` in
// the help ("OUT"), described by `what`.
void AddOutputOption(CLI::App* app, std::string& path, const std::string& name,
                     const std::string& what);

// A file a command writes, and whether it may replace one that is there.
struct OutputFile {
  std::string path;
  bool force = false;
};

// Adds -o,--output as AddOutputOption does, and --force: replace the file called `name` in the
// help if it exists, and `also` ("even when it is NET").
void AddOutputFile(CLI::App* app, OutputFile& file, const std::string& name,
                   const std::string& what, const std::string& also = "");

// Raises ToolError when `path` is a folder, exists without `force`, or lies in a folder that does
// not exist.
void CheckOutputPath(const std::string& path, bool force);
inline void CheckOutputPath(const OutputFile& file) {
  CheckOutputPath(file.path, file.force);
}

// Flushes standard output; raises ToolError ("cannot write the <what>") when what was written there
// did not all reach it (a full disk, a closed pipe).
void FinishStandardOutput(const std::string& what);

// Writes `net` alone as the whole content of `path`, as the library writes every network file: one
// atomic replacement, so the file holds exactly this network (a save into an existing file would
// keep the sections of the network that was there) and a failed write leaves the old file as it
// was. With a recipe, the file keeps it too. Raises ToolError.
void SaveNetworkReplacing(const Perceptron& net, const std::string& path,
                          const std::optional<BarDatasetOptions>& recipe = std::nullopt);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_OUTPUT_FILE_H_
