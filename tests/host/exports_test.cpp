// The run exports and the facade behind them, with networks placed in the facade by the tests.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/tavra_dll.h"
#include "mplnet/mplnet.h"
#include "test_support.h"

namespace mplnet {
namespace {

class RunExportTest : public ::testing::Test {
 protected:
  void SetUp() override { MPL.net = std::make_unique<Perceptron>(); }
  void TearDown() override { MPL.net = std::make_unique<Perceptron>(); }
  static void Place(Perceptron p) { MPL.net = std::make_unique<Perceptron>(std::move(p)); }
};

TEST_F(RunExportTest, WorkedExampleThroughTheExports) {
  Place(testing::MakeExampleNetwork());
  ASSERT_EQ(MPLGetOutArraySize(), 1);
  double out[1] = {-1.0};
  const double in[2] = {1.0, 2.0};
  const char* status = MPLRun(out, in, 2);
  EXPECT_STREQ(status, "test");
  EXPECT_NEAR(out[0], testing::kExampleOutput, 1e-15);
  // The same constant text on every call.
  EXPECT_EQ(MPLRun(out, in, 2), status);
  const double longer[3] = {1.0, 2.0, 1e9};
  EXPECT_STREQ(MPLRun(out, longer, 3), "test");
  EXPECT_NEAR(out[0], testing::kExampleOutput, 1e-15);
}

TEST_F(RunExportTest, RefusedCallsWriteNothing) {
  double out[2] = {-1.0, -1.0};
  const double in[2] = {1.0, 2.0};
  EXPECT_EQ(MPLGetOutArraySize(), 0);
  EXPECT_STREQ(MPLRun(out, in, 2), "Error: MPLRun, no network loaded");
  EXPECT_STREQ(MPLRun(nullptr, nullptr, -1), "Error: MPLRun, no network loaded");
  Place(testing::MakeExampleNetwork());
  EXPECT_STREQ(MPLRun(nullptr, in, 2), "Error: MPLRun, array is NULL");
  EXPECT_STREQ(MPLRun(out, nullptr, 2), "Error: MPLRun, array is NULL");
  EXPECT_STREQ(MPLRun(out, in, 1), "Error: MPLRun, wrong in_size number");
  EXPECT_STREQ(MPLRun(out, in, -5), "Error: MPLRun, wrong in_size number");
  EXPECT_EQ(out[0], -1.0);
  EXPECT_EQ(out[1], -1.0);
  // A network whose layers are all empty has layers but no outputs: it runs and writes nothing.
  Perceptron hollow;
  hollow.Add(1, 0);
  hollow.Del(1, 0);
  Place(std::move(hollow));
  EXPECT_EQ(MPLGetOutArraySize(), 0);
  EXPECT_STREQ(MPLRun(out, in, 0), "test");
  EXPECT_EQ(out[0], -1.0);
}

TEST_F(RunExportTest, OutputBufferIsReusedWhileTheSizeStays) {
  testing::ScopedRandomSource source;
  Place(Perceptron({2, 3, 4}));
  std::vector<double> out(4);
  const double in[2] = {0.5, -0.5};
  MPLRun(out.data(), in, 2);
  const double* buffer = MPL.out_buffer.get();
  EXPECT_EQ(MPL.out_buffer_size, 4u);
  MPLRun(out.data(), in, 2);
  EXPECT_EQ(MPL.out_buffer.get(), buffer);
  EXPECT_EQ(std::vector<double>(buffer, buffer + 4), out);
}

TEST(OutputBufferTest, CountsBeyondThirtyTwoBitsOfBytesAreRefused) {
  std::unique_ptr<double[]> buffer;
  std::size_t size = 0;
  ReserveOutputs(buffer, size, 3);
  EXPECT_EQ(size, 3u);
  EXPECT_THROW(ReserveOutputs(buffer, size, kMaxOutputCount + 1), std::bad_alloc);
  EXPECT_EQ(size, 3u);  // the old buffer stays usable
  ASSERT_NE(buffer, nullptr);
}

}  // namespace
}  // namespace mplnet
