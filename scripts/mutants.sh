#!/usr/bin/env bash
# Deliberate faults the tests must catch. Each one is a small edit of the source, applied in turn
# to a copy of the working tree (never to the tree itself): the copy is built, the tests that
# should notice are run, and the edit is undone. Prints one line per fault and a summary; exits
# non-zero if any fault survives or no longer applies (the code it edits has changed: update it).
#
# Usage: scripts/mutants.sh [name-substring...]   (default: every fault)
#   MUTANTS_DIR   where the copy and its build live (default /tmp/ondrel-mutants), kept between
#                 runs so that each run rebuilds only what the faults touch.
#   MUTANTS_JOBS  build jobs (default 2).
# A fault names the tests that must catch it: "unit:<gtest filter>" runs the unit tests, and
# "e2e:<pytest -k expression>" the end-to-end scenarios (tests/e2e) against the faulty build.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANTS_DIR:-/tmp/ondrel-mutants}
jobs=${MUTANTS_JOBS:-2}
copy=$work/tree
build=$work/build
log=$work/log
mkdir -p "$copy" "$log"

# Copy what differs only, so the build stays incremental.
(cd "$root" && git ls-files --cached --others --exclude-standard -z) |
  while IFS= read -r -d '' f; do
    [[ -f $root/$f ]] || continue
    if ! cmp -s "$root/$f" "$copy/$f"; then
      mkdir -p "$(dirname "$copy/$f")"
      cp "$root/$f" "$copy/$f"
    fi
  done
targets=(ondrel ondrel_unit_tests ondrel_stall_probe)
cmake -S "$copy" -B "$build" -DONDREL_BENCH=OFF >/dev/null || exit 2
nice cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$log/build.txt" 2>&1 ||
  { echo "the unmodified tree does not build: $log/build.txt"; exit 2; }

# replace <file> <literal text> <literal replacement>: exactly one occurrence, or it fails.
replace() {
  python3 - "$copy/$1" "$2" "$3" <<'EOF'
import sys
path, old, new = sys.argv[1:]
text = open(path).read()
if text.count(old) != 1:
    sys.exit(1)
open(path, "w").write(text.replace(old, new))
EOF
}

caught=0
survived=0
stale=0
filters=("$@")

# fault <name> <file> <text> <replacement> <tests>: tests are "unit:<gtest filter>" or
# "e2e:<pytest -k expression>", separated by "|"; the fault is caught if any of them fails.
fault() {
  local name=$1 file=$2 old=$3 new=$4 tests=$5
  if ((${#filters[@]})); then
    local wanted=0 f
    for f in "${filters[@]}"; do [[ $name == *"$f"* ]] && wanted=1; done
    ((wanted)) || return 0
  fi
  cp "$copy/$file" "$work/original"
  if ! replace "$file" "$old" "$new"; then
    printf '%-44s STALE (the text to change is not in %s once)\n' "$name" "$file"
    stale=$((stale + 1))
    return
  fi
  local result="MISSED" started=$SECONDS
  if ! nice cmake --build "$build" -j "$jobs" --target "${targets[@]}" \
    >"$log/$name.build.txt" 2>&1; then
    result="STALE (does not build: $log/$name.build.txt)"
  else
    local t all
    IFS='|' read -ra all <<<"$tests"
    # From the work folder: a fault may make the tool create folders where it runs.
    cd "$work" || exit 2
    for t in "${all[@]}"; do
      if [[ $t == unit:* ]]; then
        timeout 600 "$build/ondrel_unit_tests" --gtest_filter="${t#*:}" >"$log/$name.txt" 2>&1
      else
        ONDREL_TEST_BINARY=$build/ondrel ONDREL_TEST_PROBE=$build/ondrel_stall_probe \
          timeout 600 /usr/bin/python3 -m pytest -p no:cacheprovider -q -x "$root/tests/e2e" \
          -k "${t#*:}" >"$log/$name.txt" 2>&1
      fi
      case $? in
        0) ;;
        5) result="STALE (no test matches ${t#*:})" && break ;;
        *) result="caught by ${t#*:}" && break ;;
      esac
    done
  fi
  cp "$work/original" "$copy/$file"
  case $result in
    caught*) caught=$((caught + 1)) ;;
    STALE*) stale=$((stale + 1)) ;;
    *) survived=$((survived + 1)) ;;
  esac
  printf '%-44s %s (%ds)\n' "$name" "$result" $((SECONDS - started))
}

