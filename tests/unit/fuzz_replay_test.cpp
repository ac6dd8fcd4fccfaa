// The fuzzers' checks, over their corpora (faults they once found among them) and other inputs.
#define ONDREL_REPLAY_ONLY
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "../../fuzz/convert_fuzzer.cpp"
#include "../../fuzz/stop_line_fuzzer.cpp"
#include "temp_dir.h"

namespace ondrel {
namespace {

template <typename Check>
void replay(const std::string& corpus, Check check) {
  for (const auto& file :
       std::filesystem::directory_iterator(ONDREL_SOURCE_DIR "/fuzz/corpus/" + corpus)) {
    EXPECT_EQ(check(testing::readFile(file.path())), "") << file.path();
  }
}

// About one random input in a hundred is the mono and stereo layout, which is vectorised.
TEST(InputConversion, AgreesWithTheReferenceOnTheFuzzCorpusAndRandomInputs) {
  replay("convert", [](const std::string& bytes) {
    return checkConversion(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  });
  std::mt19937 random(1);
  for (int i = 0; i < 4000; ++i) {
    std::vector<std::uint8_t> bytes(random() % 4096);
    for (auto& byte : bytes) byte = std::uint8_t(random());
    ASSERT_EQ(checkConversion(bytes.data(), bytes.size()), "") << "random input " << i;
  }
}

TEST(StopLine, AgreesWithThePlainReadingOnTheFuzzCorpusAndHugeLines) {
  replay("stop_line", checkStopLine);
  const std::string huge(1 << 20, 'x'), pad(100000, ' ');
  std::string noise(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = char(random() % 245 + 11);  // above the line feed
  std::vector<std::string> streams = {huge + "stop\n", huge + "\nstop\n", noise + "\nstop\n",
                                      pad + "stop" + std::string(100000, '\t') + "\n",
                                      pad + "stop" + pad + "x\n"};
  // Padding of every length around the terminator and multi-byte separators.
  for (std::size_t n = 50; n < 140; ++n) {
    const std::string spaces(n, ' ');
    streams.push_back("stop\r" + spaces + "\nstop" + spaces + "\r\nstop" + spaces +
                      "\xE3\x80\x80\n");
  }
  for (const auto& stream : streams) EXPECT_EQ(checkStopLine(stream), "") << stream.substr(0, 80);
}

}  // namespace
}  // namespace ondrel
