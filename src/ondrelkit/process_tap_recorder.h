// One recording: builds the capture chain (system tap, microphone, private aggregate device), runs
// the I/O callback that converts, meters and writes the audio, follows changes of the default
// output device by rebuilding the chain into the same file, and tears it all down at the end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/devices.h"
#include "ondrelkit/encode/streaming_encoder.h"
#include "ondrelkit/retry_loop.h"
#include "ondrelkit/wav_writer.h"

namespace ondrel {

class EchoCancelledInput;
struct ConvertedCycle;

struct RecorderOptions {
  // A failed rebuild is retried with this backoff until one succeeds or the recording stops.
  RetryBackoff rebuildBackoff = {};
  // The microphone, as of each (re)build; with the system's default, a change of the default
  // input rebuilds the chain too.
  MicrophoneChoice microphone = {};
  // The microphone channel with the system audio's echo removed (EchoCancelledInput): for users
  // on speakers. The system channel and the file's length stay as without it.
  bool echoCancel = false;
};

class ProcessTapRecorder : public std::enable_shared_from_this<ProcessTapRecorder> {
 public:
  // Touches neither the hardware nor the file system. The platform's callbacks hold the recorder
  // weakly, which is why it lives in a shared_ptr.
  static std::shared_ptr<ProcessTapRecorder> create(std::shared_ptr<AudioHardware> hardware,
                                                    std::filesystem::path wavURL,
                                                    RecorderOptions options = {});
  ~ProcessTapRecorder();

  // Builds and starts the chain. Throws CaptureError, the writer's creation error, or for a rate
  // the echo canceller cannot take, std::invalid_argument; on failure nothing already created is
  // undone.
  void start();
  // Tears the chain down (waiting for a running rebuild), writes the audio the echo canceller
  // still holds, then finalizes the WAV file.
  void stop();
  // stop(), then the M4A file at m4aURL: the packets encoded while recording, remuxed, or when
  // that encoder failed at any point, the whole WAV file transcoded (whose errors propagate; a
  // WAV file that lacks frames is an error, never a short M4A file). The file is written under a
  // hidden name and renamed once whole. Then removes the WAV file and the partial file; returns
  // m4aURL. Afterwards framesWritten() and elapsedSeconds() give the M4A file's length.
  std::filesystem::path finishToM4A(const std::filesystem::path& wavURL,
                                    const std::filesystem::path& m4aURL);

  // (mic, system): the peaks of the latest I/O cycle.
  std::pair<float, float> snapshotLevels() const;
  // The recorded time: frames that at least one of the files took.
  double elapsedSeconds() const;
  std::uint64_t framesWritten() const;
  // Frames the WAV file could not take (past its 4 GiB, or a failed write).
  std::uint64_t framesMissingFromWav() const;
  std::uint32_t sampleRate() const;
  // Frames handed to the encoder and not yet taken by it (0 before start()); lets a caller that
  // feeds the I/O block faster than real time wait for the encoder.
  std::size_t encoderBacklogFrames() const;

  // Where the encoder writes while recording: hidden, beside the WAV file, and named so that no
  // host takes it for the finished file.
  static std::filesystem::path partialURLFor(const std::filesystem::path& wavURL);

  // The rate a device reports, made usable: rounded half away from zero, 48000 when not positive.
  static std::uint32_t usableSampleRate(double nominal);

 private:
  ProcessTapRecorder(std::shared_ptr<AudioHardware> hardware, std::filesystem::path wavURL,
                     RecorderOptions options);

  AudioDeviceIOBlock makeIOBlock();
  void handleInput(const AudioBufferList* input);
  // Converts a block and hands all but its first `priming` frames to both files; its peaks.
  std::optional<ConvertedCycle> write(const AudioBufferList& block, std::size_t priming);
  void installListeners();
  // A chosen device that leaves or returns: one line on standard error per outage.
  void checkChosenMicrophone();
  // A notification always rebuilds; a retry only while the latest rebuild has failed.
  void rebuildTap();
  void retryRebuild();
  void rebuildWithQueueHeld();
  // With lifecycleQueue held; each step names itself in the CaptureError it throws.
  void rebuildChain();
  void tearDownChain();
  void createTapAndAggregate();
  void startIOProc(const char* registerStep, const char* startStep);

  const std::shared_ptr<AudioHardware> hardware;
  const MicrophoneChoice microphone;
  const bool echoCancel;
  // The microphone of the latest chain (with lifecycleQueue held): a rebuild while no microphone
  // fits keeps it, silent until it returns, rather than ending the capture.
  std::string micUID;
  std::mutex micPresenceLock;
  bool chosenMicMissing = false;  // guarded by micPresenceLock

  // The capture chain; after start() only touched with lifecycleQueue held.
  AudioObjectID tapID = kAudioObjectUnknown;
  AudioObjectID aggID = kAudioObjectUnknown;
  std::optional<AudioDeviceIOProcID> procID;

  const std::filesystem::path wavURL;
  std::unique_ptr<WavWriter> writer;
  // Set by start() before the I/O block is registered, like writer.
  std::unique_ptr<StreamingEncoder> encoder;

  // Guarded by lock, held for a few loads or stores and never across a call.
  mutable std::mutex lock;
  std::uint32_t sampleRate_ = 48000;
  float micLevel = 0;
  float systemLevel = 0;
  std::uint64_t framesWritten_ = 0;
  std::uint64_t framesMissingFromWav_ = 0;

  // The I/O thread's scratch block.
  std::vector<std::int16_t> interleaved;
  // With echoCancel, set by start(); the I/O thread's, then stop()'s once the chain is down.
  std::unique_ptr<EchoCancelledInput> echo;

  // Orders the changes of the chain: a teardown waits for a running rebuild, and a rebuild after
  // the teardown finds isStopped set.
  std::mutex lifecycleQueue;
  bool isStopped = false;
  // A rebuild has failed and none has succeeded since (with lifecycleQueue held): the outage's one
  // line on standard error has been written.
  bool rebuildFailing = false;

  const AudioObjectPropertyAddress outputChangeAddr{kAudioHardwarePropertyDefaultOutputDevice,
                                                    kAudioObjectPropertyScopeGlobal,
                                                    kAudioObjectPropertyElementMain};

  // Retries a failed rebuild; last, so its thread ends before the other fields go.
  RetryLoop rebuildRetries;
};

}  // namespace ondrel
