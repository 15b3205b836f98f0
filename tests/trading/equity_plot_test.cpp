// The backtest's picture as a renderer shows it: rendered to PNG by rsvg-convert (librsvg), the
// pixels must show the equity line rising in the upper panel beside buy and hold, and the drawdown
// only in the panel below. Skipped where rsvg-convert is not installed.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "examples/bar_series.h"
#include "mplnet/backtest.h"
#include "test_support.h"

namespace mplnet {
namespace {

// An 8-bit RGB or RGBA PNG, decoded to RGB.
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgb;
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const {
    return &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
  }
};

std::uint32_t BigEndian(const std::string& s, std::size_t at) {
  return (std::uint32_t{static_cast<std::uint8_t>(s[at])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(s[at + 1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(s[at + 2])} << 8) |
         std::uint32_t{static_cast<std::uint8_t>(s[at + 3])};
}

// Decodes what rsvg-convert writes: 8 bits per channel, RGB or RGBA, not interlaced. RGBA is
// composed over white.
Image DecodePng(const std::string& file) {
  Image image;
  if (file.size() < 33 || file.compare(1, 3, "PNG") != 0) return image;
  std::string idat;
  int channels = 0;
  for (std::size_t at = 8; at + 8 <= file.size();) {
    const std::uint32_t length = BigEndian(file, at);
    const std::string type = file.substr(at + 4, 4);
    if (type == "IHDR") {
      image.width = BigEndian(file, at + 8);
      image.height = BigEndian(file, at + 12);
      const int depth = file[at + 16];
      const int colour = file[at + 17];
      if (depth != 8 || (colour != 2 && colour != 6) || file[at + 20] != 0) return {};
      channels = colour == 6 ? 4 : 3;
    } else if (type == "IDAT") {
      idat += file.substr(at + 8, length);
    }
    at += 12 + length;
  }
  const std::size_t stride = static_cast<std::size_t>(image.width) * channels;
  std::vector<std::uint8_t> raw((stride + 1) * image.height);
  uLongf size = raw.size();
  if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) !=
          Z_OK ||
      size != raw.size()) {
    return {};
  }
  std::vector<std::uint8_t> pixels(stride * image.height);
  for (std::size_t y = 0; y < image.height; ++y) {
    const std::uint8_t filter = raw[y * (stride + 1)];
    const std::uint8_t* in = &raw[y * (stride + 1) + 1];
    std::uint8_t* out = &pixels[y * stride];
    const std::uint8_t* up = y > 0 ? &pixels[(y - 1) * stride] : nullptr;
    for (std::size_t i = 0; i < stride; ++i) {
      const int a = i >= static_cast<std::size_t>(channels) ? out[i - channels] : 0;
      const int b = up != nullptr ? up[i] : 0;
      const int c = up != nullptr && i >= static_cast<std::size_t>(channels) ? up[i - channels] : 0;
      int predicted = 0;
      if (filter == 1) predicted = a;
      if (filter == 2) predicted = b;
      if (filter == 3) predicted = (a + b) / 2;
      if (filter == 4) {
        const int p = a + b - c;
        const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        predicted = pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
      }
      out[i] = static_cast<std::uint8_t>(in[i] + predicted);
    }
  }
  image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  for (std::size_t p = 0; p < static_cast<std::size_t>(image.width) * image.height; ++p) {
    const std::uint8_t* px = &pixels[p * channels];
    const int alpha = channels == 4 ? px[3] : 255;
    for (int k = 0; k < 3; ++k) {
      image.rgb[p * 3 + k] = static_cast<std::uint8_t>((px[k] * alpha + 255 * (255 - alpha)) / 255);
    }
  }
  return image;
}

bool Near(const std::uint8_t* px, int r, int g, int b, int tolerance) {
  return std::abs(px[0] - r) <= tolerance && std::abs(px[1] - g) <= tolerance &&
         std::abs(px[2] - b) <= tolerance;
}

bool HaveRenderer() {
  return std::system("command -v rsvg-convert >/dev/null 2>&1") == 0;
}

TEST(EquityPlotTest, ARendererShowsEquityAboveAndDrawdownBelow) {
  if (!HaveRenderer()) GTEST_SKIP() << "rsvg-convert (Debian's librsvg2-bin) is not installed";
  // Lines that take the next bar's direction eight times in ten and the wrong one twice: equity
  // rises over the series, with drawdowns on the way.
  examples::SeriesOptions series;
  series.bars = 1200;
  const std::vector<RateInfo> bars = examples::MakeBarSeries(series);
  std::vector<AccountLine> lines;
  for (std::size_t k = 0; k + 1 < bars.size(); ++k) {
    const int right = bars[k + 1].close >= bars[k].close ? 1 : -1;
    lines.push_back({bars[k].time, bars[k].close, 0.5, k % 10 < 8 ? right : -right, 0, 0});
  }
  SettleAccount(lines, 1e-4);
  ASSERT_GT(lines.back().equity, 1.5);

  const testing::TempDir dir;
  const std::string svg = EquityPlotSvg(lines, "test & <check>");
  EXPECT_NE(svg.find("2023-11-"), std::string::npos) << "no date on the time axis";
  std::ofstream(dir.file("plot.svg"), std::ios::binary) << svg;
  const std::string command =
      "rsvg-convert \"" + dir.file("plot.svg") + "\" -o \"" + dir.file("plot.png") + "\"";
  ASSERT_EQ(std::system(command.c_str()), 0) << "rsvg-convert refused the picture";
  std::ifstream png(dir.file("plot.png"), std::ios::binary);
  const Image image = DecodePng({std::istreambuf_iterator<char>(png), {}});
  ASSERT_EQ(image.width, 960u);
  ASSERT_EQ(image.height, 600u);

  // The panels' rows: the equity panel from 50 to 390, the drawdown panel from 420 to 550.
  std::size_t blue_above = 0, blue_below = 0, grey_above = 0, red_above = 0, red_below = 0;
  double blue_left = 0, blue_right = 0;
  std::size_t n_left = 0, n_right = 0;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const std::uint8_t* px = image.at(x, y);
      if (Near(px, 0x1f, 0x77, 0xb4, 24)) {
        (y < 400 ? blue_above : blue_below) += 1;
        if (y > 90 && x < 160) blue_left += y, ++n_left;  // past the legend
        if (x > 850) blue_right += y, ++n_right;
      }
      if (Near(px, 0x7f, 0x7f, 0x7f, 12) && y > 90 && y < 390) ++grey_above;
      // The drawdown's red at 60 % over white.
      if (Near(px, 230, 125, 126, 30)) (y < 410 ? red_above : red_below) += 1;
    }
  }
  EXPECT_GT(blue_above, 900u) << "the equity line is missing from the upper panel";
  EXPECT_EQ(blue_below, 0u) << "the equity colour shows below the upper panel";
  EXPECT_GT(grey_above, 500u) << "the buy and hold line is missing";
  EXPECT_GT(red_below, 500u) << "the drawdown is missing from the lower panel";
  EXPECT_EQ(red_above, 0u) << "the drawdown colour shows in the upper panel";
  ASSERT_GT(n_left, 0u);
  ASSERT_GT(n_right, 0u);
  EXPECT_LT(blue_right / n_right + 100, blue_left / n_left) << "the equity line does not rise";
}

}  // namespace
}  // namespace mplnet
