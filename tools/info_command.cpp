// mplnet info: what a network file holds, and the checks of what the forward pass relies on.
#include <iostream>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"

namespace mplnet::tool {
namespace {

int Info(const std::string& net_path) {
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(net_path);
  WriteInfo(net_path, *net, std::cout);
  return 0;
}

}  // namespace

Command AddInfoCommand(CLI::App& app) {
  auto net_path = std::make_shared<std::string>();
  CLI::App* info = AddSubcommand(app, "info", "Describe a network and check it", help::kInfo);
  info->add_option("NET", *net_path, "network file")->required();
  return {info, [net_path] { return Info(*net_path); }};
}

}  // namespace mplnet::tool
