// The mplnet tool end to end: every subcommand through the built program, its outputs compared
// with what the library itself gives on the same files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "mplnet/backtest.h"
#include "mplnet/bar_dataset.h"
#include "mplnet/engine.h"
#include "mplnet/fann_import.h"
#include "mplnet/onnx.h"
#include "mplnet/setting.h"
#include "mplnet/train.h"
#include "mplnet/walkforward.h"
#include "persistence/ini_file.h"
#include "persistence/network_file.h"
#include "test_support.h"
#include "tools/network_report.h"
#include "tools/number_lines.h"

extern char** environ;

namespace mplnet::tool {
namespace {

using testing::TempDir;

const std::string kData = MPLNET_TEST_DATA_DIR;
const std::string kExamples = MPLNET_EXAMPLES_DIR;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// A pseudo-terminal whose far end the tool gets as its standard error.
class Terminal {
 public:
  Terminal() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) name_ = ptsname(master_);
  }
  ~Terminal() {
    if (master_ >= 0) close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  const std::string& name() const { return name_; }
  // What the tool wrote; call after it has ended (reads stop at the closed far end).
  std::string Drain() const {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }

 private:
  int master_;
  std::string name_;
};

// Runs the built tool with `args`, standard input from `stdin_path` (or /dev/null), and its
// standard output and error caught in files of `dir` (standard error on `terminal` if given).
Outcome RunTool(const TempDir& dir, const std::vector<std::string>& args,
                const std::string& stdin_path = "/dev/null", const Terminal* terminal = nullptr) {
  const std::string out_path = dir.file("tool.out");
  const std::string err_path = terminal != nullptr ? terminal->name() : dir.file("tool.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv_text = {MPLNET_TOOL_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  Outcome outcome;
  const int spawned = posix_spawn(&pid, MPLNET_TOOL_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << MPLNET_TOOL_PATH;
    return outcome;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = ReadFile(out_path);
  outcome.err = terminal != nullptr ? terminal->Drain() : ReadFile(err_path);
  return outcome;
}

// What the library gives for each input line run in order through one network, in the tool's
// output format.
std::string LibraryOutputs(const std::string& net_path, const std::string& inputs_text) {
  std::unique_ptr<Perceptron> net = LoadNetworkFile(net_path);
  std::string text;
  for (const std::string& line : Lines(inputs_text)) {
    const NumberLine parsed = ParseNumberLine(line);
    if (parsed.values.empty()) continue;
    net->Run(parsed.values);
    text += JoinShortest(net->GetOutput()) + "\n";
  }
  return text;
}

// ---- number lines
// ---------------------------------------------------------------------------------

TEST(NumberLinesTest, SplitsAtEverySeparatorAndSkipsComments) {
  const struct {
    const char* line;
    std::vector<double> values;
    const char* bad;
  } cases[] = {
      {"1, 2;3 \t4\r", {1, 2, 3, 4}, ""},
      {"  # only a comment, 1 2", {}, ""},
      {"", {}, ""},
      {"-1.5e3;+0.25 # trailing comment 7", {-1500, 0.25}, ""},
      {"0,5", {0, 5}, ""},  // the comma separates: it is never a decimal separator here
      {"1,,;2", {1, 2}, ""},
      {"NaN", {std::numeric_limits<double>::quiet_NaN()}, ""},
      {"1 x 2", {1}, "x"},
      {"1e400", {}, "1e400"},
      {"1.2.3", {}, "1.2.3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const NumberLine parsed = ParseNumberLine(c.line);
    EXPECT_EQ(parsed.bad_piece, c.bad);
    ASSERT_EQ(parsed.values.size(), c.values.size());
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      if (std::isnan(c.values[i])) {
        EXPECT_TRUE(std::isnan(parsed.values[i]));
      } else {
        EXPECT_EQ(parsed.values[i], c.values[i]);
      }
    }
  }
}

// One rule for every line: a comma is a decimal point only between two digits of a number, in a
// line whose numbers semicolons or blanks separate; a line whose commas serve both ways is refused
// as ambiguous, wherever its commas stand.
TEST(NumberLinesTest, DecimalCommaRuleHoldsForEveryLine) {
  const struct {
    const char* line;
    std::vector<double> values;  // when read
    const char* ambiguous;       // the number with a decimal comma named when refused
  } cases[] = {
      {"0,5; 1,25; 1", {0.5, 1.25, 1}, ""},
      {"0,5 -1,25E-3\t7", {0.5, -1.25e-3, 7}, ""},
      {"0,5;", {0.5}, ""},
      {"0.5,1.25,1", {0.5, 1.25, 1}, ""},
      {"0,5,1", {0, 5, 1}, ""},
      {"1, 2, 3", {1, 2, 3}, ""},
      {"1.5,2.5 3", {1.5, 2.5, 3}, ""},  // a number with "." holds no decimal comma
      {"1,2,3 4", {1, 2, 3, 4}, ""},     // nor does one with two commas
      {"1,5, 2,5", {}, "1,5"},
      {"0,5, 0,25, 1", {}, "0,5"},
      {"1,5, 2,5, 0", {}, "1,5"},
      {"1, 2,5", {}, "2,5"},
      {"2,5 1,", {}, "2,5"},
      {"1,5;2,5,3", {}, "1,5"},
      {"0,5,;", {}, "0,5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const NumberLine parsed = ParseNumberLine(c.line);
    EXPECT_EQ(parsed.bad_piece, c.ambiguous);
    EXPECT_EQ(parsed.ambiguous, *c.ambiguous != '\0');
    if (parsed.ambiguous) {
      EXPECT_EQ(
          DescribeBadPiece(parsed).rfind("ambiguous: the line uses commas as decimal points (\"" +
                                             std::string(c.ambiguous) + "\")",
                                         0),
          0u)
          << DescribeBadPiece(parsed);
    } else {
      EXPECT_EQ(parsed.values, c.values);
    }
  }
}

TEST(NumberLinesTest, ShortestTextReadsBackToTheSameDouble) {
  EXPECT_EQ(ShortestText(0.1), "0.1");
  EXPECT_EQ(ShortestText(1e21), "1e+21");
  EXPECT_EQ(ShortestText(-0.0), "-0");
  EXPECT_EQ(ShortestText(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(ShortestText(-std::numeric_limits<double>::infinity()), "-Infinity");
  EXPECT_EQ(JoinShortest({0.5, -2, 1e-7}), "0.5,-2,1e-07");
  std::mt19937_64 bits(7);
  for (int i = 0; i < 2000; ++i) {
    double v = 0;
    do {
      const std::uint64_t b = bits();
      std::memcpy(&v, &b, sizeof v);
    } while (!std::isfinite(v));
    const std::string text = ShortestText(v);
    const NumberLine back = ParseNumberLine(text);
    ASSERT_EQ(back.values.size(), 1u) << text;
    EXPECT_EQ(std::memcmp(&back.values[0], &v, sizeof v), 0) << text;
    char longest[32];
    const auto r =
        std::to_chars(longest, longest + sizeof longest, v, std::chars_format::general, 17);
    EXPECT_LE(text.size(), static_cast<std::size_t>(r.ptr - longest)) << text;
  }
}

// ---- run
// ------------------------------------------------------------------------------------------

TEST(ToolRunTest, XorExampleGivesTheTruthTable) {
  TempDir dir;
  const Outcome r = RunTool(dir, {"run", kExamples + "/xor.ini", kExamples + "/xor-inputs.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = Lines(r.out);
  const double truth[] = {0, 1, 1, 0};
  ASSERT_EQ(lines.size(), 4u) << r.out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const NumberLine out = ParseNumberLine(lines[i]);
    ASSERT_EQ(out.values.size(), 1u) << lines[i];
    EXPECT_NEAR(out.values[0], truth[i], 0.05) << "row " << i;
  }
  EXPECT_EQ(r.out, LibraryOutputs(kExamples + "/xor.ini", ReadFile(kExamples + "/xor-inputs.txt")));
}

// The hand-written example is exactly what the writer writes for it, its comment lines aside: a
// reader who copies its layout gets a file the library reads and writes back unchanged.
TEST(ToolRunTest, XorExampleIsInTheWritersOwnLayout) {
  TempDir dir;
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(kExamples + "/xor.ini");
  CIniFile ini;
  ini.SetFileName(dir.file("saved.ini"));
  ASSERT_STREQ(ini.SaveMPL(*net), " MPL network save");
  std::string without_comments;
  for (const std::string& line : Lines(ReadFile(kExamples + "/xor.ini"))) {
    if (line.rfind(';', 0) != 0) without_comments += line + "\n";
  }
  EXPECT_EQ(ReadFile(dir.file("saved.ini")), without_comments);
}

TEST(ToolRunTest, OutputsEqualTheLibrarysOnTheSameInputsFromFileOrStdin) {
  TempDir dir;
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> value(-3, 3);
  const char* separators[] = {",", ", ", ";", " ", "\t"};
  std::string inputs = "# ten values per line\n\n";
  for (int line = 0; line < 25; ++line) {
    for (int i = 0; i < 10; ++i) {
      if (i > 0) inputs += separators[(line + i) % 5];
      inputs += ShortestText(value(gen));
    }
    inputs += line % 7 == 0 ? " # comment\r\n" : "\n";
  }
  const std::string inputs_path = dir.file("inputs.txt");
  WriteFile(inputs_path, inputs);
  const std::string net = kExamples + "/net-10-20-5.ini";
  const std::string expected = LibraryOutputs(net, inputs);
  EXPECT_EQ(Lines(expected).size(), 25u);
  EXPECT_EQ(Lines(Lines(expected)[0]).size(), 1u);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"run", net, inputs_path}, {"run", net, "-"}, {"run", net}}) {
    const Outcome r = RunTool(dir, args, inputs_path);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, expected) << args.size();
  }
}

TEST(ToolRunTest, StopsAtTheFirstBadLineWithItsNumber) {
  TempDir dir;
  const std::string net = kExamples + "/xor.ini";
  const struct {
    const char* inputs;
    const char* message;
    std::size_t lines_printed;
  } cases[] = {
      {"0 1\n# c\n1\n1 1\n", "mplnet: line 3: expected 2 values, found 1\n", 1},
      {"0 1\n1 1\n0 one\n", "mplnet: line 3: \"one\" is not a number\n", 2},
      // A byte-order mark before the first line is skipped, as the data table's reader does.
      {"\xEF\xBB\xBF"
       "0 1\n1\n",
       "mplnet: line 2: expected 2 values, found 1\n", 1},
      {"0 1\n0,5, 0,25, 1\n",
       "mplnet: line 2: ambiguous: the line uses commas as decimal points (\"0,5\") and as "
       "separators (\"0,5,\"); write \".\" as the decimal point, or separate the numbers by "
       "semicolons or blanks alone\n",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inputs);
    WriteFile(dir.file("in.txt"), c.inputs);
    const Outcome r = RunTool(dir, {"run", net, dir.file("in.txt")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(Lines(r.out).size(), c.lines_printed);
  }
}

// A program that feeds run one line and waits for its answer gets it before it sends the next.
TEST(ToolRunTest, AnswersEachLineBeforeTheNextArrives) {
  int to_tool[2], from_tool[2];
  ASSERT_EQ(pipe(to_tool), 0);
  ASSERT_EQ(pipe(from_tool), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_tool[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_tool[1], 1);
  for (const int fd : {to_tool[0], to_tool[1], from_tool[0], from_tool[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::string tool = MPLNET_TOOL_PATH, run = "run", net = kExamples + "/xor.ini";
  char* argv[] = {tool.data(), run.data(), net.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(to_tool[0]);
  close(from_tool[1]);
  ASSERT_EQ(write(to_tool[1], "0 1\n", 4), 4);
  pollfd answer{from_tool[0], POLLIN, 0};
  EXPECT_EQ(poll(&answer, 1, 10000), 1) << "no answer to the first line within 10 s";
  char text[64];
  const ssize_t n = answer.revents & POLLIN ? read(from_tool[0], text, sizeof text) : 0;
  EXPECT_EQ(std::string(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0))),
            "0.999954519621495\n");
  close(to_tool[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(from_tool[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ToolRunTest, RefusesNetworksThatDoNotLoad) {
  TempDir dir;
  const struct {
    std::string net;
    std::string message_part;
  } cases[] = {
      {dir.file("missing.ini"), "missing.ini\" does not exist"},
      {dir.path().string(), "is not a regular file"},
      {kData + "/missing_alpha.ini", "section [Neuron_00]"},
      {kData + "/only_general.ini", "holds no network"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.net);
    const Outcome r = RunTool(dir, {"run", c.net, kExamples + "/xor-inputs.txt"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.message_part), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  const Outcome r = RunTool(dir, {"run", kExamples + "/xor.ini", dir.file("no-inputs.txt")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot open inputs file"), std::string::npos) << r.err;
}

// ---- new
// ------------------------------------------------------------------------------------------

TEST(ToolNewTest, SameSeedGivesTheSameFile) {
  TempDir dir;
  const std::string a = dir.file("a.ini");
  const std::string b = dir.file("b.ini");
  const std::string c = dir.file("c.ini");
  ASSERT_EQ(RunTool(dir, {"new", "3", "4", "2", "--seed", "9", "-o", a}).exit_code, 0);
  ASSERT_EQ(RunTool(dir, {"new", "3", "4", "2", "--seed", "9", "-o", b}).exit_code, 0);
  ASSERT_EQ(RunTool(dir, {"new", "3", "4", "2", "--seed", "10", "-o", c}).exit_code, 0);
  EXPECT_EQ(ReadFile(a), ReadFile(b));
  EXPECT_NE(ReadFile(a), ReadFile(c));

  std::unique_ptr<Perceptron> net = LoadNetworkFile(a);
  EXPECT_EQ(net->GetNCount(), (std::vector<int>{3, 4, 2}));
  EXPECT_EQ(net->getElem(2, 1)->kernel->getCount(), 4);
  EXPECT_EQ(net->getElem(1, 3)->kernel->getCount(), 3);
  EXPECT_TRUE(CheckNetwork(a, *net).empty());
}

TEST(ToolNewTest, ExampleNetworkIsWhatItsCommandMakes) {
  TempDir dir;
  const std::string made = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "10", "20", "5", "--seed", "42", "-o", made}).exit_code, 0);
  EXPECT_EQ(ReadFile(made), ReadFile(kExamples + "/net-10-20-5.ini"));
}

TEST(ToolNewTest, WithoutSeedDrawsSlowlyAndQuietlyWhenNotOnATerminal) {
  TempDir dir;
  const std::string path = dir.file("slow.ini");
  const Outcome r = RunTool(dir, {"new", "1", "1", "-o", path});  // 3 draws of 50 ms
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(LoadNetworkFile(path)->GetNCount(), (std::vector<int>{1, 1}));
}

TEST(ToolNewTest, ProgressBarCountsEveryDrawOnATerminal) {
  TempDir dir;
  Terminal terminal;
  ASSERT_FALSE(terminal.name().empty());
  const std::string path = dir.file("net.ini");
  // 2 input links, then (1 threshold + 2 links) for each of 2 hidden and 1 output element: 11.
  const Outcome r = RunTool(dir, {"new", "2", "2", "1", "-o", path}, "/dev/null", &terminal);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("] 0/11 draws"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("] 10/11 draws"), std::string::npos) << r.err;
  const std::size_t last = r.err.rfind("\r[");
  ASSERT_NE(last, std::string::npos);
  // The terminal turns the closing line end into CR LF.
  EXPECT_EQ(r.err.substr(last), "\r[##############################] 11/11 draws, 0 s left \r\n");
  EXPECT_EQ(LoadNetworkFile(path)->GetNCount(), (std::vector<int>{2, 2, 1}));
}

TEST(ToolNewTest, NeverOverwritesWithoutForceAndReplacesWholeWithIt) {
  TempDir dir;
  const std::string path = dir.file("net.ini");
  WriteFile(path, "my network\n");
  Outcome r = RunTool(dir, {"new", "2", "1", "--seed", "1", "-o", path});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("exists; pass --force"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(path), "my network\n");

  ASSERT_EQ(RunTool(dir, {"new", "3", "4", "2", "--seed", "1", "-o", path, "--force"}).exit_code,
            0);
  r = RunTool(dir, {"new", "2", "1", "--seed", "1", "-o", path, "--force"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The smaller network replaced the larger one whole: none of its sections stayed behind.
  EXPECT_EQ(LoadNetworkFile(path)->GetNCount(), (std::vector<int>{2, 1}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            3);  // net.ini and the tool's two output files: no temporary file left

  // The library's writer refuses a read-only file, --force or not.
  const std::string kept = ReadFile(path);
  using std::filesystem::perms;
  std::filesystem::permissions(path, perms::owner_write | perms::group_write | perms::others_write,
                               std::filesystem::perm_options::remove);
  r = RunTool(dir, {"new", "3", "1", "--seed", "1", "-o", path, "--force"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(path), kept);
}

TEST(ToolNewTest, RefusesSizesAndPlacesItCannotServe) {
  TempDir dir;
  const std::string out = dir.file("n.ini");
  const struct {
    std::vector<std::string> args;
    const char* message_part;
  } cases[] = {
      {{"new", "2", "0", "1", "-o", out}, "layer size \"0\" is not a whole number from 1 to 65536"},
      {{"new", "2", "70000", "-o", out}, "layer size \"70000\""},
      {{"new", "2", "x", "-o", out}, "mplnet: "},
      {{"new", "-o", out}, "SIZES"},
      {{"new", "2", "1"}, "--output"},
      {{"new", "2", "1", "-o", dir.file("no/such/folder/n.ini")}, "folder does not exist"},
      {{"new", "2", "1", "-o", dir.path().string(), "--force"}, "is a folder"},
      // Twelve layers: (1, 10) and (11, 0) would share the coordinate key 110.
      {{"new", "1", "11", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "--seed", "1", "-o",
        out},
       "same coordinate key"},
      {{"new", "5000", "5000", "--seed", "1", "-o", out}, "at most 10000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message_part);
    const Outcome r = RunTool(dir, c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.message_part), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// ---- info
// -----------------------------------------------------------------------------------------

TEST(ToolInfoTest, DescribesASoundNetwork) {
  TempDir dir;
  const Outcome r = RunTool(dir, {"info", kExamples + "/xor.ini"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "network file: " + kExamples + "/xor.ini\n" +
                       "layers: 3 (2-2-1)\n"
                       "elements: 5\n"
                       "links: 6 between elements, 2 in the input layer\n"
                       "activation types: Null 2, SIGM 3\n"
                       "neuron types: NInput 2, NHiden 2, NOutput 1\n"
                       "checks: no problems found\n");
}

TEST(ToolInfoTest, MalformedFilesNameTheSectionAndKey) {
  TempDir dir;
  const struct {
    const char* fixture;
    const char* section;
    const char* key;
  } cases[] = {
      {"missing_alpha.ini", "[Neuron_00]", "\"ALPHA\""},
      {"x_out_of_range.ini", "[Neuron_00]", "\"X\""},
      {"link_out_of_range.ini", "[Synapse_00]", "\"1_70000\""},
      {"malformed_synapse_x.ini", "[Synapse_00]", "\"X\""},
      {"empty_threshold.ini", "[Neuron_00]", "\"threshold\""},
      {"malformed_threshold.ini", "[Neuron_00]", "\"threshold\""},
      {"weight_out_of_range.ini", "[Synapse_00]", "\"0_0\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    const std::string path = kData + "/" + c.fixture;
    const Outcome r = RunTool(dir, {"info", path});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.section), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.key), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// One file, one fault the forward pass would meet; each must show among the checks.
TEST(ToolInfoTest, ChecksFindWhatTheForwardPassReliesOn) {
  const std::string input0 =
      "[Neuron_00]\nX=0\nY=0\natype=0\nntype=1\nthreshold=0\nalpha=0\n"
      "[Synapse_00]\nX=0\nY=0\n0_0=1\n";
  auto neuron = [](const std::string& name, int x, int y, const std::string& ntype,
                   const std::string& links) {
    return "[Neuron_" + name + "]\nX=" + std::to_string(x) + "\nY=" + std::to_string(y) +
           "\natype=2\nntype=" + ntype + "\nthreshold=0\nalpha=1\n[Synapse_" + name +
           "]\nX=" + std::to_string(x) + "\nY=" + std::to_string(y) + "\n" + links;
  };
  const struct {
    const char* fault;
    std::string file;
    const char* problem;
  } cases[] = {
      {"a gap in a layer's range", input0 + neuron("11", 1, 1, "3", "0_0=1\n"),
       "layer 1: position (1, 0) is missing"},
      {"a link to a missing element", input0 + neuron("10", 1, 0, "3", "0_5=1\n"),
       "the link from (0, 5) names no element"},
      {"an input element without 0_0",
       "[Neuron_00]\nX=0\nY=0\natype=0\nntype=1\nthreshold=0\nalpha=0\n" +
           neuron("10", 1, 0, "3", "0_0=1\n"),
       "input element (0, 0) has no 0_0 link"},
      {"neuron type 0 beyond the input layer", input0 + neuron("10", 1, 0, "0", "0_0=1\n"),
       "neuron type 0 is not 1, 2 or 3, so (1, 0) loads as an input neuron"},
      {"two positions with one key",
       input0 + neuron("10", 1, 0, "2", "0_0=1\n") + neuron("110", 1, 10, "3", "0_0=1\n") +
           neuron("110b", 11, 0, "3", "1_0=1\n"),
       "share the coordinate key 110"},
      {"a section named after another position",
       input0 + neuron("10", 1, 0, "3", "0_0=1\n") + neuron("99", 1, 1, "3", "0_0=1\n"),
       "describes (1, 1), which a save writes as [Neuron_11]"},
      {"links to an element without neuron section", input0 + "[Synapse_30]\nX=3\nY=0\n0_0=1\n",
       "gives links to (3, 0), which has no neuron section"},
      {"one link named twice", input0 + neuron("10", 1, 0, "3", "0_0=1\n00_0=2\n"),
       "the entries \"0_0\" and \"00_0\" name the same link"},
      {"Y read from atype",
       "[Neuron_00]\nX=0\natype=0\nY=0\nntype=1\nthreshold=0\nalpha=0\n[Synapse_00]\nX=0\nY=0\n"
       "0_0=1\n",
       "Y is read from the entry \"atype\""},
      {"a section the reader skips", input0 + "[neuron_01]\nX=0\nY=1\n",
       "section [neuron_01] is not read"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    WriteFile(dir.file("net.ini"), c.file);
    const Outcome r = RunTool(dir, {"info", dir.file("net.ini")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("checks: "), std::string::npos);
    EXPECT_EQ(r.out.find("no problems found"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.problem), std::string::npos) << r.out;
  }
}

// ---- dot
// ------------------------------------------------------------------------------------------

// A node ("a [attributes];") or an edge ("a -> b [attributes];") of the graph; `to` is empty for
// a node.
struct DotStatement {
  std::string from;
  std::string to;
  std::string colour;
};

std::optional<DotStatement> ParseDotStatement(std::string_view line) {
  line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
  const std::size_t open = line.find(" [");
  if (open == std::string_view::npos || !line.ends_with("];")) return std::nullopt;
  DotStatement statement;
  const std::string_view head = line.substr(0, open);
  const std::size_t arrow = head.find(" -> ");
  statement.from = head.substr(0, arrow);
  if (arrow != std::string_view::npos) statement.to = head.substr(arrow + 4);
  if (const std::size_t c = line.find("color=", open); c != std::string_view::npos) {
    const std::string_view rest = line.substr(c + 6);
    statement.colour = rest.substr(0, rest.find_first_of(",]"));
  }
  return statement;
}

// Whether `id` names an element's node: "n", the layer, "_", the index.
bool IsElementNode(const std::string& id) {
  const std::size_t underscore = id.find('_');
  auto digits = [](std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return id.size() > 1 && id[0] == 'n' && underscore != std::string::npos &&
         digits(std::string_view(id).substr(1, underscore - 1)) &&
         digits(std::string_view(id).substr(underscore + 1));
}

TEST(ToolDotTest, OneNodePerElementAndOneEdgePerLink) {
  for (const char* example : {"xor.ini", "net-10-20-5.ini"}) {
    SCOPED_TRACE(example);
    TempDir dir;
    const std::string path = kExamples + "/" + example;
    const Outcome r = RunTool(dir, {"dot", path});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::unique_ptr<Perceptron> net = LoadNetworkFile(path);

    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "digraph mplnet {");
    EXPECT_EQ(lines.back(), "}");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '{'),
              std::count(r.out.begin(), r.out.end(), '}'));

    std::set<std::string> nodes;
    std::map<std::string, int> colours;
    std::size_t edges = 0;
    for (const std::string& line : lines) {
      const std::optional<DotStatement> statement = ParseDotStatement(line);
      if (!statement || statement->from == "node" || statement->from == "edge") continue;
      if (statement->to.empty()) {
        EXPECT_TRUE(IsElementNode(statement->from)) << line;
        EXPECT_TRUE(nodes.insert(statement->from).second) << "node twice: " << line;
      } else {
        ++edges;
        EXPECT_EQ(nodes.count(statement->from), 1u) << line;
        EXPECT_EQ(nodes.count(statement->to), 1u) << line;
        ++colours[statement->colour];
      }
    }
    std::size_t links = 0;
    int negative = 0;
    for (const std::shared_ptr<Elem>& e : net->GetMPL()) {
      if (e->x == 0) continue;
      for (const SynapseWeight& w : e->kernel->getSynapses()) {
        ++links;
        negative += w.weight < 0;
      }
    }
    EXPECT_EQ(nodes.size(), net->GetMPL().size());
    EXPECT_EQ(edges, links);
    EXPECT_EQ(colours["red"], negative);
    EXPECT_EQ(colours["blue"] + colours["gray"], static_cast<int>(links) - negative);
  }
}

// ---- train, eval
// --------------------------------------------------------------------------------

// A noisy two-input table whose target depends smoothly on the inputs, in rows of "a b target".
std::string SmoothTable(int rows, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  std::string text = "# a b target\n";
  for (int i = 0; i < rows; ++i) {
    const double a = u(gen);
    const double b = 50 + 10 * u(gen);
    const double t =
        std::clamp(0.5 + 0.3 * std::sin(3 * a) + 0.02 * (b - 50) + 0.05 * u(gen), 0.0, 1.0);
    text += ShortestText(a) + " " + ShortestText(b) + " " + ShortestText(t) + "\n";
  }
  return text;
}

// The value of the first "key: value" line of `out`.
std::string Reported(const std::string& out, const std::string& key) {
  for (const std::string& line : Lines(out)) {
    if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
  }
  return "(none)";
}

TEST(ToolTrainTest, ReportsTheErrorsEvalGivesForTheSavedFile) {
  TempDir dir;
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "6", "1", "--seed", "4", "-o", net}).exit_code, 0);
  // A target of 0.5 names no side, so the training rows get no accuracy; the others do.
  WriteFile(dir.file("train.txt"), SmoothTable(299, 1) + "0 50 0.5\n");
  WriteFile(dir.file("check.txt"), SmoothTable(100, 2));
  const std::string out = dir.file("out.ini");
  const Outcome r = RunTool(dir, {"train", net, dir.file("train.txt"), "-o", out, "--validation",
                                  dir.file("check.txt"), "--epochs", "150", "--threads", "2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("epoch 100: train mse "), std::string::npos) << r.err;
  EXPECT_EQ(Reported(r.out, "train rows"), "300");
  EXPECT_EQ(Reported(r.out, "validation rows"), "100");
  EXPECT_EQ(Reported(r.out, "saved"), out);
  EXPECT_LT(std::stod(Reported(r.out, "validation mse")), 0.01);
  EXPECT_EQ(Reported(r.out, "train accuracy"), "(none)");
  EXPECT_NE(Reported(r.out, "validation accuracy"), "(none)");
  for (const auto& [file, prefix] :
       {std::pair{"train.txt", "train "}, {"check.txt", "validation "}}) {
    const Outcome e = RunTool(dir, {"eval", out, dir.file(file)});
    ASSERT_EQ(e.exit_code, 0) << e.err;
    EXPECT_EQ(Reported(e.out, "rows"), Reported(r.out, prefix + std::string("rows")));
    EXPECT_EQ(Reported(e.out, "mse"), Reported(r.out, prefix + std::string("mse")));
    EXPECT_EQ(Reported(e.out, "accuracy"), Reported(r.out, prefix + std::string("accuracy")));
  }
  // The inputs are standardised in training and the scaling folded in: OUT takes raw inputs.
  EXPECT_TRUE(CheckNetwork(out, *LoadNetworkFile(out)).empty());
  EXPECT_NE(ReadFile(out), ReadFile(net));
}

// The defaults' network has learnt from every row: it is the very file a run on every row for
// the epochs the latest rows decided gives, with any thread count.
TEST(ToolTrainTest, DefaultsRefitOnEveryRowForTheEpochsTheLatestRowsDecided) {
  TempDir dir;
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "6", "1", "--seed", "4", "-o", net}).exit_code, 0);
  WriteFile(dir.file("data.txt"), SmoothTable(300, 5));
  // --standardize and --weight-decay leave the scaling and the decay as they are: the plain run
  // below needs to know them.
  const Outcome r = RunTool(dir, {"train", net, dir.file("data.txt"), "-o", dir.file("out.ini"),
                                  "--patience", "20", "--standardize", "--weight-decay", "1e-4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 3u) << r.out;
  const std::string decided = "epochs decided on the latest 20% of the rows (60 rows): ";
  ASSERT_EQ(lines[1].rfind(decided, 0), 0u) << r.out;
  ASSERT_GT(std::stoul(lines[1].substr(decided.size())), 0u) << r.out;
  const std::string refit = "refit on all 300 rows for ";
  ASSERT_EQ(lines[2].rfind(refit, 0), 0u) << r.out;
  const std::string epochs =
      lines[2].substr(refit.size(), lines[2].find(' ', refit.size()) - refit.size());
  // The figures are the saved network's on every row; no row is left to validate.
  EXPECT_EQ(Reported(r.out, "train rows"), "300");
  EXPECT_EQ(Reported(r.out, "validation rows"), "(none)");
  const Outcome e = RunTool(dir, {"eval", dir.file("out.ini"), dir.file("data.txt")});
  EXPECT_EQ(Reported(e.out, "mse"), Reported(r.out, "train mse"));

  const Outcome plain =
      RunTool(dir, {"train", net, dir.file("data.txt"), "-o", dir.file("plain.ini"), "--validate",
                    "0", "--epochs", epochs, "--threads", "2", "--weight-decay", "0.0001"});
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_EQ(Lines(plain.out)[0], "stopped after " + epochs + " epochs: the epoch limit");
  EXPECT_EQ(ReadFile(dir.file("plain.ini")), ReadFile(dir.file("out.ini")));
  // --no-refit keeps the deciding run's network, which never saw the latest rows.
  const Outcome kept = RunTool(dir, {"train", net, dir.file("data.txt"), "-o", dir.file("kept.ini"),
                                     "--patience", "20", "--standardize", "--no-refit"});
  ASSERT_EQ(kept.exit_code, 0) << kept.err;
  EXPECT_EQ(Reported(kept.out, "train rows"), "240");
  EXPECT_EQ(Reported(kept.out, "validation rows"), "60");
  EXPECT_NE(ReadFile(dir.file("kept.ini")), ReadFile(dir.file("out.ini")));
}

TEST(ToolTrainTest, RefusesBadDataAndNeverReplacesFilesUnasked) {
  TempDir dir;
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "3", "1", "--seed", "4", "-o", net}).exit_code, 0);
  const std::string before = ReadFile(net);
  WriteFile(dir.file("good.txt"), "0 0 0\n0 1 1\n1 0 1\n1 1 0\n");
  WriteFile(dir.file("short.txt"), "0 0 0\n0 1\n");
  WriteFile(dir.file("range.txt"), "0 0 0\n0 1 2\n");
  // The second input gives the target away but varies by 2e-307: folded into its scale, the
  // weights iRPROP− gives it overflow.
  WriteFile(dir.file("tiny.txt"), "0 0 0\n0 2e-307 1\n1 0 0\n1 2e-307 1\n");
  WriteFile(dir.file("taken.ini"), "mine\n");
  const std::string out = dir.file("out.ini");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"train", net, dir.file("good.txt"), "-o", net}, "is the starting network; pass --force"},
      {{"train", net, dir.file("good.txt"), "-o", dir.file("taken.ini")}, "exists; pass --force"},
      {{"train", net, dir.file("short.txt"), "-o", out},
       "short.txt\", line 2: expected 3 values (2 inputs, 1 target), found 2"},
      {{"train", net, dir.file("range.txt"), "-o", out}, "line 2: target 1 is 2, outside [0, 1]"},
      {{"train", net, dir.file("missing.txt"), "-o", out}, "cannot open data file"},
      {{"train", net, dir.file("good.txt"), "-o", out, "--validate", "0.5", "--validation",
        dir.file("good.txt")},
       "excludes"},
      {{"eval", net, dir.file("range.txt")}, "line 2: target 1 is 2"},
      {{"train", net, dir.file("good.txt"), "-o", out, "--algorithm", "backprop", "--learning-rate",
        "1e308", "--momentum", "0.99", "--epochs", "50"},
       "training diverged: the weights are no longer finite numbers (a smaller --learning-rate"},
      {{"train", net, dir.file("tiny.txt"), "-o", out, "--epochs", "300", "--validate", "0"},
       "no longer finite numbers (an input that hardly varies"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Outcome r = RunTool(dir, c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ReadFile(net), before);
  EXPECT_EQ(ReadFile(dir.file("taken.ini")), "mine\n");
  EXPECT_FALSE(std::filesystem::exists(out));
  // With --force, OUT may be NET itself.
  const Outcome r =
      RunTool(dir, {"train", net, dir.file("good.txt"), "-o", net, "--force", "--epochs", "5"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ReadFile(net), before);
}

TEST(ToolTrainTest, CtrlCStopsAfterTheEpochAndStillSaves) {
  TempDir dir;
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "8", "1", "--seed", "4", "-o", net}).exit_code, 0);
  WriteFile(dir.file("data.txt"), SmoothTable(2000, 3));
  const std::string out = dir.file("out.ini");
  const std::string err_path = dir.file("train.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, dir.file("train.out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv_text = {
      MPLNET_TOOL_PATH, "train",     net,          dir.file("data.txt"), "-o", out,
      "--epochs",       "100000000", "--patience", "100000000"};
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, MPLNET_TOOL_PATH, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Once it reports an epoch, the handler is in place.
  for (int tries = 0; tries < 3000 && ReadFile(err_path).find("epoch 100:") == std::string::npos;
       ++tries) {
    usleep(10'000);
  }
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << ReadFile(err_path);
  EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(err_path);
  const std::string report = ReadFile(dir.file("train.out"));
  EXPECT_NE(report.find(": interrupted\n"), std::string::npos) << report;
  EXPECT_EQ(LoadNetworkFile(out)->GetNCount(), (std::vector<int>{2, 8, 1}));
}

TEST(ToolTrainTest, ProgressBarOnATerminal) {
  TempDir dir;
  Terminal terminal;
  ASSERT_FALSE(terminal.name().empty());
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "3", "1", "--seed", "4", "-o", net}).exit_code, 0);
  WriteFile(dir.file("data.txt"), SmoothTable(50, 3));
  const Outcome r = RunTool(
      dir, {"train", net, dir.file("data.txt"), "-o", dir.file("out.ini"), "--epochs", "30"},
      "/dev/null", &terminal);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The deciding run's bar, full, then the refit's on a line of its own.
  const std::size_t last = r.err.rfind("\r[");
  ASSERT_NE(last, std::string::npos) << r.err;
  const std::string bar = "\r[####################] epoch 30/30  train ";
  const std::size_t deciding = r.err.rfind(bar);
  ASSERT_NE(deciding, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("validation ", deciding), std::string::npos) << r.err;
  const std::size_t first_refit = r.err.find("refit epoch 1/", deciding);
  ASSERT_NE(first_refit, std::string::npos) << r.err;
  EXPECT_NE(r.err.substr(deciding, first_refit - deciding).find('\n'), std::string::npos);
  const std::string refit = "\r[####################] refit epoch ";
  EXPECT_EQ(r.err.substr(last, refit.size()), refit) << r.err;
  EXPECT_EQ(r.err.find("validation ", last), std::string::npos) << r.err;
}

TEST(ToolTrainTest, CountsOfOneAreSingular) {
  TempDir dir;
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "3", "1", "--seed", "4", "-o", net}).exit_code, 0);
  WriteFile(dir.file("one.txt"), "0 0 1\n");
  WriteFile(dir.file("two.txt"), "0 0 1\n1 1 1\n");
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> first_lines;
  };
  const std::vector<Case> cases = {
      {{"one.txt", "--validate", "0"},
       {"stopped after 1 epoch: the epoch limit", "saved: " + dir.file("out.ini")}},
      {{"two.txt", "--validate", "0.5", "--no-refit"},
       {"stopped after 1 epoch: the epoch limit",
        "kept the network after 1 epoch, whose validation error was lowest"}},
      {{"two.txt", "--validate", "0.5"},
       {"stopped after 1 epoch: the epoch limit",
        "epochs decided on the latest 50% of the rows (1 row): 1, where their error was lowest",
        "refit on all 2 rows for 1 epoch"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0] + " " + c.options.back());
    std::vector<std::string> args = {"train",
                                     net,
                                     dir.file(c.options[0]),
                                     "-o",
                                     dir.file("out.ini"),
                                     "--force",
                                     "--epochs",
                                     "1",
                                     "--standardize",
                                     "--weight-decay",
                                     "0",
                                     "--threads",
                                     "1"};
    args.insert(args.end(), c.options.begin() + 1, c.options.end());
    const Outcome r = RunTool(dir, args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), c.first_lines.size()) << r.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + c.first_lines.size()),
              c.first_lines);
  }
  const Outcome r = RunTool(dir, {"train", net, dir.file("one.txt"), "-o", dir.file("out.ini"),
                                  "--force", "--epochs", "1", "--validate", "0"});
  EXPECT_EQ(r.err, "training a 2-3-1 network with rprop on 1 row, without validation rows\n");
}

// ---- arguments
// ------------------------------------------------------------------------------------

TEST(ToolArgumentsTest, BadArgumentsExitOneWithOneMessage) {
  TempDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {}, {"train"}, {"run"}, {"info"}, {"dot", "a.ini", "b.ini"}, {"new", "2", "-o"}, {"--seed"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    const Outcome r = RunTool(dir, args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("mplnet: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // An unknown command is told apart from a bad argument, with the commands there are.
  EXPECT_EQ(RunTool(dir, {"frob"}).err,
            "mplnet: unknown command \"frob\": the commands are run, new, info, dot, bars, import, "
            "export, train, eval, backtest and walkforward (see mplnet --help)\n");
}

TEST(ToolArgumentsTest, HelpOnEverySubcommand) {
  TempDir dir;
  for (const char* sub : {"run", "new", "info", "dot", "bars", "import", "export", "train", "eval",
                          "backtest", "walkforward"}) {
    SCOPED_TRACE(sub);
    const Outcome r = RunTool(dir, {sub, "--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(sub), std::string::npos) << r.out;
  }
  const Outcome r = RunTool(dir, {"new", "--help"});
  EXPECT_NE(r.out.find("--force"), std::string::npos);
  EXPECT_NE(r.out.find("--seed"), std::string::npos);
  // A newcomer's run is bounded and stops early: the defaults show.
  const Outcome t = RunTool(dir, {"train", "--help"});
  for (const char* shown : {"=rprop", "--epochs UINT:UINT in [1 - 100000000]=1000", "=0.2",
                            "--patience K:UINT in [1 - 100000000]=100\n"}) {
    EXPECT_NE(t.out.find(shown), std::string::npos) << shown;
  }
}

// What a library setting's option shows in its command's help: the library's name, help, range and
// default, so that the tool cannot drift from the library.
struct ShownSetting {
  const char* command;
  std::string name;
  std::string help;
  std::string range;
  std::string fallback;  // "=..." after the range; empty when no default is shown
};

std::string RangeShown(const RealRange& r) {
  return r.above_low ? "> " + ShortestText(r.low)
                     : "[" + ShortestText(r.low) + " - " + ShortestText(r.high) + "]";
}
std::string RangeShown(const WholeRange& r) {
  return "[" + std::to_string(r.low) + " - " + std::to_string(r.high) + "]";
}

template <typename Owner, typename Value>
ShownSetting Shown(const char* command, const Setting<Owner, Value>& s) {
  std::string fallback;
  if (s.Accepts(Owner{})) {
    if constexpr (std::is_floating_point_v<Value>) {
      fallback = "=" + ShortestText(s.Default());
    } else {
      fallback = "=" + std::to_string(s.Default());
    }
  }
  return {command, "--" + std::string(s.name), std::string(s.help), RangeShown(s.range), fallback};
}

TEST(ToolArgumentsTest, HelpShowsTheLibrarysNamesRangesAndDefaults) {
  TempDir dir;
  const ShownSetting settings[] = {
      Shown("train", kMaxEpochsSetting),    Shown("train", kHoldoutSetting),
      Shown("train", kMomentumSetting),     Shown("train", kLearningRateSetting),
      Shown("train", kBatchSizeSetting),    Shown("bars", kWindowSetting),
      Shown("walkforward", kHiddenSetting), Shown("walkforward", kTrainBarsSetting),
  };
  for (const ShownSetting& s : settings) {
    SCOPED_TRACE(std::string(s.command) + " " + s.name);
    const std::string help = RunTool(dir, {s.command, "--help"}).out;
    const std::size_t start = help.find("  " + s.name + " ");
    ASSERT_NE(start, std::string::npos) << help;
    // The option's entry: its name, value and default, then its help on the same line or the next.
    const std::string entry = help.substr(start, help.find("\n  -", start + 1) - start);
    const std::size_t shown = entry.find(s.range + s.fallback);
    ASSERT_NE(shown, std::string::npos) << entry;
    const std::size_t after = shown + s.range.size() + s.fallback.size();
    EXPECT_TRUE(entry[after] == ' ' || entry[after] == '\n') << entry;  // the whole default
    EXPECT_NE(entry.find(s.help, after), std::string::npos) << entry;
  }
  // The learning rates the help names are the trainer's own.
  const std::string train = RunTool(dir, {"train", "--help"}).out;
  EXPECT_NE(train.find("adam (default " + ShortestText(kAdamLearningRate) + ")"),
            std::string::npos);
  EXPECT_NE(train.find("backprop (default " + ShortestText(kBackpropLearningRate) + ")"),
            std::string::npos);
  // The numbers in the commands' long help (tools/help/) are filled in from the library.
  const struct {
    const char* command;
    std::string before;
    double value;
  } filled[] = {
      {"export", "(operator set ", kOnnxOpset},
      {"import", "larger than ", static_cast<double>(kFannFileMaxBytes >> 20)},
      {"import", "at most ", static_cast<double>(kMostOnnxModelBytes >> 20)},
      {"train", "a weight decay of ", EveryRowRules{}.try_weight_decay},
  };
  for (const auto& f : filled) {
    const std::string help = RunTool(dir, {f.command, "--help"}).out;
    const std::size_t at = help.find(f.before);
    ASSERT_NE(at, std::string::npos) << f.before;
    EXPECT_EQ(std::stod(help.substr(at + f.before.size())), f.value) << f.before;
  }
}

// Every numeric option of every command refuses NaN, infinities and values beyond the range of
// double with one short message naming the option and its range, and writes nothing.
TEST(ToolArgumentsTest, NumericOptionsRefuseWhatIsNotAFiniteNumberInRange) {
  TempDir dir;
  const std::string out = dir.file("out");
  const std::string net = kExamples + "/xor.ini";
  const std::string data = kExamples + "/circle.txt";
  const std::vector<std::string> bars = {"bars", kExamples + "/bars-ar1.log", "-o", out};
  const std::vector<std::string> train = {"train", net, data, "-o", out};
  const std::string huge = "1" + std::string(400, '0');  // shown as its first 24 bytes
  const auto shown = [&huge](const std::string& value) {
    return value == huge ? huge.substr(0, 24) + "... (401 bytes)" : value;
  };
  const struct {
    std::vector<std::string> command;
    const char* option;
    const char* range;
  } options[] = {
      {{"new", "2", "1", "-o", out}, "--seed", "a whole number from 0 to 18446744073709551615"},
      {bars, "--window", "a whole number from 1 to 100000"},
      {bars, "--horizon", "a whole number from 1 to 100000"},
      {train, "--epochs", "a whole number from 1 to 100000000"},
      {train, "--target-mse", "a number from 0 to 1e+300"},
      {train, "--validate", "a number from 0 to 0.99"},
      {train, "--patience", "a whole number from 1 to 100000000"},
      {train, "--seed", "a whole number from 0 to 18446744073709551615"},
      {train, "--threads", "a whole number from 0 to 256"},
      {train, "--learning-rate", "a finite number above 0"},
      {train, "--batch-size", "a whole number from 1 to 100000000"},
      {train, "--momentum", "a number from 0 to 0.999"},
  };
  for (const auto& o : options) {
    for (const std::string& value : {std::string("nan"), std::string("-Infinity"), huge}) {
      SCOPED_TRACE(std::string(o.option) + " " + value.substr(0, 10));
      std::vector<std::string> args = o.command;
      args.insert(args.end(), {o.option, value});
      const Outcome r = RunTool(dir, args);
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(r.err, "mplnet: " + std::string(o.option) + ": \"" + shown(value) + "\" is not " +
                           o.range + " (see mplnet " + o.command[0] + " --help)\n");
      EXPECT_FALSE(std::filesystem::exists(out));
    }
  }
  // Layer sizes and the feature list of bars are read by the same rules.
  for (const std::string& value : {std::string("nan"), std::string("inf"), huge}) {
    const Outcome r = RunTool(dir, {"new", "2", value, "1", "-o", out});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "mplnet: layer size \"" + shown(value) +
                         "\" is not a whole number from 1 to 65536\n");
  }
  std::vector<std::string> args = bars;
  args.insert(args.end(), {"--features", "returns,nan"});
  EXPECT_EQ(RunTool(dir, args).err,
            "mplnet: --features: \"nan\" is not a feature: the features are returns, range and "
            "volume (see mplnet bars --help)\n");
  EXPECT_FALSE(std::filesystem::exists(out));
}

// What an option is given is what it holds: decimal digits, never octal or hexadecimal, and "." or
// "," as the decimal point.
TEST(ToolArgumentsTest, NumericOptionsHoldTheNumberWritten) {
  TempDir dir;
  const std::string net = dir.file("net.ini");
  ASSERT_EQ(RunTool(dir, {"new", "2", "3", "1", "--seed", "0x10", "-o", net}).exit_code, 1);
  ASSERT_EQ(RunTool(dir, {"new", "+2", "03", "1", "--seed", "010", "-o", net}).exit_code, 0);
  ASSERT_EQ(
      RunTool(dir, {"new", "2", "3", "1", "--seed", "10", "-o", dir.file("ten.ini")}).exit_code, 0);
  EXPECT_EQ(ReadFile(net), ReadFile(dir.file("ten.ini")));
  WriteFile(dir.file("data.txt"), SmoothTable(40, 3));
  const Outcome r = RunTool(dir, {"train", net, dir.file("data.txt"), "-o", dir.file("out.ini"),
                                  "--epochs", "010", "--validate", "0,25", "--patience", "100"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("stopped after 10 epochs"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the latest 25% of the rows (10 rows)"), std::string::npos) << r.out;
}

// ---- bars, import
// ---------------------------------------------------------------------------------

TEST(ToolBarsTest, WritesTheLibrarysTableAndReportsTheLog) {
  TempDir dir;
  const std::string log = kExamples + "/bars-ar1.log";
  const std::string table = dir.file("rows.txt");
  Outcome r = RunTool(dir, {"bars", log, "-o", table, "--window", "4", "--horizon", "2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "bar log \"" + log +
                       "\": 4400 bar lines read, 3000 distinct times, 1400 duplicates replaced\n"
                       "time steps: most common 3600, 24 gaps larger (the largest 176400)\n"
                       "table \"" +
                       table + "\": 2987 rows of 4 inputs and a direction target\n");
  BarDatasetOptions options;
  options.window = 4;
  options.horizon = 2;
  EXPECT_EQ(ReadFile(table),
            FormatBarTable(MakeBarRows(ReadBarLogFile(log, false).bars, options), options));

  // An existing table is replaced only with --force; a line that does not parse stops the command
  // and leaves the table as it was, unless --skip-bad.
  WriteFile(table, "kept");
  r = RunTool(dir, {"bars", log, "-o", table});
  EXPECT_EQ(r.exit_code, 1);
  const std::string bad_log = dir.file("bad.log");
  WriteFile(bad_log, ReadFile(log) + "garbage\r\n");
  r = RunTool(dir, {"bars", bad_log, "-o", table, "--force"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("line 4401: not a bar line"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(table), "kept");
  r = RunTool(dir, {"bars", bad_log, "-o", table, "--force", "--skip-bad", "--target", "return",
                    "--features", "returns,range,volume"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("skipped: 1 line that did not parse"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("rows of 30 inputs and a return target"), std::string::npos) << r.err;
  r = RunTool(dir, {"bars", bad_log, "-o", bad_log, "--force", "--skip-bad"});
  EXPECT_NE(r.err.find("would replace the bar log"), std::string::npos) << r.err;
}

TEST(ToolImportTest, WritesTheImportedNetworkOrNothing) {
  TempDir dir;
  const std::string fann = kData + "/fann_2_3_1.net";
  const std::string out = dir.file("imported.ini");
  Outcome r = RunTool(dir, {"import", fann, "-o", out});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  const std::unique_ptr<Perceptron> loaded = LoadNetworkFile(out);
  Perceptron imported = ImportFannFile(fann);
  for (const std::vector<double>& in : {std::vector<double>{0.25, -1}, {3, 0.5}}) {
    loaded->Run(in);
    imported.Run(in);
    EXPECT_NEAR(loaded->GetOutput()[0], imported.GetOutput()[0], 1e-15);
  }

  // A refused network, an existing file without --force, a missing input: nothing is written.
  std::string linear = ReadFile(fann);
  linear.replace(linear.find("(4, 3, "), 7, "(4, 0, ");
  WriteFile(dir.file("linear.net"), linear);
  WriteFile(out, "kept");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"import", dir.file("linear.net"), "-o", out, "--force"},
        {"import", fann, "-o", out},
        {"import", dir.file("missing.net"), "-o", out, "--force"}}) {
    r = RunTool(dir, args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(ReadFile(out), "kept");
  }
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  r = RunTool(dir, {"import", dir.file("linear.net"), "-o", dir.file("new.ini")});
  EXPECT_NE(r.err.find("neuron 7 (layer 2, index 0): activation FANN_LINEAR"), std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("new.ini")));
  std::set<std::string> left;  // no temporary file stays behind
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"imported.ini", "linear.net", "tool.err", "tool.out"}));
}

// ---- backtest, walkforward
// ------------------------------------------------------------------------------

// The files of `dir` other than the tool's own output.
std::set<std::string> FilesIn(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "tool.out" && name != "tool.err") names.insert(name);
  }
  return names;
}

TEST(ToolBacktestTest, RecipeTravelsFromBarsThroughTrainToBacktest) {
  TempDir dir;
  const std::string log = kExamples + "/bars-ar1.log";
  ASSERT_EQ(RunTool(dir, {"bars", log, "-o", dir.file("rows.txt"), "--window", "6"}).exit_code, 0);
  ASSERT_EQ(
      RunTool(dir, {"new", "6", "3", "1", "--seed", "1", "-o", dir.file("start.ini")}).exit_code,
      0);
  Outcome r = RunTool(dir, {"train", dir.file("start.ini"), dir.file("rows.txt"), "-o",
                            dir.file("net.ini"), "--epochs", "20"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = RunTool(dir, {"info", dir.file("net.ini")});
  EXPECT_NE(r.out.find("\nrecipe: window 6, features returns, horizon 1, target direction\n"),
            std::string::npos)
      << r.out;

  // Training it further on rows of another recipe would mix two meanings of its inputs.
  ASSERT_EQ(
      RunTool(dir, {"bars", log, "-o", dir.file("rows2.txt"), "--window", "6", "--horizon", "2"})
          .exit_code,
      0);
  r = RunTool(dir, {"train", dir.file("net.ini"), dir.file("rows2.txt"), "-o", dir.file("net2.ini"),
                    "--epochs", "2"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("horizon 2, target direction), the network"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("net2.ini")));

  // The report is the library's, the CSV and the picture its lines.
  r = RunTool(dir,
              {"backtest", dir.file("net.ini"), log, "--cost", "2e-4", "--bars-out",
               dir.file("lines.csv"), "--plot", dir.file("equity.svg"), "--from", "1705000000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::unique_ptr<Perceptron> net = LoadNetworkFile(dir.file("net.ini"));
  BacktestOptions options;
  options.rules.cost = 2e-4;
  options.from = 1705000000;
  const BarDatasetOptions recipe{6, BarFeatures::kReturns, 1, BarTarget::kDirection};
  const Backtest backtest = RunBacktest(*net, ReadBarLogFile(log, false).bars, recipe, options);
  EXPECT_EQ(r.out, FormatFigures(backtest.figures));
  std::vector<std::string> keys;
  for (const std::string& line : Lines(r.out)) keys.push_back(line.substr(0, line.find(':')));
  EXPECT_EQ(keys, (std::vector<std::string>{"bars", "from", "to", "trades", "exposure", "return",
                                            "buy and hold", "annual return", "volatility", "sharpe",
                                            "max drawdown", "win rate", "profit factor", "cost"}));
  EXPECT_EQ(ReadFile(dir.file("lines.csv")), FormatAccountCsv(backtest.lines));
  EXPECT_EQ(ReadFile(dir.file("equity.svg")),
            EquityPlotSvg(backtest.lines, "backtest of " + dir.file("net.ini")));
  EXPECT_GE(backtest.lines.front().time, 1705000000u);

  // An option that agrees with the recipe is taken; one that disagrees is refused, naming both.
  EXPECT_EQ(RunTool(dir, {"backtest", dir.file("net.ini"), log, "--window", "6"}).exit_code, 0);
  r = RunTool(dir, {"backtest", dir.file("net.ini"), log, "--window", "10"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("made with --window 6, not --window 10"), std::string::npos) << r.err;
  // Without a recipe the options make the rows; a count the network does not take is refused.
  r = RunTool(dir, {"backtest", dir.file("start.ini"), log});
  EXPECT_NE(r.err.find("rows of 10 inputs, but the network's input layer has 6"), std::string::npos)
      << r.err;
  EXPECT_EQ(RunTool(dir, {"backtest", dir.file("start.ini"), log, "--window", "6"}).exit_code, 0);
}

TEST(ToolBacktestTest, BadInputGetsOneMessageAndWritesNothing) {
  TempDir dir;
  const std::string log = kExamples + "/bars-ar1.log";
  ASSERT_EQ(
      RunTool(dir, {"new", "10", "3", "1", "--seed", "1", "-o", dir.file("net.ini")}).exit_code, 0);
  ASSERT_EQ(
      RunTool(dir, {"new", "10", "3", "2", "--seed", "1", "-o", dir.file("two.ini")}).exit_code, 0);
  WriteFile(dir.file("short.log"), "Bar: 0 Time: 5 Open: 1 Low: 1 High: 1 Close: 1 Vol: 1 \r\n");
  const std::string net = dir.file("net.ini");
  const std::string csv = dir.file("lines.csv");
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const std::vector<Case> cases = {
      {{"backtest", net, dir.file("short.log")}, "1 bars make no rows"},
      {{"backtest", net, log, "--cost", "-0.001"}, "the cost -0.001 is not a finite number"},
      {{"backtest", net, log, "--cost", "nan"}, "the cost nan is not a finite number"},
      {{"backtest", net, log, "--cost", "inf"}, "the cost inf is not a finite number"},
      {{"backtest", net, log, "--threshold", "-1"}, "the threshold -1"},
      {{"backtest", dir.file("two.ini"), log}, "has 2 outputs"},
      {{"backtest", net, log, "--from", "1714940000", "--to", "1700000000"}, "is empty"},
      {{"backtest", net, log, "--from", "1800000000"}, "are 0 of the log's 2979"},
      {{"backtest", net, log, "--to", "4294967296"}, "--to"},
      {{"backtest", net, log, "--plot", dir.file("equity.png")}, "drawn as SVG"},
      {{"backtest", dir.file("missing.ini"), log}, "does not exist"},
      {{"walkforward", log, "-o", dir.file("folds"), "--train-bars", "3000"},
       "leaves no bar to test on"},
      {{"walkforward", log, "-o", dir.file("folds"), "--cost", "-1"}, "the cost -1"},
      {{"walkforward", log, "-o", dir.file("no/folds")}, "its folder does not exist"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--bars-out", csv});
    SCOPED_TRACE(args[0] + " " + args[args.size() - 4] + " " + args[args.size() - 3]);
    const Outcome r = RunTool(dir, args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(FilesIn(dir), (std::set<std::string>{"net.ini", "two.ini", "short.log"}));
  }
}

TEST(ToolWalkForwardTest, FoldsSavedWithTheirRecipeAndReportedOneLineEach) {
  TempDir dir;
  const std::string log = kExamples + "/bars-ar1.log";
  const std::string folds = dir.file("folds");
  Outcome r = RunTool(dir, {"walkforward", log, "-o", folds, "--train-bars", "1500", "--test-bars",
                            "500", "--hidden", "4", "--epochs", "40", "--cost", "1e-4",
                            "--bars-out", dir.file("lines.csv")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 14u + 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("bars: ", 0), 0u);
  EXPECT_EQ(lines[13], "cost: 1e-04");  // the shortest text, as std::to_chars writes it
  for (int f = 1; f <= 3; ++f) {
    EXPECT_EQ(lines[13 + f].rfind("fold " + std::to_string(f) + ": train from ", 0), 0u)
        << lines[13 + f];
    const std::string path = folds + "/fold-0" + std::to_string(f) + ".ini";
    const Outcome info = RunTool(dir, {"info", path});
    EXPECT_NE(info.out.find("recipe: window 10, features returns, horizon 1, target direction"),
              std::string::npos)
        << info.out;
  }
  // The CSV's last equity is the report's return plus 1.
  const std::vector<std::string> csv = Lines(ReadFile(dir.file("lines.csv")));
  ASSERT_GT(csv.size(), 1400u);
  const double equity = std::stod(csv.back().substr(csv.back().rfind(',') + 1));
  const double total = std::stod(lines[5].substr(lines[5].find(' ') + 1));
  EXPECT_EQ(equity - 1, total);
  // The folds are not replaced unasked, and nothing else is written then.
  r = RunTool(dir, {"walkforward", log, "-o", folds, "--train-bars", "1500", "--test-bars", "500",
                    "--epochs", "5", "--plot", dir.file("equity.svg")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("fold-01.ini\" exists; pass --force"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("equity.svg")));
}

TEST(ToolOnnxTest, ImportsPyTorchModelsAndExportsBackToTheSameOutputs) {
  TempDir dir;
  // PyTorch's export, imported through a network file: PyTorch's double outputs within 1e-12.
  const std::string net = dir.file("torch.ini");
  Outcome r = RunTool(dir, {"import", kData + "/onnx/torch_normalised.onnx", "-o", net});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string inputs, expected;
  for (const std::string& line : Lines(ReadFile(kData + "/onnx/torch_normalised.expected.txt"))) {
    if (line.empty() || line[0] == '#') continue;
    inputs += line.substr(0, line.find('|')) + "\n";
    expected += line.substr(line.find('|') + 1) + "\n";
  }
  WriteFile(dir.file("in.txt"), inputs);
  r = RunTool(dir, {"run", net, dir.file("in.txt")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> ours = Lines(r.out), theirs = Lines(expected);
  ASSERT_EQ(ours.size(), theirs.size());
  for (std::size_t i = 0; i < ours.size(); ++i) {
    const std::vector<double> a = ParseNumberLine(ours[i]).values;
    const std::vector<double> b = ParseNumberLine(theirs[i]).values;
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], 1e-12 * std::abs(b[k]));
  }

  // Export, import again: the same outputs, to the last digit the tool prints.
  const std::string example = kExamples + "/net-10-20-5.ini";
  ASSERT_EQ(RunTool(dir, {"export", example, "-o", dir.file("net.onnx")}).exit_code, 0);
  ASSERT_EQ(RunTool(dir, {"import", dir.file("net.onnx"), "-o", dir.file("back.ini")}).exit_code,
            0);
  const std::string in = kExamples + "/net-10-20-5-inputs.txt";
  const Outcome original = RunTool(dir, {"run", example, in});
  EXPECT_EQ(RunTool(dir, {"run", dir.file("back.ini"), in}).out, original.out);
  EXPECT_FALSE(original.out.empty());

  // Refused either way: one line naming what and where, and nothing written.
  std::unique_ptr<Perceptron> looped = LoadNetworkFile(kExamples + "/xor.ini");
  looped->AddLink(1, 0, 2, 0, 0.5);
  ASSERT_TRUE(WriteNetworkFile(*looped, dir.file("looped.ini")));
  WriteFile(dir.file("cut.onnx"), ReadFile(dir.file("net.onnx")).substr(0, 300));
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"export", dir.file("looped.ini"), "-o", dir.file("x.onnx")},
            "element (1, 0): its link from (2, 0) reads that element's output of the previous "
            "pass"},
           {{"import", dir.file("cut.onnx"), "-o", dir.file("x.ini")}, "not an ONNX model"}}) {
    r = RunTool(dir, args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.onnx")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.ini")));
}

// Weights that are not finite numbers, files beyond the size an import reads (a regular file told
// by its size, a device by reading up to the limit): refused, naming the connection or the limit,
// and nothing written.
TEST(ToolImportTest, RefusesNonFiniteWeightsAndFilesBeyondTheLimit) {
  TempDir dir;
  const std::string big = dir.file("big.net");
  std::filesystem::copy_file(kData + "/fann_2_3_1.net", big);
  std::filesystem::resize_file(big, kFannFileMaxBytes + 1);  // sparse: nothing is written
  const struct {
    std::string file;
    const char* message;
  } cases[] = {
      {kData + "/fann_nan_weight.net",
       "neuron 3 (layer 1, index 0): connection 2 (from neuron 1) has the weight NaN"},
      {kData + "/fann_infinite_bias.net",
       "neuron 7 (layer 2, index 0): connection 13 (from neuron 6) has the weight Infinity"},
      {big, "is larger than 256 MiB, the most an import reads"},
      {"/dev/zero", "is larger than 256 MiB"},
  };
  for (const auto& c : cases) {
    const Outcome r = RunTool(dir, {"import", c.file, "-o", dir.file("out.ini")});
    EXPECT_EQ(r.exit_code, 1) << c.file;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.ini"))) << c.file;
    std::filesystem::remove(dir.file("out.ini"));  // so that each case stands on its own
  }
  // The inputs of run are read a line at a time, and a line has a limit too.
  const Outcome r = RunTool(dir, {"run", kExamples + "/xor.ini", "/dev/zero"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("line 1: longer than 4 MiB"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace mplnet::tool
