// The recipe of a bar table, in a table's header and in a network file.
#include "mplnet/bar_recipe.h"

#include <charconv>
#include <fstream>
#include <initializer_list>
#include <system_error>
#include <vector>

#include "datasets/table_lines.h"
#include "persistence/file_io.h"
#include "persistence/network_file.h"
#include "persistence/profile_file.h"

namespace mplnet {
namespace {

// The header line's words before the recipe; tables written before the recipe was read back
// already began with it.
constexpr std::string_view kHeaderLead = "# from a bar log: ";

struct Named {
  std::string_view key;
  std::string_view text;
};

// The one of `choices` that `name_of` calls `name`, or nullopt.
template <typename Choice>
std::optional<Choice> ChoiceNamed(std::string_view name, std::initializer_list<Choice> choices,
                                  std::string_view (*name_of)(Choice)) {
  for (const Choice choice : choices) {
    if (name == name_of(choice)) return choice;
  }
  return std::nullopt;
}

std::optional<int> PositiveWhole(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < 1) return std::nullopt;
  return value;
}

// The recipe's four entries as (key, value text); the order RecipeText and the network file use.
std::vector<std::pair<std::string_view, std::string>> Entries(const BarDatasetOptions& r) {
  return {{"window", std::to_string(r.window)},
          {"features", std::string(FeaturesName(r.features))},
          {"horizon", std::to_string(r.horizon)},
          {"target", std::string(TargetName(r.target))}};
}

// `text` in double quotes.
std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted.append(text);
  quoted += '"';
  return quoted;
}

// Sets one entry of `recipe` from its text; the reason it cannot, empty when it can.
std::string SetEntry(BarDatasetOptions& recipe, std::string_view key, std::string_view text) {
  if (key == "window" || key == "horizon") {
    const std::optional<int> v = PositiveWhole(text);
    if (!v) return Quoted(text) + " is not a whole number of at least 1";
    (key == "window" ? recipe.window : recipe.horizon) = *v;
  } else if (key == "features") {
    const std::optional<BarFeatures> v = FeaturesNamed(text);
    if (!v) return Quoted(text) + " is neither returns nor returns,range,volume";
    recipe.features = *v;
  } else {
    const std::optional<BarTarget> v = TargetNamed(text);
    if (!v) return Quoted(text) + " is neither direction nor return";
    recipe.target = *v;
  }
  return "";
}

}  // namespace

std::string_view FeaturesName(BarFeatures features) {
  return BarFeaturesName(features);  // one spelling for the recipe, the table header and --features
}

std::optional<BarFeatures> FeaturesNamed(std::string_view name) {
  return ChoiceNamed(name, {BarFeatures::kReturns, BarFeatures::kReturnsRangeVolume}, FeaturesName);
}

std::string_view TargetName(BarTarget target) {
  return target == BarTarget::kDirection ? "direction" : "return";
}

std::optional<BarTarget> TargetNamed(std::string_view name) {
  return ChoiceNamed(name, {BarTarget::kDirection, BarTarget::kReturn}, TargetName);
}

std::string RecipeText(const BarDatasetOptions& recipe) {
  std::string text;
  for (const auto& [key, value] : Entries(recipe)) {
    if (!text.empty()) text += ", ";
    text.append(key).append(" ").append(value);
  }
  return text;
}

std::optional<BarDatasetOptions> ParseRecipeText(std::string_view text) {
  BarDatasetOptions recipe;
  for (const auto& [key, ignored] : Entries(recipe)) {
    const std::string lead = std::string(key) + " ";
    if (!text.starts_with(lead)) return std::nullopt;
    text.remove_prefix(lead.size());
    // "returns,range,volume" holds commas but no ", ".
    const std::size_t end = std::min(text.find(", "), text.size());
    if (!SetEntry(recipe, key, text.substr(0, end)).empty()) return std::nullopt;
    text.remove_prefix(end == text.size() ? end : end + 2);
  }
  if (!text.empty()) return std::nullopt;
  return recipe;
}

