// The ondrel binary run the way a host runs it, against a private sound server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "child_process.h"
#include "decoded_audio.h"
#include "pulse_server.h"
#include "temp_dir.h"

namespace ondrel::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

// ONDREL_TEST_BINARY points the tests at another build of the tool, such as an installed one.
const std::string kBinary =
    std::getenv("ONDREL_TEST_BINARY") ? std::getenv("ONDREL_TEST_BINARY") : ONDREL_BINARY;

class OndrelCli : public SharedPulseServerTest {
 protected:
  TempDir dir;
};

TEST_F(OndrelCli, RecordsBothSourcesIntoAnM4aAndReportsEachStep) {
  server->setDefaultSink("speakers");
  auto mic =
      server->play("micfeed", {.frequency = 440, .leftAmplitude = 0.5f, .rightAmplitude = 0.5f});
  auto system =
      server->play("speakers", {.frequency = 1000, .leftAmplitude = 0.5f, .rightAmplitude = 0});
  const fs::path folder = dir / "nested" / "session one";
  ChildProcess child({kBinary, "--out", folder.string()});

  auto first = child.readLine();
  ASSERT_TRUE(first) << child.stderrText();
  EXPECT_EQ(json::parse(*first), json({{"type", "started"}}));
  std::vector<json> levels;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  while (levels.size() < 25) {
    auto line = child.readLine();
    ASSERT_TRUE(line);
    levels.push_back(json::parse(*line));
    arrivals.push_back(std::chrono::steady_clock::now());
  }
  child.writeStdin("stop\n");
  auto rest = readToEnd(child);
  ASSERT_FALSE(rest.empty());
  ASSERT_EQ(child.wait(), 0) << child.stderrText();
  EXPECT_EQ(child.stderrText(), "");

  for (std::size_t i = 0; i < levels.size(); ++i) {
    ASSERT_EQ(levels[i].size(), 4u) << levels[i];
    EXPECT_EQ(levels[i]["type"], "level");
    ASSERT_TRUE(levels[i]["mic"].is_number() && levels[i]["system"].is_number());
    if (i > 0) {
      EXPECT_GE(levels[i]["t"].get<double>(), levels[i - 1]["t"].get<double>());
    }
  }
  // The levels follow the tones: about 0.5 on the microphone, 0.25 (left-only, averaged) on the
  // system side.
  EXPECT_NEAR(levels.back()["mic"].get<double>(), 0.5, 0.1);
  EXPECT_NEAR(levels.back()["system"].get<double>(), 0.25, 0.06);
  const double period = std::chrono::duration<double>(arrivals.back() - arrivals.front()).count() /
                        double(arrivals.size() - 1);
  EXPECT_GT(period, 0.095);
  EXPECT_LT(period, 0.2);

  const json done = rest.back();
  for (std::size_t i = 0; i + 1 < rest.size(); ++i) EXPECT_EQ(rest[i]["type"], "level");
  EXPECT_EQ(done.size(), 3u);
  EXPECT_EQ(done["path"], (folder / "audio.m4a").string());
  const double duration = done["t"].get<double>();
  EXPECT_GE(duration, levels.back()["t"].get<double>());
  EXPECT_GT(duration, 2.0);
  std::ifstream metaFile(folder / "meta.json");
  const json meta = json::parse(metaFile);
  EXPECT_EQ(meta, json({{"duration", duration}}));
  EXPECT_FALSE(fs::exists(folder / "audio.wav"));

  const DecodedAudio audio = decodeAudio(folder / "audio.m4a");
  EXPECT_EQ(audio.channels, 2u);
  EXPECT_EQ(audio.sampleRate, 48000u);
  EXPECT_NEAR(double(audio.frames()) / audio.sampleRate, duration, 0.05);
  const double end = duration - 0.2;
  EXPECT_NEAR(audio.toneAmplitude(0, 440, 0.5, end), 0.5, 0.08);
  EXPECT_LT(audio.toneAmplitude(0, 1000, 0.5, end), 0.02);
  EXPECT_NEAR(audio.toneAmplitude(1, 1000, 0.5, end), 0.25, 0.05);
  EXPECT_LT(audio.toneAmplitude(1, 440, 0.5, end), 0.02);
}