# ---- conversion ----
fault swapped-channels src/ondrelkit/input_conversion.cpp \
  '_mm_packs_epi32(_mm_unpacklo_epi32(mi, si), _mm_unpackhi_epi32(mi, si))' \
  '_mm_packs_epi32(_mm_unpacklo_epi32(si, mi), _mm_unpackhi_epi32(si, mi))' \
  'unit:InputConversion.*'
fault missing-lower-clamp src/ondrelkit/input_conversion.h \
  '(x < -1.0f ? -1.0f : x)' 'x' 'unit:InputConversion.*'
fault missing-clamp-fast-path src/ondrelkit/input_conversion.cpp \
  '_mm_max_ps(_mm_min_ps(m, one), minusOne)' '_mm_min_ps(m, one)' 'unit:InputConversion.*'
fault nan-becomes-a-peak src/ondrelkit/input_conversion.cpp \
  'micPeak = absM >= micPeak ? absM : micPeak;' 'micPeak = absM < micPeak ? micPeak : absM;' \
  'unit:InputConversion.*'
fault odd-channels-not-averaged src/ondrelkit/input_conversion.cpp \
  'const float divisor = float(std::max(c1, 1u));' 'const float divisor = 2.0f;' \
  'unit:InputConversion.*'
# ---- WAV file ----
fault riff-size-off-by-one src/ondrelkit/wav_writer.cpp \
  'const auto riffSize = le32(dataBytesWritten_ + 36);' \
  'const auto riffSize = le32(dataBytesWritten_ + 37);' 'unit:WavWriter.*'
fault old-file-not-truncated src/ondrelkit/wav_writer.cpp \
  'O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC' 'O_WRONLY | O_CREAT | O_CLOEXEC' 'unit:WavWriter.*'
fault torn-frame-after-kill src/ondrelkit/wav_writer.cpp \
  'data = std::min<std::uint64_t>(data - data % blockAlign,' \
  'data = std::min<std::uint64_t>(data,' 'unit:WavWriter.*'
fault no-fsync-before-publish src/ondrelkit/recording_folder.cpp \
  'ffmpeg::syncFileAndFolder(finishing, "M4A file");' '' 'unit:RecorderTest.*'
# ---- stop line, signals, command line ----
fault stop-with-trailing-text src/ondrel/stop_line.cpp \
  'const bool stop = !impossible_ && coreSize_ == 4' 'const bool stop = coreSize_ == 4' \
  'unit:StopLine.*'
fault cr-inside-line-is-space src/ondrel/stop_line.cpp \
  'character(false, &cr, 1);' 'character(true, &cr, 1);' 'unit:StopLine.*'
fault sighup-ignored src/ondrel/stop_signals.cpp \
  'sigaddset(&set, SIGHUP);' '' 'e2e:stop_signal'
fault second-signal-leaves-zero-sizes src/ondrel/stop_signals.cpp \
  '(void)WavWriter::writeSizesFromFileLength(wavURL);' '' 'e2e:second_signal'
fault a-folder-recorded-twice src/ondrelkit/recording_folder.cpp \
  '::flock(fd, LOCK_EX | LOCK_NB) == 0' 'true' 'e2e:same_folder or live_folder'
fault a-signal-after-done-kills src/ondrel/stop_signals.cpp \
  'if (outcomeSettled) continue;' '' 'e2e:stop_signal'
fault sigpipe-kills-the-tool src/ondrel/main.cpp \
  'std::signal(SIGPIPE, SIG_IGN);' '' 'e2e:closes_output'
fault version-only-first src/ondrel/session_driver.cpp \
  'std::find(arguments.begin() + 1, arguments.end(), "--version") != arguments.end()' \
  '(arguments.size() > 1 && arguments[1] == "--version")' 'e2e:command_lines'
fault usage-on-standard-output src/ondrel/session_driver.cpp \
  '(void)writeAll(STDERR_FILENO, kUsageText);' '(void)writeAll(STDOUT_FILENO, kUsageText);' \
  'e2e:command_lines'
