#include "ondrelkit/process_tap_recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <stdexcept>

#include "ondrelkit/capture_error.h"
#include "ondrelkit/devices.h"
#include "ondrelkit/encode/transcoder.h"
#include "ondrelkit/events.h"
#include "ondrelkit/input_conversion.h"
#include "ondrelkit/processing/echo_cancelled_input.h"
#include "ondrelkit/recording_folder.h"
#include "ondrelkit/system_tap.h"

namespace ondrel {

std::shared_ptr<ProcessTapRecorder> ProcessTapRecorder::create(
    std::shared_ptr<AudioHardware> hardware, std::filesystem::path wavURL,
    RecorderOptions options) {
  return std::shared_ptr<ProcessTapRecorder>(
      new ProcessTapRecorder(std::move(hardware), std::move(wavURL), std::move(options)));
}

ProcessTapRecorder::ProcessTapRecorder(std::shared_ptr<AudioHardware> hw, std::filesystem::path url,
                                       RecorderOptions options)
    : hardware(std::move(hw)),
      microphone(std::move(options.microphone)),
      echoCancel(options.echoCancel),
      wavURL(std::move(url)),
      rebuildRetries(options.rebuildBackoff) {}

ProcessTapRecorder::~ProcessTapRecorder() = default;

std::uint32_t ProcessTapRecorder::usableSampleRate(double nominal) {
  if (!(nominal > 0)) return 48000;
  const double rounded = std::round(nominal);  // halves away from zero
  if (!(rounded <= double(UINT32_MAX))) return 48000;
  return std::uint32_t(rounded);
}

void ProcessTapRecorder::start() {
  {
    std::lock_guard queue(lifecycleQueue);
    createTapAndAggregate();

    std::uint32_t rate = 48000;
    try {
      rate = usableSampleRate(nominalSampleRate(*hardware, aggID));
    } catch (const CaptureError&) {
      // An unreadable rate is not worth failing a recording for.
    }
    {
      std::lock_guard guard(lock);
      sampleRate_ = rate;
    }
    // Room for a second of audio per cycle, so even a burst after a stall does not allocate on the
    // audio thread; the echo canceller takes longer cycles in pieces of that size.
    const std::size_t cycleFrames = std::min(rate, 192000u);
    if (echoCancel) echo = std::make_unique<EchoCancelledInput>(rate, cycleFrames);
    writer = std::make_unique<WavWriter>(wavURL, rate, 2, 16);
    encoder = std::make_unique<StreamingEncoder>(partialURLFor(wavURL), rate);
    interleaved.reserve(2 * cycleFrames);

    try {
      startIOProc("AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart");
    } catch (...) {
      // No recording came of it: nothing for the partial file to hold or a recovery to find.
      encoder.reset();
      std::error_code ignored;
      std::filesystem::remove(partialURLFor(wavURL), ignored);
      throw;
    }
  }
  installListeners();
}

void ProcessTapRecorder::stop() {
  // Outside lifecycleQueue, which a running retry may be waiting for.
  rebuildRetries.stop();
  {
    std::lock_guard queue(lifecycleQueue);
    isStopped = true;
    tearDownChain();
  }
  if (!writer) throw std::logic_error("the recording was never started");
  // No cycle can come any more: what the canceller holds is the recording's last frames.
  if (echo) {
    echo->flush(
        [this](const AudioBufferList& block, std::size_t priming) { (void)write(block, priming); });
  }
  writer->finalize();
}

std::filesystem::path ProcessTapRecorder::finishToM4A(const std::filesystem::path& wav,
                                                      const std::filesystem::path& m4a) {
  stop();
  const std::filesystem::path partial = encoder->partialPath();
  const std::filesystem::path finishing = RecordingFolder::finishingURLFor(m4a);
  std::error_code ignored;
  std::optional<std::uint64_t> frames = encoder->finish();
  try {
    if (frames) {
      try {
        encoder->remuxTo(finishing);
      } catch (const std::exception&) {
        frames.reset();  // the partial file stays until the WAV file has been transcoded
      }
    }
    if (!frames) {
      // The WAV file is all that is left: a transcode of it must not pass for the recording when
      // it lacks some. Both files stay for the host to keep or recover.
      if (const std::uint64_t missing = framesMissingFromWav()) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the encoder failed and the WAV file lacks %.1f s of the %.1f s recorded",
                      double(missing) / sampleRate(), elapsedSeconds());
        throw std::runtime_error(text);
      }
      // Not the whole recording: free its room for the transcode.
      std::filesystem::remove(partial, ignored);
      Transcoder::wavToM4A(wav, finishing);
      frames = writer->dataBytesWritten() / 4;
    }
    RecordingFolder::publish(finishing, m4a);
  } catch (...) {
    std::filesystem::remove(finishing, ignored);
    throw;
  }
  std::filesystem::remove(wav, ignored);
  std::filesystem::remove(partial, ignored);
  std::lock_guard guard(lock);
  framesWritten_ = *frames;
  return m4a;
}

