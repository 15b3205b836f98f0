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

// Adds --force: replace the file called `name` in the help if it exists, and `also` ("even when
// it is NET").
void AddForceFlag(CLI::App* app, bool& force, const std::string& name,
                  const std::string& also = "");

// Raises ToolError when `path` is a folder, exists without `force`, or lies in a folder that does
// not exist.
void CheckOutputPath(const std::string& path, bool force);

// Writes `net` alone as the whole content of `path`, as the library writes every network file: one
// atomic replacement, so the file holds exactly this network (a save into an existing file would
// keep the sections of the network that was there) and a failed write leaves the old file as it
// was. With a recipe, the file keeps it too. Raises ToolError.
void SaveNetworkReplacing(const Perceptron& net, const std::string& path,
                          const std::optional<BarDatasetOptions>& recipe = std::nullopt);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_OUTPUT_FILE_H_