fault end-of-input-is-no-stop src/ondrel/session_driver.cpp \
  'if (n <= 0 || matcher.feed(buffer, std::size_t(n))) break;' \
  'if (n < 0 || matcher.feed(buffer, std::size_t(n))) break;' 'e2e:closed_standard_input'
# ---- events and meta.json ----
fault level-printed-as-exact-binary src/ondrelkit/events.cpp \
  '{"mic", shortestDouble(e.mic)},' '{"mic", double(e.mic)},' 'unit:HelperEvent.*'
fault nan-printed-as-null src/ondrelkit/events.cpp \
  'if (!s.finite) return kFallbackLine;' '' 'unit:HelperEvent.*'
fault invalid-utf8-kills-the-event src/ondrelkit/events.cpp \
  'nlohmann::json::error_handler_t::replace' 'nlohmann::json::error_handler_t::ignore' \
  'unit:HelperEvent.*'
fault meta-json-never-renamed src/ondrelkit/recording_folder.cpp \
  'fs::rename(temporary, meta, ignored);' '' 'e2e:records_the_microphone and pulseaudio'
# ---- recorder: rebuilds, microphone, finish ----
fault rebuild-never-retries src/ondrelkit/process_tap_recorder.cpp \
  'rebuildRetries.begin([weak = weak_from_this()] {' 'if (false) rebuildRetries.begin([weak = weak_from_this()] {' \
  'unit:RecorderTest.*'
fault usb-mic-before-built-in src/ondrelkit/devices.cpp \
  'hasInput(hw, device) && transportType(hw, device) == kAudioDeviceTransportTypeBuiltIn' \
  'hasInput(hw, device) && transportType(hw, device) != 0' \
  'unit:MicrophoneChoice.*'
fault virtual-input-taken-as-mic src/ondrelkit/devices.cpp \
  'transport != kAudioDeviceTransportTypeVirtual' 'true' 'unit:MicrophoneChoice.*'
fault partial-file-named-audio-m4a src/ondrelkit/process_tap_recorder.cpp \
  'name.append(".m4a.partial");' 'name = wav.stem().string() + ".m4a";' \
  'unit:RecorderTest.*|e2e:sigkill'
fault encoder-overflow-not-a-failure src/ondrelkit/encode/streaming_encoder.cpp \
  'failed_.store(true, std::memory_order_relaxed);
    return false;' 'return false;' 'unit:RecorderTest.*'
fault frames-counted-only-from-wav src/ondrelkit/process_tap_recorder.cpp \
  'if (inWav || inM4a) framesWritten_' 'if (inWav) framesWritten_' 'unit:RecorderTest.*'
# ---- transcoder and encoder ----
fault edit-list-in-milliseconds src/ondrelkit/encode/m4a_muxer.cpp \
  'av_dict_set_int(&options.dict, "movie_timescale", stream_->codecpar->sample_rate, 0);' '' \
  'unit:Transcoder*'
fault last-packet-padding-kept src/ondrelkit/encode/streaming_encoder.cpp \
  'packet->duration = end - packet->dts;' 'packet->duration = 1024;' 'unit:Transcoder*'
fault aac-rate-rounded-down src/ondrelkit/encode/aac_encoder.cpp \
  'if (*rate > sourceRate && *rate < above) above = *rate;' \
  'if (*rate < sourceRate && *rate > above) above = *rate;' 'unit:Transcoder*'
fault destination-not-replaced src/ondrelkit/encode/transcoder.cpp \
  'if (std::filesystem::exists(std::filesystem::symlink_status(destination))) {
    std::filesystem::remove(destination);
  }
  job.run();' 'job.run();' 'unit:Transcoder*'
# ---- the finish and --recover ----
fault m4a-written-under-its-name src/ondrelkit/recording_folder.cpp \
  'name.append(".finishing");' 'name.erase(0, 1);' 'e2e:kill_left and during'
fault short-transcode-passes-for-the-recording src/ondrelkit/process_tap_recorder.cpp \
  'if (const std::uint64_t missing = framesMissingFromWav()) {' \
  'if (const std::uint64_t missing = 0 * framesMissingFromWav()) {' 'e2e:would_lose_audio'