std::filesystem::path ProcessTapRecorder::partialURLFor(const std::filesystem::path& wav) {
  std::string name = wav.stem().string();
  name.insert(0, 1, '.');
  name.append(".m4a.partial");
  return wav.parent_path() / name;
}

std::size_t ProcessTapRecorder::encoderBacklogFrames() const {
  return encoder ? encoder->backlogFrames() : 0;
}

std::pair<float, float> ProcessTapRecorder::snapshotLevels() const {
  std::lock_guard guard(lock);
  return {micLevel, systemLevel};
}

double ProcessTapRecorder::elapsedSeconds() const {
  std::lock_guard guard(lock);
  return double(framesWritten_) / double(sampleRate_);
}

std::uint64_t ProcessTapRecorder::framesMissingFromWav() const {
  std::lock_guard guard(lock);
  return framesMissingFromWav_;
}

std::uint64_t ProcessTapRecorder::framesWritten() const {
  std::lock_guard guard(lock);
  return framesWritten_;
}

std::uint32_t ProcessTapRecorder::sampleRate() const {
  std::lock_guard guard(lock);
  return sampleRate_;
}

AudioDeviceIOBlock ProcessTapRecorder::makeIOBlock() {
  return [weak = weak_from_this()](const AudioTimeStamp*, const AudioBufferList* input,
                                   const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*) {
    if (auto self = weak.lock()) self->handleInput(input);
  };
}

void ProcessTapRecorder::handleInput(const AudioBufferList* input) {
  if (input == nullptr) return;
  std::optional<ConvertedCycle> cycle;
  const auto take = [&](const AudioBufferList& block, std::size_t priming) {
    const auto piece = write(block, priming);
    if (!piece || !cycle) {
      cycle = cycle ? cycle : piece;
      return;
    }
    cycle->micPeak = std::max(cycle->micPeak, piece->micPeak);
    cycle->systemPeak = std::max(cycle->systemPeak, piece->systemPeak);
  };
  if (echo) {
    echo->process(*input, take);
  } else {
    take(*input, 0);
  }
  if (!cycle) return;
  std::lock_guard guard(lock);
  micLevel = cycle->micPeak;
  systemLevel = cycle->systemPeak;
}

std::optional<ConvertedCycle> ProcessTapRecorder::write(const AudioBufferList& block,
                                                        std::size_t priming) {
  const auto cycle = convertInput(block, interleaved);
  if (!cycle) return cycle;
  // The echo canceller's priming comes before the first frame captured: no part of the recording.
  const std::size_t dropped = std::min<std::size_t>(priming, cycle->frames);
  const std::span<const std::int16_t> frames(interleaved.data() + 2 * dropped,
                                             2 * (cycle->frames - dropped));
  // A failed write must not end the recording. The WAV file keeps what it can (it stops at 4 GiB),
  // the encoder takes everything unless it fails; the frames count while either holds them.
  const bool inWav = writer->tryAppend(frames) == WavWriter::AppendResult::ok;
  const bool inM4a = encoder->push(frames);
  std::lock_guard guard(lock);
  if (inWav || inM4a) framesWritten_ += frames.size() / 2;
  if (!inWav) framesMissingFromWav_ += frames.size() / 2;
  return cycle;
}

