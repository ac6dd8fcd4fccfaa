// Times one Transcoder::wavToM4A run, for bench/transcode_vs_ffmpeg.sh to compare with the ffmpeg
// command line on the same WAV file. Prints the wall time in seconds on standard output.
#include <chrono>
#include <cstdio>
#include <exception>

#include "ondrelkit/encode/transcoder.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: transcode_bench <source.wav> <destination.m4a>\n");
    return 2;
  }
  try {
    auto start = std::chrono::steady_clock::now();
    ondrel::Transcoder::wavToM4A(argv[1], argv[2]);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.4f\n", elapsed.count());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transcode failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
