// Hostile and huge network files, made here rather than committed: each one either loads or is
// refused with a reason that names the place, without crashing, hanging or allocating beyond a
// small multiple of the file's size. Also the regression tests of what fuzzing found.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/engine.h"
#include "persistence/ini_file.h"
#include "persistence/number_text.h"
#include "persistence/profile_file.h"
#include "persistence/profile_test_util.h"
#include "test_support.h"

// Every allocation of this program is counted, so that a case can bound what loading a file
// allocates at its peak.
namespace {
std::atomic<std::size_t> live_bytes{0};
std::atomic<std::size_t> peak_bytes{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  const std::size_t live = live_bytes.fetch_add(size) + size;
  std::size_t peak = peak_bytes.load();
  while (live > peak && !peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(block) + kHeader;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - kHeader;
  live_bytes.fetch_sub(*static_cast<std::size_t*>(block));
  std::free(block);
}

void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}

// The library's sorts take their buffers through the nothrow form, and free them through the
// delete above: both forms must lay blocks out the same way (a sanitizer's own nothrow form would
// not).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void operator delete(void* p, const std::nothrow_t&) noexcept {
  operator delete(p);
}

namespace mplnet {
namespace {

using namespace std::string_literals;
using testing::ReadBytes;
using testing::WriteBytes;

// One element's two sections as the writer lays them out, with its links ("a_b=w" lines).
std::string Element(const std::string& x, const std::string& y, const std::string& links = "",
                    const std::string& threshold = "0.1", const std::string& atype = "2",
                    const std::string& ntype = "3") {
  const std::string key = x + y;
  return "[Neuron_" + key + "]\r\nX=" + x + "\r\nY=" + y + "\r\natype=" + atype +
         "\r\nntype=" + ntype + "\r\nthreshold=" + threshold + "\r\nalpha=2\r\n[Synapse_" + key +
         "]\r\nX=" + x + "\r\nY=" + y + "\r\n" + links;
}

std::string Input(const std::string& y) {
  return Element("0", y, "0_0=1\r\n", "0", "0", "1");
}

std::string Example() {
  return testing::Fixture("example_2_1.ini");
}

std::string Utf16Le(std::string_view ascii) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string Repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

struct Loaded {
  std::unique_ptr<Perceptron> net;  // null when refused
  std::string reason;               // why it was refused
  std::size_t peak = 0;             // bytes allocated at the peak, beyond those before
};

// Loads the file and, when it loaded, runs the network once on ones.
Loaded LoadAndRun(const std::string& path) {
  Loaded result;
  const std::size_t before = live_bytes.load();
  peak_bytes.store(before);
  try {
    CIniFile ini;
    ini.SetFileName(path);
    const char* code = nullptr;
    result.net = ini.LoadMPL(code);
    result.net->Run(std::vector<double>(static_cast<std::size_t>(result.net->GetLayerSize(0)), 1));
  } catch (const NetworkFileError& e) {
    result.reason = e.what();
  }
  result.peak = peak_bytes.load() - before;
  return result;
}

struct HostileCase {
  const char* name;
  std::function<std::string()> content;
  // For a file that must load: a check of the network. For one that must be refused: nullptr.
  std::function<void(const Perceptron&)> check;
  const char* reason = "";  // a fragment of the refusal's reason
};

void ElementCount(const Perceptron& net, std::size_t n) {
  EXPECT_EQ(net.GetMPL().size(), n);
}

double Threshold(const Perceptron& net, unsigned x, unsigned y) {
  const std::shared_ptr<Elem> elem = net.getElem(static_cast<int>(x), static_cast<int>(y));
  return elem != nullptr ? elem->kernel->getThreshold() : -1.0;
}

const std::vector<HostileCase>& Cases() {
  static const std::vector<HostileCase> cases = {
      // Huge.
      {"100000 sections",
       [] {
         std::string text;
         for (int i = 0; i < 50000; ++i) text += Input(std::to_string(i));
         return text;
       },
       [](const Perceptron& net) { EXPECT_EQ(net.GetLayerSize(0), 50000); }},
      {"100000 links in one section",
       [] {
         std::string links;
         // Sources (0, 0) .. (0, 49999) and (1, 0) .. (1, 49999): 100,000 distinct keys.
         for (int i = 0; i < 100000; ++i) {
           links += std::to_string(i / 50000) + "_" + std::to_string(i % 50000) + "=0.5\r\n";
         }
         return Input("0") + Element("1", "0", links);
       },
       [](const Perceptron& net) {
         EXPECT_EQ(net.getElem(1, 0)->kernel->synapse_links.size(), 100000u);
       }},
      {"200000 empty entries that name no link, in a link section",
       [] { return Input("0") + Element("1", "0", "0_0=1\n" + Repeat("k=\n", 200000)); },
       [](const Perceptron& net) {
         EXPECT_EQ(net.getElem(1, 0)->kernel->synapse_links.size(), 1u);
       }},
      {"one section 20000 times", [] { return Repeat(Input("0"), 20000); },
       [](const Perceptron& net) { ElementCount(net, 1); }},
      {"a comment line of 8 MB",
       [] { return ";" + std::string(8 << 20, 'c') + "\r\n" + Example(); },
       [](const Perceptron& net) { ElementCount(net, 3); }},
      {"a value of 4 MB is read as its first 254 characters",
       [] { return Input("0") + Element("1", "0", "0_0=1\r\n", std::string(4 << 20, '1')); },
       [](const Perceptron& net) {
         EXPECT_EQ(Threshold(net, 1, 0), *ParseReal(std::string(254, '1')));
       }},
      {"a key of 4 MB", [] { return Example() + std::string(4 << 20, 'k') + "=1\r\n"; },
       [](const Perceptron& net) { ElementCount(net, 3); }},
      {"a section name of 4 MB",
       [] {
         return Input("0") + "[Neuron_" + std::string(4 << 20, 'n') +
                "]\r\nX=1\r\nY=0\r\natype=1\r\nntype=3\r\nthreshold=0\r\nalpha=1\r\n";
       },
       [](const Perceptron& net) { ElementCount(net, 2); }},
      {"4 MB of '[' without a line end", [] { return std::string(4 << 20, '['); },
       [](const Perceptron& net) { ElementCount(net, 0); }},
      // Positions.
      {"positions at 65535",
       [] {
         return Input("0") + Element("65535", "65535", "0_0=1\r\n65535_65535=2\r\n") +
                Element("1", "65535", "0_0=1\r\n");
       },
       [](const Perceptron& net) {
         EXPECT_EQ(net.GetLCount(), 65536);
         EXPECT_EQ(net.getElem(65535, 65535)->kernel->synapse_links.size(), 2u);
       }},
      {"X of 65536", [] { return Element("65536", "0"); }, nullptr, "0 to 65535"},
      {"a link from 65536", [] { return Input("0") + Element("1", "0", "0_65536=1\r\n"); }, nullptr,
       "beyond 65535"},
      {"X of -1", [] { return Element("-1", "0"); }, nullptr, "0 to 65535"},
      {"X of -0 is 0", [] { return Element("-0", "0"); },
       [](const Perceptron& net) { EXPECT_NE(net.getElem(0, 0), nullptr); }},
      // Bytes that are not text.
      {"a NUL inside a value", [] { return Input("0") + Element("1", "0", "", "0\0.5"s); }, nullptr,
       "\"0\\x00.5\" is not a number"},
      {"a link key of 4 MB digits",
       [] { return Input("0") + Element("1", "0", std::string(4 << 20, '7') + "_0=1\r\n"); },
       nullptr, "lies beyond 65535"},
      {"a NUL inside a key",
       [] {
         std::string text = Element("1", "0");
         text.replace(text.find("threshold"), 9, "thres\0hold"s);
         return text;
       },
       nullptr, "no entry found"},
      {"NULs in a comment and a section name",
       [] {
         std::string text = ";\0\0\0\r\n"s + Example();
         text.replace(text.find("[Neuron_10]"), 11, "[Neu\0ron_10]"s);
         text += "[Neuron\0_20]\r\nX=2\r\nY=0\r\natype=1\r\nntype=3\r\n"s +
                 "threshold=0\r\nalpha=1\r\n";
         return text;
       },
       // "Neu\0ron" is no neuron section, so (1, 0) is missing; "Neuron\0_20" is one.
       [](const Perceptron& net) {
         EXPECT_EQ(net.getElem(1, 0), nullptr);
         EXPECT_NE(net.getElem(2, 0), nullptr);
       }},
      {"1 MB of NULs", [] { return std::string(1 << 20, '\0'); },
       [](const Perceptron& net) { ElementCount(net, 0); }},
      {"invalid UTF-8 in names",
       [] {
         std::string text = Example();
         text.replace(text.find("[Neuron_10]"), 11, "[Neuron_\xFF\xC0\xAF]");
         text.replace(text.find("alpha=2"), 5,
                      "\xF0\x28\x8C\xBC\xFF"
                      "alpha");
         return text;
       },
       [](const Perceptron& net) {
         ElementCount(net, 3);
         EXPECT_EQ(net.GetAttr(1, 0, Neuron::ATTR_ALPHA), 2.0);
       }},
      {"invalid UTF-8 in a value", [] { return Input("0") + Element("1", "0", "", "\xC0\xAF"); },
       nullptr, "is not a number"},
      {"a value of 300 truncated UTF-8 sequences",
       [] { return Input("0") + Element("1", "0", "", std::string(300, '\xF0')); }, nullptr,
       "is not a number"},
      {"UTF-16 without a byte-order mark reads as no sections of a network",
       [] { return Utf16Le(Example()); }, [](const Perceptron& net) { ElementCount(net, 0); }},
      {"UTF-16 big-endian reads as no sections of a network",
       [] {
         const std::string little = Utf16Le(Example());
         std::string big = "\xFE\xFF";
         for (std::size_t i = 0; i < little.size(); i += 2) {
           big += little[i + 1];
           big += little[i];
         }
         return big;
       },
       [](const Perceptron& net) { ElementCount(net, 0); }},
      {"UTF-16 little-endian with its mark loads", [] { return "\xFF\xFE" + Utf16Le(Example()); },
       [](const Perceptron& net) { ElementCount(net, 3); }},
      // Numbers.
      {"a threshold of 1e400", [] { return Input("0") + Element("1", "0", "", "1e400"); }, nullptr,
       "\"1e400\" is not a number"},
      {"a weight of 1e-400, which would silently become 0",
       [] { return Input("0") + Element("1", "0", "0_0=1e-400\r\n"); }, nullptr,
       "\"1e-400\" is not a number"},
      {"nan, -0 and Infinity",
       [] {
         return Input("0") + Element("1", "0", "0_0=-0\r\n", "nan") +
                Element("2", "0", "1_0=1\r\n", "-Infinity");
       },
       [](const Perceptron& net) {
         EXPECT_TRUE(std::isnan(Threshold(net, 1, 0)));
         EXPECT_EQ(Threshold(net, 2, 0), -std::numeric_limits<double>::infinity());
         EXPECT_EQ(net.getElem(1, 0)->kernel->getSynapses()[0].weight, 0.0);
       }},
      {"types that are not types keep the defaults",
       [] { return Input("0") + Element("1", "0", "0_0=1\r\n", "0.1", "nan", "1e300"); },
       [](const Perceptron& net) {
         EXPECT_EQ(net.GetAttr(1, 0, Neuron::ATTR_ATYPE), 0.0);
         EXPECT_EQ(net.GetAttr(1, 0, Neuron::ATTR_NTYPE), 1.0);
       }},
      {"hexadecimal", [] { return Input("0") + Element("1", "0", "", "0x1p3"); }, nullptr,
       "is not a number"},
      // Links.
      {"cycles of links, a link to itself and one to nothing",
       [] {
         return Input("0") + Element("1", "0", "0_0=1\r\n2_0=0.5\r\n1_0=0.25\r\n") +
                Element("2", "0", "1_0=1\r\n7_7=3\r\n");
       },
       [](const Perceptron& net) { ElementCount(net, 3); }},
  };
  return cases;
}

TEST(HostileFileTest, EachFileLoadsOrIsRefusedWithAReason) {
  testing::TempDir dir;
  const std::string path = dir.file("hostile.ini");
  for (const HostileCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string content = c.content();
    WriteBytes(path, content);
    const Loaded loaded = LoadAndRun(path);
    if (c.check != nullptr) {
      ASSERT_NE(loaded.net, nullptr) << loaded.reason;
      c.check(*loaded.net);
      // The run ended, and gave the last layer's outputs.
      EXPECT_EQ(loaded.net->GetOutput().size(),
                static_cast<std::size_t>(loaded.net->GetLayerSize(loaded.net->GetLCount() - 1)));
    } else {
      EXPECT_EQ(loaded.net, nullptr);
      // The reason names the file, the section and the key, in one short line of printable text.
      EXPECT_NE(loaded.reason.find(path), std::string::npos) << loaded.reason;
      EXPECT_NE(loaded.reason.find("section ["), std::string::npos) << loaded.reason;
      EXPECT_NE(loaded.reason.find(c.reason), std::string::npos) << loaded.reason;
      EXPECT_LT(loaded.reason.size(), 512u);
      EXPECT_EQ(std::count_if(loaded.reason.begin(), loaded.reason.end(),
                              [](char ch) { return ch >= 0 && ch < 0x20; }),
                0)
          << loaded.reason;
    }
    // Bounded by the file: at most a small multiple of its size, beyond a fixed allowance.
    EXPECT_LE(loaded.peak, 48 * content.size() + (4u << 20)) << content.size() << " bytes";
  }
}

// Found by fuzzing the number reader: the writer's 15 digits round the largest doubles up to
// 1.79769313486232E+308, just beyond the largest double, and the reader refused that text.
TEST(FuzzRegressionTest, LargestDoubleReadsBack) {
  const double max = std::numeric_limits<double>::max();
  const struct {
    const char* text;
    std::optional<double> value;
  } cases[] = {{"1.79769313486232E+308", max},
               {"-1.79769313486232e308", -max},
               {"179769313486232E+294", max},
               {"1.7976931348623159E+308", max},
               {"1.797693134862321E+308", std::nullopt},
               {"1.8E+308", std::nullopt},
               {"1E+309", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ParseReal(c.text, NumberSymbols{}), c.value) << c.text;

  testing::TempDir dir;
  const std::string path = testing::CopyFixture(dir, "largest_double.ini");
  CIniFile ini;
  ASSERT_EQ(ini.SetFileName(path), path);
  const char* code = nullptr;
  const std::unique_ptr<Perceptron> net = ini.LoadMPL(code);
  EXPECT_EQ(net->getElem(1, 0)->kernel->getThreshold(), max);
  EXPECT_EQ(net->getElem(1, 0)->kernel->getSynapses()[1].weight, -max);
  // Saved again, the same text: the value survives any number of round trips.
  const std::string copy = dir.file("copy.ini");
  CIniFile writer;
  ASSERT_EQ(writer.SetFileName(copy), copy);
  ASSERT_STREQ(writer.SaveMPL(*net), " MPL network save");
  EXPECT_EQ(ReadBytes(copy), testing::Fixture("largest_double.ini"));
}

// Found by fuzzing the profile-file parser: a UTF-16 file ending in a stray odd byte had a line end
// appended right after that byte, so every line written after it was read one byte out of step.
TEST(FuzzRegressionTest, Utf16FileWithAStrayOddByteKeepsLaterLinesInStep) {
  testing::TempDir dir;
  const std::string path = testing::CopyFixture(dir, "utf16_odd_trailing_byte.ini");
  const std::string before = ReadBytes(path);
  ASSERT_EQ(before.size() % 2, 1u);
  {
    ProfileDocument document(path);
    ASSERT_TRUE(document.SetValue("Added", "key", "value"));
    ASSERT_TRUE(document.Commit());
  }
  // The old bytes stay, the stray byte becomes a whole unit, and the new lines follow in step.
  EXPECT_EQ(ReadBytes(path), before + '\0' + Utf16Le("\r\n[Added]\r\nkey=value\r\n"));
  const ProfileDocument reread(path);
  EXPECT_EQ(reread.Value("Added", "key"), std::optional<std::string_view>("value"));
  EXPECT_EQ(reread.Value("Wide", "name"), std::optional<std::string_view>("Zo\xC3\xAB"));
}

}  // namespace
}  // namespace mplnet
