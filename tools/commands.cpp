#include "tools/commands.h"

#include <cstddef>
#include <memory>
#include <stdexcept>

#include "tools/network_report.h"

namespace mplnet::tool {

CLI::App* AddSubcommand(CLI::App& app, const std::string& name, const std::string& summary,
                        std::string_view help, std::initializer_list<HelpValue> values) {
  const std::string where = "the help of " + name + ": ";
  for (const HelpValue& v : values) {
    if (help.find("{" + std::string(v.name) + "}") == std::string_view::npos) {
      throw std::logic_error(where + "no place for " + std::string(v.name));
    }
  }
  std::string filled;
  for (std::size_t at = 0; at < help.size();) {
    const std::size_t open = help.find('{', at);
    filled += help.substr(at, open - at);
    if (open == std::string_view::npos) break;
    const std::size_t close = help.find('}', open);
    const std::string_view place = help.substr(open + 1, close - open - 1);
    const HelpValue* value = nullptr;
    for (const HelpValue& v : values) {
      if (v.name == place) value = &v;
    }
    if (close == std::string_view::npos || value == nullptr) {
      throw std::logic_error(where + "no value for {" + std::string(place) + "}");
    }
    filled += value->value;
    at = close + 1;
  }
  CLI::App* command = app.add_subcommand(name, summary);
  command->footer(filled);
  return command;
}

void AddNetworkArgument(CLI::App* app, std::string& path, const std::string& what) {
  app->add_option("NET", path, what)->required();
}

Command AddShowNetworkCommand(
    CLI::App& app, const std::string& name, const std::string& summary, std::string_view help,
    std::function<void(const std::string& path, const Perceptron& net)> show) {
  auto net_path = std::make_shared<std::string>();
  CLI::App* command = AddSubcommand(app, name, summary, help);
  AddNetworkArgument(command, *net_path);
  return {command,
          [net_path, show = std::move(show)] { show(*net_path, *LoadNetworkFile(*net_path)); }};
}

}  // namespace mplnet::tool
