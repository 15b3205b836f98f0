// The network file: what the writer writes, what the reader builds, and what stops a load.
#include "persistence/network_file.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "persistence/ini_file.h"
#include "test_support.h"

namespace mplnet {
namespace {

using testing::kExampleOutput;
using testing::MakeExampleNetwork;
using testing::TempDir;

const std::string kData = MPLNET_TEST_DATA_DIR;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::unique_ptr<Perceptron> Load(const std::string& path) {
  CIniFile ini;
  EXPECT_EQ(ini.SetFileName(path), path);
  const char* code = nullptr;
  std::unique_ptr<Perceptron> net = ini.LoadMPL(code);
  EXPECT_STREQ(code, " MPL network load ");
  return net;
}

std::string Save(const Perceptron& net, const std::string& path) {
  CIniFile ini;
  EXPECT_EQ(ini.SetFileName(path), path);
  EXPECT_STREQ(ini.SaveMPL(net), " MPL network save");
  return ReadFile(path);
}

std::vector<std::pair<int, int>> Links(const Perceptron& p, int x, int y) {
  std::vector<std::pair<int, int>> links;
  for (const SynapseWeight& w : p.getElem(x, y)->kernel->getSynapses()) {
    links.emplace_back(w.x, w.y);
  }
  return links;
}

TEST(NetworkFileWriterTest, ExampleNetworkGivesTheDocumentedText) {
  TempDir dir;
  const std::string text = Save(MakeExampleNetwork(), dir.file("net.ini"));
  EXPECT_EQ(text,
            "[Neuron_00]\r\nX=0\r\nY=0\r\natype=0\r\nntype=1\r\nthreshold=0\r\nalpha=0\r\n"
            "[Synapse_00]\r\nX=0\r\nY=0\r\n0_0=1\r\n"
            "[Neuron_01]\r\nX=0\r\nY=1\r\natype=0\r\nntype=1\r\nthreshold=0\r\nalpha=0\r\n"
            "[Synapse_01]\r\nX=0\r\nY=1\r\n0_0=1\r\n"
            "[Neuron_10]\r\nX=1\r\nY=0\r\natype=2\r\nntype=3\r\nthreshold=0.1\r\nalpha=2\r\n"
            "[Synapse_10]\r\nX=1\r\nY=0\r\n0_0=0.5\r\n0_1=0.25\r\n");
}

TEST(NetworkFileWriterTest, EmptyNetworkWritesNothingAndCreatesNoFile) {
  TempDir dir;
  CIniFile ini;
  ini.SetFileName(dir.file("none.ini"));
  EXPECT_STREQ(ini.SaveMPL(Perceptron()), " MPL network save");
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.ini")));
}

TEST(NetworkFileWriterTest, SavingIntoAnEarlierLargerNetworkKeepsItsSurplus) {
  testing::ScopedRandomSource source;
  TempDir dir;
  const std::string path = dir.file("net.ini");
  Save(Perceptron({2, 2, 1}), path);
  Save(MakeExampleNetwork(), path);
  const std::unique_ptr<Perceptron> net = Load(path);
  EXPECT_EQ(net->GetNCount(), (std::vector<int>{2, 2, 1}));
  EXPECT_EQ(net->GetAttr(1, 0, Neuron::ATTR_NTYPE), Neuron::NOutput);  // the example's (1, 0)
  EXPECT_EQ(net->GetAttr(1, 1, Neuron::ATTR_NTYPE), Neuron::NHiden);   // the first network's
  EXPECT_EQ(Links(*net, 2, 0), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}}));
  EXPECT_EQ(Links(*net, 1, 0), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}}));
  EXPECT_EQ(net->getElem(1, 0)->kernel->getSynapses()[0].weight, 0.5);
}

TEST(NetworkFileReaderTest, ExampleFileRunsToTheExampleOutput) {
  const std::unique_ptr<Perceptron> net = Load(kData + "/example_2_1.ini");
  net->Run({1.0, 2.0});
  ASSERT_EQ(net->GetOutput().size(), 1u);
  EXPECT_NEAR(net->GetOutput()[0], kExampleOutput, 1e-15);
}