// "--version" anywhere wins; without a usable "--out" the usage text is all there is. Neither
// creates a folder.
TEST_F(OndrelCli, CommandLinesThatRecordNothing) {
  const std::string version = "ondrel 0.1.0\n";
  const std::string usage = "usage: --out <folder>\n";
  const std::string a = (dir / "a").string();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{kBinary, "--version"}, 0, version, ""},
      {{kBinary, "--out", a, "--version"}, 0, version, ""},
      {{kBinary, "--out", "--version"}, 0, version, ""},
      {{kBinary}, 1, "", usage},
      {{kBinary, "--out"}, 1, "", usage},
      {{kBinary, "out", a}, 1, "", usage},
      {{kBinary, a, "--out"}, 1, "", usage},
      {{kBinary, "--OUT", a}, 1, "", usage},
  };
  for (const auto& c : cases) {
    const RunResult r = runToEnd(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST_F(OndrelCli, ClosedStandardInputStopsAndTheFirstOutWins) {
  const RunResult r =
      runToEnd({kBinary, "--out", (dir / "first").string(), "--out", (dir / "second").string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<json> events = parseEvents(r.out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front()["type"], "started");
  EXPECT_EQ(events.back()["type"], "done");
  EXPECT_TRUE(fs::exists(dir / "first" / "audio.m4a"));
  EXPECT_TRUE(fs::exists(dir / "first" / "meta.json"));
  EXPECT_FALSE(fs::exists(dir / "second"));
}

TEST_F(OndrelCli, AFailedFinishIsOneErrorEventAndKeepsTheWav) {
  const fs::path folder = dir / "f";
  fs::create_directories(folder / "audio.m4a" / "inside");
  const RunResult r = runToEnd({kBinary, "--out", folder.string()}, "stop\n");
  EXPECT_EQ(r.status, 1);
  const std::vector<json> events = parseEvents(r.out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back()["type"], "error");
  EXPECT_EQ(events.back()["message"].get<std::string>().rfind("finish failed: ", 0), 0u)
      << events.back();
  for (std::size_t i = 0; i + 1 < events.size(); ++i) EXPECT_NE(events[i]["type"], "error");
  EXPECT_TRUE(fs::exists(folder / "audio.wav"));
  EXPECT_FALSE(fs::exists(folder / "meta.json"));
  EXPECT_TRUE(fs::exists(folder / "audio.m4a" / "inside"));
}

TEST_F(OndrelCli, AnUnwritableMetaJsonStillEndsInDone) {
  const fs::path folder = dir / "m";
  fs::create_directories(folder / "meta.json" / "inside");
  const RunResult r = runToEnd({kBinary, "--out", folder.string()}, "stop\n");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"type\":\"done\""), std::string::npos);
  EXPECT_TRUE(fs::exists(folder / "audio.m4a"));
  EXPECT_TRUE(fs::is_directory(folder / "meta.json"));
  for (const auto& entry : fs::directory_iterator(folder)) {
    EXPECT_TRUE(entry.path().filename() == "audio.m4a" || entry.path().filename() == "meta.json")
        << "left behind: " << entry.path();
  }
}

TEST_F(OndrelCli, TheJavaScriptHostExampleRecords) {
  const fs::path folder = dir / "js";
  const RunResult r = runToEnd(
      {"/usr/bin/env", "node", ONDREL_SOURCE_DIR "/examples/host.js", folder.string(), kBinary});
  if (r.status == 127) GTEST_SKIP() << "node is not installed";
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("saved " + (folder / "audio.m4a").string()), std::string::npos) << r.out;
  EXPECT_GT(decodeAudio(folder / "audio.m4a").frames(), 2u * PulseServer::kRate);
}

// A host quitting, Ctrl-C or a closed terminal finishes the recording as "stop" does.
TEST_F(OndrelCli, EachStopSignalFinishesTheRecordingInOrder) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const fs::path folder = dir / std::to_string(signal);
    ChildProcess child({kBinary, "--out", folder.string()});
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(child.readLine());  // started, then some levels
    child.kill(signal);
    const auto rest = readToEnd(child);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back()["type"], "done");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.stderrText(), "");
    EXPECT_TRUE(fs::exists(folder / "audio.m4a"));
    EXPECT_FALSE(fs::exists(folder / "audio.wav"));
  }
}

// A second signal does not wait for the finish; the WAV file is left with its sizes written.
TEST_F(OndrelCli, ASecondSignalEndsAtOnceWithAReadableWav) {
  ChildProcess child({kBinary, "--out", dir.path().string()});
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(child.readLine());
  child.kill(SIGTERM);
  child.kill(SIGINT);
  EXPECT_EQ(child.wait(), -1);  // ended by the signal
  EXPECT_EQ(child.remainingStdout().find("done"), std::string::npos);
  // A block the audio thread was appending as the process ended may lie beyond the sizes.
  const WavHeader header = readWavHeader(dir / "audio.wav");
  EXPECT_GT(header.dataSize, 0u);
  EXPECT_LE(header.dataSize + 44, header.fileSize);
  EXPECT_GE(header.dataSize + 44 + 4 * 48000 / 5, header.fileSize);
  WavHeader expected = pcmWavHeader(48000, 2, header.dataSize, true);
  expected.fileSize = header.fileSize;
  EXPECT_EQ(header, expected);
}

}  // namespace
}  // namespace ondrel::testing
