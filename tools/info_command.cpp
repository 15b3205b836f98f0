// mplnet info: what a network file holds, and the checks of what the forward pass relies on.
#include <iostream>
#include <memory>
#include <string>

#include "tools/commands.h"
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
  CLI::App* info = app.add_subcommand("info", "Describe a network and check it");
  info->footer(
      "Prints the layers and their sizes, the links, the activation and neuron types, and checks "
      "of what the forward pass relies on: every position of a layer present, links to existing "
      "elements, input elements with their 0_0 link, neuron types the reader accepts, one element "
      "per coordinate key, and sections the reader merges or skips. A file that does not load "
      "exits 1 with the file, section, key and reason.");
  info->add_option("NET", *net_path, "network file")->required();
  return {info, [net_path] { return Info(*net_path); }};
}

}  // namespace mplnet::tool