TEST(NetworkFileReaderTest, FilesWithoutNetworkSectionsLoadEmpty) {
  TempDir dir;
  EXPECT_EQ(Load(kData + "/only_general.ini")->GetLCount(), 0);
  EXPECT_EQ(Load(dir.file("missing.ini"))->GetLCount(), 0);
}

TEST(NetworkFileReaderTest, HandEditedFilesLoadAsTheLookUpRulesSay) {
  // "Y" is found in "atype" when that entry stands first: the element lands at index 2.
  const std::unique_ptr<Perceptron> shifted = Load(kData + "/y_after_atype.ini");
  EXPECT_EQ(shifted->getElem(0, 0), nullptr);
  ASSERT_NE(shifted->getElem(0, 2), nullptr);
  EXPECT_EQ(shifted->getElem(0, 2)->y, 2u);

  // Refused type values leave the defaults of an input neuron.
  const std::unique_ptr<Perceptron> defaults = Load(kData + "/ntype_zero_atype_five.ini");
  EXPECT_EQ(defaults->GetAttr(0, 0, Neuron::ATTR_NTYPE), Neuron::NInput);
  EXPECT_EQ(defaults->GetAttr(0, 0, Neuron::ATTR_ATYPE), Neuron::Null);
  EXPECT_EQ(defaults->GetAttr(0, 0, Neuron::ATTR_ALPHA), 3.0);

  // Positions come from "X" and "Y", never from the section's name.
  const std::unique_ptr<Perceptron> named = Load(kData + "/synapse_section_named_elsewhere.ini");
  EXPECT_EQ(Links(*named, 3, 4), (std::vector<std::pair<int, int>>{{0, 0}}));

  // Two entries naming one link: the first in file order gives the weight. A key written twice
  // reads its first value both times, so the second one's malformed text is never read.
  const std::unique_ptr<Perceptron> twice = Load(kData + "/duplicate_link_keys.ini");
  ASSERT_EQ(twice->getElem(1, 0)->kernel->getCount(), 2.0);
  EXPECT_EQ(twice->getElem(1, 0)->kernel->getSynapses()[0].weight, 0.25);
  EXPECT_EQ(twice->getElem(1, 0)->kernel->getSynapses()[1].weight, 0.75);
}

TEST(NetworkFileReaderTest, DecimalCommaFileReadsTheSameUnderEveryLocale) {
  // Written under a decimal-comma locale; read as grouping, "0,5" would become 5.
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, locale) == nullptr) continue;
    const std::unique_ptr<Perceptron> net = Load(kData + "/decimal_comma.ini");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(net->GetAttr(0, 0, Neuron::ATTR_ALPHA), 0.5) << locale;
    EXPECT_EQ(net->getElem(0, 0)->kernel->getSynapses()[0].weight, 1.25e-5) << locale;
  }
}

TEST(NetworkFileReaderTest, MalformedFilesStopTheLoadNamingThePlace) {
  struct Case {
    const char* file;
    const char* section;
    const char* key;
    const char* reason;
  };
  const Case cases[] = {
      {"missing_alpha.ini", "[Neuron_00]", "\"ALPHA\"", "Section or Key"},
      {"x_out_of_range.ini", "[Neuron_00]", "\"X\"", "65535"},
      {"link_out_of_range.ini", "[Synapse_00]", "\"1_70000\"", "65535"},
      {"empty_threshold.ini", "[Neuron_00]", "\"threshold\"", "empty"},
      {"malformed_threshold.ini", "[Neuron_00]", "\"threshold\"", "not a number"},
      {"malformed_synapse_x.ini", "[Synapse_00]", "\"X\"", "whole number"},
      {"weight_out_of_range.ini", "[Synapse_00]", "\"0_0\"", "not a number"},
      // Links of an element that does not exist are read all the same.
      {"weight_of_missing_element.ini", "[Synapse_99]", "\"0_0\"", "not a number"},
  };
  for (const Case& c : cases) {
    CIniFile ini;
    ini.SetFileName(kData + "/" + c.file);
    const char* code = nullptr;
    try {
      ini.LoadMPL(code);
      ADD_FAILURE() << c.file << " loaded";
    } catch (const NetworkFileError& e) {
      const std::string what = e.what();
      for (const char* part : {c.file, c.section, c.key, c.reason}) {
        EXPECT_NE(what.find(part), std::string::npos)
            << c.file << ": " << what << " lacks " << part;
      }
    }
  }
}

