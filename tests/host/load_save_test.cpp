// The load and save exports: name fallback, failures that keep the network or the file as they
// were.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/tavra_dll.h"
#include "mplnet/mplnet.h"
#include "test_support.h"

namespace mplnet {
namespace {

const std::string kData = MPLNET_TEST_DATA_DIR;

[[maybe_unused]] std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double RunExample() {
  double out[1] = {-1.0};
  const double in[2] = {1.0, 2.0};
  EXPECT_STREQ(MPLRun(out, in, 2), "test");
  return out[0];
}

class LoadSaveExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Start every test from the example network, with a name inside this test's own folder.
    ASSERT_STREQ(MPLLoad((kData + "/example_2_1.ini").c_str()), " MPL network load ");
    ASSERT_STREQ(MPLLoad(dir_.file("start.ini").c_str()), " MPL network load ");
    ASSERT_STREQ(MPLLoad((kData + "/example_2_1.ini").c_str()), " MPL network load ");
  }
  void TearDown() override { MPL.net = std::make_unique<Perceptron>(); }

  testing::TempDir dir_;
};

TEST_F(LoadSaveExportTest, MainPathLoadRunSaveLoad) {
  ASSERT_EQ(MPLGetOutArraySize(), 1);
  EXPECT_NEAR(RunExample(), testing::kExampleOutput, 1e-15);
  const std::string saved = dir_.file("saved.ini");
  EXPECT_STREQ(MPLSave(saved.c_str()), " MPL network save");
  EXPECT_STREQ(MPLLoad(saved.c_str()), " MPL network load ");
  EXPECT_NEAR(RunExample(), testing::kExampleOutput, 1e-15);
}

TEST_F(LoadSaveExportTest, MissingFileLoadsEmptyAndAnEmptySaveCreatesNothing) {
  const std::string missing = dir_.file("missing.ini");
  EXPECT_STREQ(MPLLoad(missing.c_str()), " MPL network load ");
  EXPECT_EQ(MPLGetOutArraySize(), 0);
  EXPECT_STREQ(MPLSave(missing.c_str()), " MPL network save");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(LoadSaveExportTest, RefusedNameFallsBackToTheLastAcceptedOne) {
  const std::string saved = dir_.file("kept.ini");
  ASSERT_STREQ(MPLSave(saved.c_str()), " MPL network save");
  MPL.net = std::make_unique<Perceptron>();
  // Neither the file nor its folder exists: the load goes to the last accepted name, kept.ini.
  EXPECT_STREQ(MPLLoad(dir_.file("no/such/folder/net.ini").c_str()), " MPL network load ");
  EXPECT_NEAR(RunExample(), testing::kExampleOutput, 1e-15);
  MPL.net = std::make_unique<Perceptron>();
  EXPECT_STREQ(MPLLoad(nullptr), " MPL network load ");
  EXPECT_NEAR(RunExample(), testing::kExampleOutput, 1e-15);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("no")));
}

TEST_F(LoadSaveExportTest, MalformedFileKeepsTheCurrentNetwork) {
  const double before = RunExample();
  for (const char* file :
       {"missing_alpha.ini", "x_out_of_range.ini", "link_out_of_range.ini", "empty_threshold.ini",
        "malformed_threshold.ini", "malformed_synapse_x.ini", "weight_out_of_range.ini"}) {
    EXPECT_STREQ(MPLLoad((kData + "/" + file).c_str()), "Error: MPLLoad, network file not loaded")
        << file;
    EXPECT_EQ(MPLGetOutArraySize(), 1) << file;
    EXPECT_EQ(RunExample(), before) << file;
  }
  // A file that exists but cannot be read is an error too, not an empty network.
  EXPECT_STREQ(MPLLoad(dir_.path().string().c_str()), "Error: MPLLoad, network file not loaded");
  EXPECT_EQ(RunExample(), before);
}

#ifndef _WIN32
TEST_F(LoadSaveExportTest, SaveThatCannotBeWrittenLeavesTheOldFile) {
  testing::ScopedRandomSource source;
  const std::string path = dir_.file("net.ini");
  ASSERT_STREQ(MPLSave(path.c_str()), " MPL network save");
  const std::string before = ReadFile(path);
  MPL.net = std::make_unique<Perceptron>(Perceptron({20, 30, 5}));
  // At most 4 KiB may be written into any file: far less than the new network's text.
  EXPECT_EQ(testing::WithFileSizeLimit(4096, [&] { return MPLSave(path.c_str()); }),
            "Error: MPLSave, network file not saved");
  EXPECT_EQ(ReadFile(path), before);
  std::vector<std::string> leftovers;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    leftovers.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(leftovers, std::vector<std::string>{"net.ini"});  // no temporary file left behind
}
#endif

}  // namespace
}  // namespace mplnet
