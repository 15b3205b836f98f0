#include "tools/output_file.h"

#include <filesystem>
#include <iostream>
#include <system_error>

#include "mplnet/bar_recipe.h"
#include "tools/network_report.h"

namespace mplnet::tool {

void AddOutputOption(CLI::App* app, std::string& path, const std::string& name,
                     const std::string& what) {
  app->add_option("-o,--output", path, what)->required()->type_name(name);
}

void AddOutputFile(CLI::App* app, OutputFile& file, const std::string& name,
                   const std::string& what, const std::string& also) {
  AddOutputOption(app, file.path, name, what);
  app->add_flag("--force", file.force,
                "replace " + name + " if it exists" + (also.empty() ? "" : ", " + also));
}

void CheckOutputPath(const std::string& path, bool force) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
  if (std::filesystem::exists(status)) {
    if (std::filesystem::is_directory(status)) throw ToolError("\"" + path + "\" is a folder");
    if (!force) throw ToolError("\"" + path + "\" exists; pass --force to replace it");
  }
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    throw ToolError("cannot write \"" + path + "\": its folder does not exist");
  }
}

void FinishStandardOutput(const std::string& what) {
  std::cout.flush();
  if (!std::cout) throw ToolError("cannot write the " + what);
}

void SaveNetworkReplacing(const Perceptron& net, const std::string& path,
                          const std::optional<BarDatasetOptions>& recipe) {
  if (!WriteNetworkFileWithRecipe(net, recipe, path)) {
    throw ToolError("cannot write \"" + path + "\" (a read-only file, or the disk refused it)");
  }
}

}  // namespace mplnet::tool