// A network of the given sizes with extra links across and within layers and assorted attributes.
Perceptron RandomNetwork(const std::vector<int>& sizes, unsigned seed) {
  testing::ScopedRandomSource source(seed);
  Perceptron net(sizes);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any(0, 1000);
  const int layers = static_cast<int>(sizes.size());
  for (int extra = 0; extra < 10; ++extra) {
    const int x = 1 + any(rng) % (layers - 1);
    const int y = any(rng) % sizes[static_cast<std::size_t>(x)];
    const int sx = any(rng) % layers;
    const int sy = any(rng) % sizes[static_cast<std::size_t>(sx)];
    net.setWeight(x, y, sx, sy);  // across, within, or towards later layers
    net.setWeight(x, y, sx, sy, (any(rng) - 500) * 1e-3 / 3.0);
  }
  for (const auto& elem : net.GetMPL()) {
    if (elem->x == 0) continue;
    elem->kernel->SetAttr(Neuron::ATTR_ATYPE, any(rng) % 4);
    elem->kernel->SetAttr(Neuron::ATTR_ALPHA, any(rng) * 1e-2 / 7.0);
    elem->kernel->setThreshold(-(any(rng) * 1e-3) / 3.0);
  }
  return net;
}

// The link-key matcher the reader and the tool share: "(\d+)_(\d+)$", searched anywhere.
TEST(NetworkFileReaderTest, LinkKeysAreTheTwoDigitGroupsAtTheEnd) {
  const struct {
    const char* key;
    const char* layer;  // nullptr: no link
    const char* index;
  } cases[] = {
      {"0_1", "0", "1"},          {"x00_12", "00", "12"},   {"1_2_3", "2", "3"},
      {"0_1a", nullptr, nullptr}, {"_1", nullptr, nullptr}, {"1_", nullptr, nullptr},
      {"a_1", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<LinkKey> link = MatchLinkKey(c.key);
    ASSERT_EQ(link.has_value(), c.layer != nullptr) << c.key;
    if (!link) continue;
    EXPECT_EQ(std::string(link->layer) + "," + std::string(link->index),
              std::string(c.layer) + "," + c.index);
  }
}

TEST(NetworkFileRoundTripTest, SaveLoadSaveGivesTheSameTextAndOutputs) {
  const std::vector<std::vector<int>> shapes = {{2, 1}, {3, 4, 2}, {5, 7, 6, 3}, {12, 11, 2}};
  unsigned seed = 1;
  for (const std::vector<int>& shape : shapes) {
    TempDir dir;
    Perceptron original = RandomNetwork(shape, ++seed);
    const std::string first = Save(original, dir.file("first.ini"));
    std::unique_ptr<Perceptron> loaded = Load(dir.file("first.ini"));
    const std::string second = Save(*loaded, dir.file("second.ini"));
    // Loading sorts the elements, so the second text is the first one's sections in sorted order:
    // saving that network once more must give the second text exactly.
    EXPECT_EQ(Save(*Load(dir.file("second.ini")), dir.file("third.ini")), second);
    EXPECT_EQ(first.size(), second.size());
    EXPECT_EQ(loaded->GetNCount(), original.GetNCount());

    std::vector<double> in(static_cast<std::size_t>(shape[0]));
    for (int pass = 0; pass < 3; ++pass) {
      for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = 0.25 * static_cast<double>(i + pass) - 1.0;
      }
      original.Run(in);
      loaded->Run(in);
      const std::vector<double> a = original.GetOutput();
      const std::vector<double> b = loaded->GetOutput();
      ASSERT_EQ(a.size(), b.size());
      for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(a[i], b[i], 1e-13 * std::max(1.0, std::fabs(a[i])));
      }
    }
  }
}