bool SameRecipe(const BarDatasetOptions& a, const BarDatasetOptions& b) {
  return a.window == b.window && a.features == b.features && a.horizon == b.horizon &&
         a.target == b.target;
}

std::string RecipeHeaderLine(const BarDatasetOptions& recipe) {
  return std::string(kHeaderLead) + RecipeText(recipe) + "\n";
}

std::optional<BarDatasetOptions> ReadTableRecipe(const std::string& path) {
  std::ifstream in(NativePath(path), std::ios::binary);
  return ReadTableRecipe(in, path);
}

std::optional<BarDatasetOptions> ReadTableRecipe(std::istream& in, std::string_view name) {
  const std::string table = "table \"" + std::string(name) + "\"";
  if (!in) throw BarDataError("cannot open " + table);
  // The lines the table's reader reads, so that a header it takes for comments is looked at here.
  TableLines lines(in, table);
  std::string_view line;
  while (lines.Next<BarDataError>(line) && line.starts_with('#')) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!line.starts_with(kHeaderLead)) continue;
    const std::optional<BarDatasetOptions> recipe =
        ParseRecipeText(line.substr(kHeaderLead.size()));
    if (!recipe) {
      throw BarDataError(lines.Where() + ": the recipe does not read (it reads \"" +
                         RecipeText(BarDatasetOptions{}) + "\")");
    }
    return recipe;
  }
  return std::nullopt;
}

std::optional<BarDatasetOptions> ReadNetworkRecipe(const std::string& path) {
  const ProfileDocument document(path);
  if (!document.readable()) {
    throw BarDataError("network file \"" + path + "\": the file exists but cannot be read");
  }
  bool found = false;
  for (const std::string_view name : document.SectionNames()) {
    found = found || ProfileNameEqual()(name, kRecipeSection);
  }
  if (!found) return std::nullopt;
  BarDatasetOptions recipe;
  for (const auto& [key, ignored] : Entries(recipe)) {
    const std::string where = "network file \"" + path + "\", section [" +
                              std::string(kRecipeSection) + "], key \"" + std::string(key) + "\": ";
    const std::optional<std::string_view> value = document.Value(kRecipeSection, key);
    if (!value) throw BarDataError(where + "no entry found");
    const std::string reason = SetEntry(recipe, key, *value);
    if (!reason.empty()) throw BarDataError(where + reason);
  }
  return recipe;
}

std::string NetworkFileContent(const Perceptron& net,
                               const std::optional<BarDatasetOptions>& recipe) {
  ProfileDocument document(ProfileBytes{});
  bool written = SaveNetwork(net, document);
  if (recipe) {
    for (const auto& [key, value] : Entries(*recipe)) {
      written = written && document.SetValue(kRecipeSection, key, value);
    }
  }
  if (!written) throw BarDataError("the network cannot be written as a network file");
  return document.Content();
}

bool WriteNetworkFileWithRecipe(const Perceptron& net,
                                const std::optional<BarDatasetOptions>& recipe,
                                const std::string& path) {
  std::string content;
  try {
    content = NetworkFileContent(net, recipe);
  } catch (const BarDataError&) {
    return false;
  }
  return ReplaceFileAtomically(path, [&content](const ContentSink& sink) { return sink(content); });
}

void CheckRecipeFits(const BarDatasetOptions& recipe, const Perceptron& net) {
  const std::size_t inputs = BarInputCount(recipe);
  const int layer = net.GetLCount() > 0 ? net.GetLayerSize(0) : 0;
  if (static_cast<long long>(inputs) != layer) {
    throw BarDataError("the recipe (" + RecipeText(recipe) + ") makes rows of " +
                       std::to_string(inputs) + " inputs, but the network's input layer has " +
                       std::to_string(layer) + " elements");
  }
}

}  // namespace mplnet