void ProcessTapRecorder::installListeners() {
  const auto rebuild = [weak = weak_from_this()](std::uint32_t, const AudioObjectPropertyAddress*) {
    if (auto self = weak.lock()) self->rebuildTap();
  };
  (void)hardware->AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, outputChangeAddr,
                                                      rebuild);
  if (microphone.kind == MicrophoneChoice::Kind::systemDefault) {
    (void)hardware->AudioObjectAddPropertyListenerBlock(
        kAudioObjectSystemObject,
        {kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal,
         kAudioObjectPropertyElementMain},
        rebuild);
  } else if (microphone.kind == MicrophoneChoice::Kind::device) {
    (void)hardware->AudioObjectAddPropertyListenerBlock(
        kAudioObjectSystemObject,
        {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
         kAudioObjectPropertyElementMain},
        [weak = weak_from_this()](std::uint32_t, const AudioObjectPropertyAddress*) {
          if (auto self = weak.lock()) self->checkChosenMicrophone();
        });
  }
}

void ProcessTapRecorder::checkChosenMicrophone() {
  bool missing = false;
  try {
    (void)chooseMicrophone(*hardware, microphone);
  } catch (const CaptureError& error) {
    // Only its absence counts: a server that does not answer is an outage of its own.
    missing = error.kind() == CaptureError::Kind::message;
  }
  std::lock_guard guard(micPresenceLock);
  if (missing && !chosenMicMissing) {
    (void)writeAll(STDERR_FILENO, "microphone " + microphone.uid +
                                      " is gone: its channel is silent until it returns\n");
  }
  chosenMicMissing = missing;
}

void ProcessTapRecorder::rebuildTap() {
  std::lock_guard queue(lifecycleQueue);
  rebuildWithQueueHeld();
}

void ProcessTapRecorder::retryRebuild() {
  std::lock_guard queue(lifecycleQueue);
  // A notification may have mended the chain while this retry waited for the queue.
  if (rebuildFailing) rebuildWithQueueHeld();
}

void ProcessTapRecorder::rebuildWithQueueHeld() {
  if (isStopped) return;
  try {
    rebuildChain();
    rebuildFailing = false;
    rebuildRetries.cancel();
  } catch (const std::exception& error) {
    // One line per outage, however many retries it takes.
    if (!rebuildFailing) {
      (void)writeAll(STDERR_FILENO, std::string("tap rebuild failed: ") + error.what() + "\n");
    }
    rebuildFailing = true;
    rebuildRetries.begin([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->retryRebuild();
    });
  }
}

void ProcessTapRecorder::rebuildChain() {
  tearDownChain();
  createTapAndAggregate();
  startIOProc("re-create IOProc", "re-start");
}

void ProcessTapRecorder::createTapAndAggregate() {
  const SystemTap tap = createSystemTap(*hardware);
  tapID = tap.tapID;
  try {
    micUID = deviceUID(*hardware, chooseMicrophone(*hardware, microphone));
  } catch (const CaptureError&) {
    // No microphone fits now: a running recording goes on with the one it had, silent until it
    // (or one that fits, at the next change) is there. Only a start fails for lack of one.
    if (micUID.empty()) throw;
  }
  aggID = createAggregateDevice(*hardware, micUID, tap.uuid);
}

void ProcessTapRecorder::startIOProc(const char* registerStep, const char* startStep) {
  AudioDeviceIOProcID newProc = 0;
  if (OSStatus status =
          hardware->AudioDeviceCreateIOProcIDWithBlock(newProc, aggID, makeIOBlock())) {
    throw CaptureError::osStatus(registerStep, status);
  }
  procID = newProc;
  if (OSStatus status = hardware->AudioDeviceStart(aggID, *procID)) {
    throw CaptureError::osStatus(startStep, status);
  }
}

void ProcessTapRecorder::tearDownChain() {
  if (procID) {
    (void)hardware->AudioDeviceStop(aggID, *procID);
    (void)hardware->AudioDeviceDestroyIOProcID(aggID, *procID);
  }
  if (aggID != kAudioObjectUnknown) (void)hardware->AudioHardwareDestroyAggregateDevice(aggID);
  if (tapID != kAudioObjectUnknown) (void)hardware->AudioHardwareDestroyProcessTap(tapID);
  procID.reset();
}

}  // namespace ondrel
