// The recipe of a bar table: the options that turned a bar log into rows (window, features,
// horizon, target). It travels with what was made from it: `mplnet bars` writes it in the table's
// header, `mplnet train` copies it into the network file it saves, and every later command that
// runs a network on a bar log builds the network's inputs from it, with the code that made the
// training rows, so that what is evaluated is what the host will be given.
//
// In a network file the recipe is a section of its own, kRecipeSection, whose name holds neither
// "Neuron" nor "Synapse": the host's reader passes over it, and the host's save, which keeps
// every section it does not write, keeps it.
//
// The recipe header's format: docs/data-table.md; the recipe's part in a backtest:
// docs/backtest.md.
//
// Part of the datasets library (mplnet::datasets), never of the DLL.
#ifndef MPLNET_BAR_RECIPE_H_
#define MPLNET_BAR_RECIPE_H_

#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "mplnet/bar_dataset.h"
#include "mplnet/engine.h"

namespace mplnet {

// The network file section that holds a recipe, with the keys window, features, horizon, target.
inline constexpr std::string_view kRecipeSection = "Recipe";

// "returns" or "returns,range,volume".
std::string_view FeaturesName(BarFeatures features);
// The features of that name, or nullopt.
std::optional<BarFeatures> FeaturesNamed(std::string_view name);
// "direction" or "return".
std::string_view TargetName(BarTarget target);
// The target of that name, or nullopt.
std::optional<BarTarget> TargetNamed(std::string_view name);

// "window 10, features returns, horizon 1, target direction".
std::string RecipeText(const BarDatasetOptions& recipe);
// The recipe RecipeText wrote, or nullopt for any other text.
std::optional<BarDatasetOptions> ParseRecipeText(std::string_view text);
// Whether two recipes make the same rows.
bool SameRecipe(const BarDatasetOptions& a, const BarDatasetOptions& b);

// The comment line a table's header states its recipe in, line end included.
std::string RecipeHeaderLine(const BarDatasetOptions& recipe);
// The recipe stated in the comment lines a table starts with; nullopt when they state none. The
// lines are read as ReadDataTable reads them (a byte-order mark passed over, none longer than
// kTableLineMaxBytes). Raises BarDataError when the file cannot be opened or read, holds a line
// beyond the limit, or states a recipe it cannot read.
std::optional<BarDatasetOptions> ReadTableRecipe(const std::string& path);
// ReadTableRecipe of the text `in` gives; `name` stands for the file in messages.
std::optional<BarDatasetOptions> ReadTableRecipe(std::istream& in, std::string_view name);

// The recipe kept in the network file `path`; nullopt when it keeps none. Raises BarDataError
// naming the file, the section, the key and the reason for a recipe section that does not read.
std::optional<BarDatasetOptions> ReadNetworkRecipe(const std::string& path);
// Writes `net`, and `recipe` when it has one, as the whole content of the network file `path`, in
// one atomic replacement; false when the file could not be written (it is then as it was).
bool WriteNetworkFileWithRecipe(const Perceptron& net,
                                const std::optional<BarDatasetOptions>& recipe,
                                const std::string& path);
// The content WriteNetworkFileWithRecipe writes.
std::string NetworkFileContent(const Perceptron& net,
                               const std::optional<BarDatasetOptions>& recipe);

// Raises BarDataError, naming both counts, unless the recipe's rows have as many inputs as the
// network's input layer.
void CheckRecipeFits(const BarDatasetOptions& recipe, const Perceptron& net);

}  // namespace mplnet

#endif  // MPLNET_BAR_RECIPE_H_
