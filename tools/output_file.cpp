#include "tools/output_file.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#include "persistence/ini_file.h"
#include "tools/network_report.h"

namespace mplnet::tool {

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

void SaveNetworkReplacing(const Perceptron& net, const std::string& path) {
  const std::string temp = path + ".new-" + std::to_string(::getpid());
  std::error_code ec;
  std::filesystem::remove(temp, ec);
  CIniFile ini;
  ini.SetFileName(temp);
  if (ini.GetFileName() != temp) {
    throw ToolError("cannot write \"" + path + "\": its folder does not exist");
  }
  const char* status = ini.SaveMPL(net);
  if (std::strcmp(status, " MPL network save") != 0) {
    std::filesystem::remove(temp, ec);
    throw ToolError("cannot write \"" + path + "\": " + status);
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    throw ToolError("cannot write \"" + path + "\": " + ec.message());
  }
}

}  // namespace mplnet::tool