fault splice-a-packet-late src/ondrelkit/recovery.cpp \
  'const std::int64_t firstKept = copied * frameSize - codec.initial_padding;' \
  'const std::int64_t firstKept = copied * frameSize;' 'e2e:kill_left'
fault splice-without-preroll src/ondrelkit/recovery.cpp \
  'constexpr std::int64_t kPrerollPackets = 8;' 'constexpr std::int64_t kPrerollPackets = 0;' \
  'e2e:kill_left'
fault torn-packet-of-the-partial-kept src/ondrelkit/recovery.cpp \
  'std::uint64_t(packet->pos) + std::uint64_t(packet->size) < size;' \
  'std::uint64_t(packet->pos) + std::uint64_t(packet->size) <= size;' 'e2e:mid-fragment'
fault recovered-wav-sizes-trusted src/ondrelkit/recovery.cpp \
  'if (!WavWriter::writeSizesFromFileLength(path)) throw notOurs;' '' 'e2e:kill_left'
fault recover-of-a-live-folder src/ondrel/session_driver.cpp \
  'if (!files.lock()) {
    HelperEvent::error("another ondrel is recording into " + folder.string()).emit();
    return 1;
  }
  RecoveredRecording' 'RecoveredRecording' 'e2e:live_folder'
fault progress-every-cycle src/ondrel/session_driver.cpp \
  'if (now - last_ < kProgressPeriod) return;' '' 'e2e:progress'
fault a-failed-start-leaves-the-partial-file src/ondrelkit/process_tap_recorder.cpp \
  'std::filesystem::remove(partialURLFor(wavURL), ignored);
      throw;' 'throw;' 'unit:RecorderTest.*'
# ---- the microphone's choice ----
fault chosen-microphone-stood-in-for src/ondrel/main.cpp \
  'microphone.kind !=
                                                   ondrel::MicrophoneChoice::Kind::device' \
  'true' 'e2e:leaves_and_returns and pulseaudio'
fault default-input-not-followed src/ondrelkit/process_tap_recorder.cpp \
  'if (microphone.kind == MicrophoneChoice::Kind::systemDefault) {' 'if (false) {' \
  'e2e:follows and pulseaudio'
fault rebuild-ends-for-lack-of-a-microphone src/ondrelkit/process_tap_recorder.cpp \
  'if (micUID.empty()) throw;' 'throw;' 'unit:RecorderTest.*'
fault microphone-switch-drops-the-old-one src/ondrelkit/pulse/aggregate_io.cpp \
  'if (mic_ && !oldMic_) {' 'if (false) {' 'e2e:follows'
fault default-input-taken-from-a-monitor src/ondrelkit/devices.cpp \
  'device != kAudioObjectUnknown && hasInput(hw, device)) {' 'device != kAudioObjectUnknown) {' \
  'unit:MicrophoneChoice.*'
fault device-list-without-server-says-its-own-step src/ondrel/session_driver.cpp \
  'const bool noServer = error.kind() == CaptureError::Kind::osStatus &&' \
  'const bool noServer = false && error.kind() == CaptureError::Kind::osStatus &&' \
  'e2e:keeps_a_recording and pulseaudio'
# ---- --echo-cancel ----
fault echo-reference-is-the-microphone src/ondrelkit/processing/echo_cancelled_input.cpp \
  'canceller_.process(mic_.data(), system_.data(), cleaned_.data(), n);' \
  'canceller_.process(mic_.data(), mic_.data(), cleaned_.data(), n);' 'unit:RecorderTest.EchoCancel*'
fault echo-system-channel-not-delayed src/ondrelkit/processing/echo_cancelled_input.cpp \
  'std::swap(system_[i], delay_[delayAt_]);' 'delay_[delayAt_] = system_[i];' \
  'unit:RecorderTest.EchoCancel*'
fault echo-priming-kept src/ondrelkit/process_tap_recorder.cpp \
  'std::min<std::size_t>(priming, cycle->frames);' 'std::min<std::size_t>(0 * priming, cycle->frames);' \
  'unit:RecorderTest.EchoCancel*'