// The public face: SavePerceptron writes what the host's save writes into a new file, replacing
// whatever the file held, and LoadPerceptron builds what the host's load builds.
TEST(PublicNetworkFileTest, SaveAndLoadAgreeWithTheHostsSaveAndLoad) {
  TempDir dir;
  const Perceptron original = RandomNetwork({3, 5, 2}, 7);
  const std::string path = dir.file("net.ini");
  std::ofstream(path) << "[Recipe]\nwindow=5\n";
  SavePerceptron(original, path);
  EXPECT_EQ(ReadFile(path), Save(original, dir.file("host.ini")));
  const Perceptron loaded = LoadPerceptron(path);
  EXPECT_EQ(Save(loaded, dir.file("again.ini")), Save(*Load(path), dir.file("host-again.ini")));
  Perceptron example = LoadPerceptron(kData + "/example_2_1.ini");
  example.Run({1.0, 2.0});
  EXPECT_EQ(example.GetOutput(), std::vector<double>{kExampleOutput});
}

// Every failure throws one type naming the place, and a failed save leaves the file as it was.
TEST(PublicNetworkFileTest, FailuresNameThePlaceAndChangeNothing) {
  TempDir dir;
  const std::string kept = dir.file("kept.ini");
  std::ofstream(kept) << "keep";
  namespace fs = std::filesystem;
  fs::permissions(kept, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const Perceptron net = MakeExampleNetwork();
  struct Case {
    std::string file;
    std::function<void()> call;
    std::string section;
    std::string key;
    std::string reason;  // the start of it
  };
  const std::string missing = dir.file("missing.ini");
  const std::string malformed = kData + "/malformed_threshold.ini";
  const std::string no_folder = dir.file("no/such/folder.ini");
  const Case cases[] = {
      {missing, [&] { LoadPerceptron(missing); }, "", "", "no such file"},
      {dir.path().string(), [&] { LoadPerceptron(dir.path().string()); }, "", "",
       "the file exists but cannot be read"},
      {malformed, [&] { LoadPerceptron(malformed); }, "Neuron_00", "threshold",
       "\"0.1.2\" is not a number"},
      {no_folder, [&] { SavePerceptron(net, no_folder); }, "", "", "the file could not be written"},
      {kept, [&] { SavePerceptron(net, kept); }, "", "", "the file could not be written"},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.file << ": no error";
    } catch (const NetworkFileError& e) {
      EXPECT_EQ(e.file(), c.file);
      EXPECT_EQ(e.section(), c.section);
      EXPECT_EQ(e.key(), c.key);
      EXPECT_EQ(e.reason().rfind(c.reason, 0), 0u) << e.reason();
      const std::string place =
          c.section.empty() ? "" : ", section [" + c.section + "], key \"" + c.key + "\"";
      EXPECT_EQ(e.what(), "network file \"" + c.file + "\"" + place + ": " + e.reason());
    }
  }
  EXPECT_FALSE(fs::exists(dir.file("no")));
  EXPECT_EQ(ReadFile(kept), "keep");
}

TEST(NetworkFileRoundTripTest, OneThirdIsStoredWithFifteenDigitsAndStaysStable) {
  TempDir dir;
  Perceptron net = MakeExampleNetwork();
  net.setWeight(1, 0, 0, 0, 1.0 / 3.0);
  const std::string first = Save(net, dir.file("a.ini"));
  EXPECT_NE(first.find("0_0=0.333333333333333\r\n"), std::string::npos);
  const std::unique_ptr<Perceptron> loaded = Load(dir.file("a.ini"));
  EXPECT_EQ(loaded->getElem(1, 0)->kernel->getSynapses()[0].weight, 0.333333333333333);
  EXPECT_EQ(Save(*loaded, dir.file("b.ini")), first);
}

}  // namespace
}  // namespace mplnet
