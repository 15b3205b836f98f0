// mplnet info: what a network file holds, and the checks of what the forward pass relies on.
#include <iostream>
#include <string>

#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"

namespace mplnet::tool {

Command AddInfoCommand(CLI::App& app) {
  return AddShowNetworkCommand(
      app, "info", "Describe a network and check it", help::kInfo,
      [](const std::string& path, const Perceptron& net) { WriteInfo(path, net, std::cout); });
}

}  // namespace mplnet::tool