fault echo-not-flushed-at-stop src/ondrelkit/process_tap_recorder.cpp \
  'if (echo) {
    echo->flush(' 'if (false) {
    echo->flush(' 'unit:RecorderTest.EchoCancel*'
fault echo-cancel-flag-ignored src/ondrel/session_driver.cpp \
  '.echoCancel = echoCancel' '.echoCancel = false' 'e2e:echo_cancel and pulseaudio'
# ---- sound server timeline ----
fault timeline-drops-a-late-mic-chunk src/ondrelkit/pulse/timeline.cpp \
  'const std::uint64_t at = wanted > double(end) ? std::uint64_t(wanted) : end;' \
  'if (wanted < double(end)) return;
    const std::uint64_t at = std::uint64_t(wanted);' 'unit:*Timeline*'
fault timeline-ignores-clock-drift src/ondrelkit/pulse/timeline.cpp \
  'const double drift = std::clamp(tap / master - 1.0, -kMaxDrift, kMaxDrift);' \
  'const double drift = 0 * std::clamp(tap / master - 1.0, -kMaxDrift, kMaxDrift);' \
  'unit:*Timeline*'
fault timeline-places-a-wholly-overlapped-chunk src/ondrelkit/pulse/timeline.cpp \
  'tapPlaced_ = false;
        return;' 'tapPlaced_ = true;' 'unit:*Timeline*'
fault clock-fit-bends-to-a-latency-step src/ondrelkit/pulse/clock_fit.cpp \
  'latency_ = latency;
  time -= latency;' '' 'unit:*Timeline*'
fault reported-latency-is-the-median src/ondrelkit/pulse/reported_latency.cpp \
  'if (near < 2) {' 'if (true) {' 'unit:ReportedLatency.*'
fault reported-latency-takes-a-stretch-far-below src/ondrelkit/pulse/reported_latency.cpp \
  ' && reports_[i] >= *middle - kStaleness' '' 'unit:ReportedLatency.*'
fault reported-latency-steps-on-a-sawtooth src/ondrelkit/pulse/reported_latency.cpp \
  ' && *middle - latency_ < kExact' '' 'unit:ReportedLatency.*'
fault timeline-tap-in-one-channel-only src/ondrelkit/pulse/timeline.cpp \
  'tap[2 * i] = tap[2 * i + 1] = tap[i];' 'tap[2 * i] = tap[i], tap[2 * i + 1] = 0;' 'unit:*Timeline*'
fault monitor-keeps-its-left-channel-only src/ondrelkit/pulse/capture_stream.cpp \
  'mean_[i] = (samples[2 * i] + samples[2 * i + 1]) * 0.5f;' 'mean_[i] = samples[2 * i];' \
  'e2e:records_the_microphone and pulseaudio'
fault a-killed-stream-goes-unnoticed src/ondrelkit/pulse/capture_stream.cpp \
  'return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;' \
  'return state == PA_STREAM_TERMINATED;' 'e2e:killed_streams and pulseaudio'
fault stall-backlog-fed-at-once src/ondrelkit/pulse/aggregate_io.cpp \
  'for (double upTo = std::min(now, lastCycle_ + Timeline::kSliceSeconds);;' \
  'for (double upTo = now;;' 'e2e:stall_of_the_block and pulseaudio'
fault capture-ring-shorter-than-a-stall src/ondrelkit/pulse/capture_stream.cpp \
  'constexpr double kRingSeconds = 12.0;' 'constexpr double kRingSeconds = 5.0;' \
  'e2e:stall_of_the_block and pulseaudio'
fault encoder-ring-shorter-than-the-capture-rings src/ondrelkit/encode/streaming_encoder.h \
  'kRingSeconds = 16;' 'kRingSeconds = 10;' 'e2e:stall_of_the_block and pulseaudio'
fault ring-cycles-through-its-whole-buffer src/ondrelkit/spsc_ring.h \
  'blockOf_[slot(at)] = take();' \
  '{ take(); blockOf_[slot(at)] = std::uint32_t(at / kBlock % blocks_); }' 'unit:SpscRing.*'
fault ring-gives-back-a-block-still-written src/ondrelkit/spsc_ring.h \
  '(w - count + kBlock - 1) / kBlock * kBlock' '(w - count) / kBlock * kBlock' 'unit:SpscRing.*'

# Leave the copy as the tree is, for the next run.
nice cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$log/build.txt" 2>&1
echo "caught $caught, missed $survived, stale $stale (logs in $log)"
((survived == 0 && stale == 0))
