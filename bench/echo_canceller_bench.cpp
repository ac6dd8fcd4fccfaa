// The echo canceller against the alternatives, in simulated rooms: the far end is one espeak-ng
// voice, the near end another, and the microphone hears the far end through a room (a delay, a
// direct path 3 dB down and a seeded, exponentially decaying noise tail) plus -60 dBFS of noise.
// Per canceller and rate:
//   ERLE      far end alone: median over 1 s blocks after 3 s of 10 log10(echo / output), dB;
//             "long" in a later, longer room (30 ms, RT60 400 ms) than the main one (12 ms, 300 ms)
//   near      near end alone: correlation of the output with the echo-free near end, and the
//             level against it
//   DT        both talking (the far end alone for the first 5 s, measured from 6 s on): the level
//             against the echo-free near end, its signal-to-distortion ratio, and that ratio's
//             gain over the raw microphone's
//   reconv    the room changes at 8 s (25 ms, RT60 350 ms, the old tail still ringing): seconds
//             until the 1 s ERLE (stepped by 0.1 s) reaches 20 dB and stays there, to the end of
//             the block (99: never)
//   CPU       processing time per recorded second, fed in 20 ms calls
//   latency   what the canceller says (webrtc's: measured), and the lag where the near-end-alone
//             output correlates best with the input, as a check
// Outputs are compared with the echo-free signals delayed by the latency.
//
//   build/echo_canceller_bench [rate...]     (default: 48000 44100)
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ondrelkit/processing/echo_canceller.h"
#include "webrtc/modules/audio_processing/include/audio_processing.h"

namespace fs = std::filesystem;
using Signal = std::vector<float>;

namespace {

// ---- signals ----

// `seconds` of an espeak-ng voice at `rate` (looped), at -24 dBFS RMS.
Signal voice(const fs::path& dir, const std::string& name, const std::string& args,
             const std::string& text, std::uint32_t rate, double seconds) {
  const fs::path wav = dir / (name + ".wav"),
                 raw = dir / (name + "-" + std::to_string(rate) + ".f32");
  const std::string cmd = "espeak-ng " + args + " -w '" + wav.string() + "' \"" + text +
                          "\" && sox '" + wav.string() + "' -r " + std::to_string(rate) +
                          " -e floating-point -b 32 -c 1 -t raw '" + raw.string() + "'";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  std::ifstream in(raw, std::ios::binary);
  Signal once((fs::file_size(raw)) / 4);
  in.read(reinterpret_cast<char*>(once.data()), std::streamsize(once.size() * 4));
  Signal out(std::size_t(seconds * rate));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = once[i % once.size()];
  double power = 0;
  for (float x : out) power += double(x) * x;
  const double gain = std::pow(10.0, -24.0 / 20) / std::sqrt(power / double(out.size()));
  for (float& x : out) x = float(x * gain);
  return out;
}

// A delay, the direct path 3 dB down, then a noise tail decaying 60 dB in `rt60` whose energy
// is `tailDb` against the direct path's.
Signal roomResponse(std::uint32_t rate, double delayMs, double rt60, double tailDb, unsigned seed) {
  const std::size_t delay = std::size_t(delayMs * rate / 1000);
  const std::size_t tail = std::size_t(rt60 * 1.3 * rate);
  Signal h(delay + tail, 0.0f);
  h[delay] = float(std::pow(10.0, -3.0 / 20));
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss;
  double energy = 0;
  std::vector<double> t(tail);
  for (std::size_t i = 1; i < tail; ++i) {
    t[i] = gauss(rng) * std::exp(-6.9078 * double(i) / rate / rt60);
    energy += t[i] * t[i];
  }
  const double direct = double(h[delay]) * h[delay];
  const double scale = std::sqrt(direct * std::pow(10.0, tailDb / 10) / energy);
  for (std::size_t i = 1; i < tail; ++i) h[delay + i] = float(t[i] * scale);
  return h;
}

// In-place radix-2 FFT; n a power of two.
void fft(std::vector<std::complex<double>>& v, bool inverse) {
  const std::size_t n = v.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(v[i], v[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = 2 * M_PI / double(len) * (inverse ? 1 : -1);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> w(1);
      for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
        const auto x = v[i + k], y = v[i + k + len / 2] * w;
        v[i + k] = x + y;
        v[i + k + len / 2] = x - y;
      }
    }
  }
}

Signal convolve(const Signal& x, const Signal& h) {
  std::size_t n = 1;
  while (n < x.size() + h.size()) n *= 2;
  std::vector<std::complex<double>> a(n), b(n);
  std::copy(x.begin(), x.end(), a.begin());
  std::copy(h.begin(), h.end(), b.begin());
  fft(a, false);
  fft(b, false);
  for (std::size_t i = 0; i < n; ++i) a[i] *= b[i];
  fft(a, true);
  Signal y(x.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = float(a[i].real() / double(n));
  return y;
}

Signal noise(std::size_t n, double dbfs, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss(0, float(std::pow(10.0, dbfs / 20)));
  Signal s(n);
  for (float& x : s) x = gauss(rng);
  return s;
}

Signal add(const Signal& a, const Signal& b) {
  Signal s(a);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] += b[i];
  return s;
}

double power(const Signal& s, std::size_t from, std::size_t to, std::size_t shift = 0) {
  double p = 0;
  for (std::size_t i = from; i < to; ++i) p += double(s[i + shift]) * s[i + shift];
  return p / double(to - from);
}

double db(double ratio) {
  return 10 * std::log10(std::max(ratio, 1e-30));
}

// ---- cancellers ----

struct Canceller {
  virtual ~Canceller() = default;
  virtual void process(const float* mic, const float* ref, float* out, std::size_t n) = 0;
  // 0: unknown, measured.
  virtual std::size_t latency() const = 0;
};

struct Ondrel : Canceller {
  explicit Ondrel(std::uint32_t rate) : c(rate) {}
  void process(const float* mic, const float* ref, float* out, std::size_t n) override {
    c.process(mic, ref, out, n);
  }
  std::size_t latency() const override { return c.latencyFrames(); }
  ondrel::EchoCanceller c;
};

// Feeds fixed blocks to a library: `out` lags `mic` by one block.
struct BlockCanceller : Canceller {
  explicit BlockCanceller(std::size_t block)
      : block_(block), mic_(block), ref_(block), out_(block), ready_(block) {}
  void process(const float* mic, const float* ref, float* out, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      mic_[pos_] = mic[i];
      ref_[pos_] = ref[i];
      out[i] = ready_[pos_];
      if (++pos_ == block_) {
        pos_ = 0;
        run(mic_.data(), ref_.data(), ready_.data());
      }
    }
  }
  std::size_t latency() const override { return known_ ? block_ * (pre_ ? 2 : 1) : 0; }
  virtual void run(const float* mic, const float* ref, float* out) = 0;

  std::size_t block_, pos_ = 0;
  bool known_ = true, pre_ = false;
  Signal mic_, ref_, out_, ready_;
};

struct WebRtcSettings {
  bool extended = true, agnostic = true;
  webrtc::EchoCancellation::SuppressionLevel level = webrtc::EchoCancellation::kHighSuppression;
};

// webrtc-audio-processing 0.3's AEC (not AECM), in 10 ms blocks, with high-pass, noise
// suppression and gain control off so that the near end stays as it was.
struct WebRtc : BlockCanceller {
  WebRtc(std::uint32_t rate, WebRtcSettings s) : BlockCanceller(rate / 100), config_(int(rate), 1) {
    known_ = false;  // its band split and block framing add a delay it does not tell
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(s.extended));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(s.agnostic));
    apm_.reset(webrtc::AudioProcessing::Create(config));
    apm_->high_pass_filter()->Enable(false);
    apm_->noise_suppression()->Enable(false);
    apm_->gain_control()->Enable(false);
    apm_->echo_cancellation()->enable_drift_compensation(false);
    apm_->echo_cancellation()->set_suppression_level(s.level);
    apm_->echo_cancellation()->Enable(true);
    int rc = apm_->Initialize({{config_, config_, config_, config_}});
    if (rc != 0) std::fprintf(stderr, "webrtc: Initialize failed: %d\n", rc);
    revOut_.resize(block_);
  }
  void run(const float* mic, const float* ref, float* out) override {
    const float* r = ref;
    float* ro = revOut_.data();
    int rc = apm_->ProcessReverseStream(&r, config_, config_, &ro);
    apm_->set_stream_delay_ms(0);  // the reference is on the microphone's timeline
    const float* m = mic;
    rc |= apm_->ProcessStream(&m, config_, config_, &out);
    if (rc != 0 && !warned_) std::fprintf(stderr, "webrtc: processing failed: %d\n", rc);
    warned_ |= rc != 0;
  }
  webrtc::StreamConfig config_;
  std::unique_ptr<webrtc::AudioProcessing> apm_;
  Signal revOut_;
  bool warned_ = false;
};

// speexdsp as the class runs it, without its watchdog, or without the residual echo suppressor.
struct Speex : BlockCanceller {
  Speex(std::uint32_t rate, bool suppressor)
      : BlockCanceller(rate / 50), m_(block_), r_(block_), o_(block_) {
    pre_ = suppressor;
    echo_ = speex_echo_state_init(int(block_), int(0.3 * rate));
    int value = int(rate);
    speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &value);
    if (!suppressor) return;
    state_ = speex_preprocess_state_init(int(block_), int(rate));
    value = 0;
    speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &value);
    speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
  }
  ~Speex() override {
    if (state_) speex_preprocess_state_destroy(state_);
    speex_echo_state_destroy(echo_);
  }
  static spx_int16_t s16(float x) { return spx_int16_t(std::lrint(x * 32767.0f)); }
  void run(const float* mic, const float* ref, float* out) override {
    for (std::size_t i = 0; i < block_; ++i) m_[i] = s16(mic[i]), r_[i] = s16(ref[i]);
    speex_echo_cancellation(echo_, m_.data(), r_.data(), o_.data());
    if (state_) speex_preprocess_run(state_, o_.data());
    for (std::size_t i = 0; i < block_; ++i) out[i] = float(o_[i]) / 32767.0f;
  }
  SpeexEchoState* echo_ = nullptr;
  SpeexPreprocessState* state_ = nullptr;
  std::vector<spx_int16_t> m_, r_, o_;
};

// ---- measurements ----

// The output, fed in 20 ms calls, and the time it took.
struct Run {
  Signal out;
  double cpuMsPerSecond;
};

Run run(Canceller& c, const Signal& mic, const Signal& ref, std::uint32_t rate) {
  Run r{Signal(mic.size()), 0};
  const std::size_t chunk = rate / 50;  // 20 ms, an I/O thread's wake-up
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < mic.size(); at += chunk) {
    const std::size_t n = std::min(chunk, mic.size() - at);
    c.process(mic.data() + at, ref.data() + at, r.out.data() + at, n);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpuMsPerSecond = seconds * 1000 / (double(mic.size()) / rate);
  return r;
}

// Lag of `out` behind `in` by cross-correlation over [0, maxLag].
std::size_t measuredLag(const Signal& in, const Signal& out, std::size_t maxLag) {
  double best = -1;
  std::size_t lag = 0;
  for (std::size_t l = 0; l <= maxLag; ++l) {
    double c = 0;
    for (std::size_t i = 0; i + l < out.size(); i += 1) c += double(in[i]) * out[i + l];
    if (c > best) best = c, lag = l;
  }
  return lag;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Figures {
  double erle = 0, erleLong = 0, nearCorr = 0, nearLevel = 0, dtLevel = 0, dtSdr = 0, dtSdrGain = 0,
         reconverge = 0, cpu = 0;
  std::size_t latency = 0, lag = 0;
};

// Median over 1 s blocks from 3 s on of the echo's power over the output's.
double erle(const Signal& echo, const Signal& out, std::size_t L, std::size_t sec) {
  std::vector<double> blocks;
  for (std::size_t s = 3 * sec; s + sec + L <= echo.size(); s += sec)
    blocks.push_back(db(power(echo, s, s + sec) / power(out, s, s + sec, L)));
  return median(blocks);
}

template <typename Make>
Figures measure(Make make, std::uint32_t rate, const Signal& a, const Signal& b) {
  Figures f;
  const std::size_t n = a.size(), sec = rate;
  const Signal h1 = roomResponse(rate, 12, 0.3, -6, 1), h2 = roomResponse(rate, 25, 0.35, -6, 2);
  const Signal echo = convolve(a, h1), hiss = noise(n, -60, 3), zero(n, 0.0f);
  {  // near end alone; also settles the latency for the rest
    auto c = make();
    const Signal mic = add(b, hiss);
    const Run r = run(*c, mic, zero, rate);
    f.lag = measuredLag(mic, r.out, 2 * c->latency() + 2000);
    f.latency = c->latency() ? c->latency() : f.lag;
    double xy = 0, xx = 0, yy = 0;
    for (std::size_t i = sec; i + f.latency < n; ++i) {
      const double y = r.out[i + f.latency];
      xy += double(b[i]) * y, xx += double(b[i]) * b[i], yy += y * y;
    }
    f.nearCorr = xy / std::sqrt(xx * yy);
    f.nearLevel = db(yy / xx);
  }
  const std::size_t L = f.latency;
  {  // far end alone
    auto c = make();
    const Run r = run(*c, add(echo, hiss), a, rate);
    f.erle = erle(echo, r.out, L, sec);
    f.cpu = r.cpuMsPerSecond;
  }
  {  // far end alone, longer room
    auto c = make();
    const Signal echoLong = convolve(a, roomResponse(rate, 30, 0.4, -4, 4));
    f.erleLong = erle(echoLong, run(*c, add(echoLong, hiss), a, rate).out, L, sec);
  }
  {  // double talk after 5 s of far end alone
    auto c = make();
    Signal near(b);
    std::fill(near.begin(), near.begin() + 5 * sec, 0.0f);
    const Signal mic = add(add(echo, near), hiss);
    const Run r = run(*c, mic, a, rate);
    double pn = 0, po = 0, dOut = 0, dMic = 0;
    for (std::size_t i = 6 * sec; i + L < n; ++i) {
      const double y = r.out[i + L];
      pn += double(near[i]) * near[i], po += y * y;
      dOut += (y - near[i]) * (y - near[i]);
      dMic += (double(mic[i]) - near[i]) * (double(mic[i]) - near[i]);
    }
    f.dtLevel = db(po / pn);
    f.dtSdr = db(pn / dOut);
    f.dtSdrGain = db(dMic / dOut);
  }
  {  // echo path change at 8 s
    auto c = make();
    const std::size_t change = 8 * sec, hop = sec / 10;
    Signal before(a), after(a);
    std::fill(before.begin() + change, before.end(), 0.0f);
    std::fill(after.begin(), after.begin() + change, 0.0f);
    const Signal e = add(convolve(before, h1), convolve(after, h2));
    const Run r = run(*c, add(e, hiss), a, rate);
    f.reconverge = 99;
    for (std::size_t s = change; s + sec + L <= n; s += hop) {
      bool stays = true;
      for (std::size_t t = s; t + sec + L <= n && stays; t += hop)
        stays = db(power(e, t, t + sec) / power(r.out, t, t + sec, L)) >= 20;
      if (stays) {
        f.reconverge = double(s + sec - change) / rate;
        break;
      }
    }
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> rates;
  for (int i = 1; i < argc; ++i) rates.push_back(std::uint32_t(std::atoi(argv[i])));
  if (rates.empty()) rates = {48000, 44100};
  const fs::path dir =
      fs::temp_directory_path() / ("ondrel-echo-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string far =
      "The quarterly numbers came in this morning, and they look better than we expected. "
      "Sales in the northern region grew by eleven percent, while costs stayed flat.";
  const std::string near =
      "Can you hear me? I think the line is a bit noisy today. Let me check my microphone, "
      "then we can go through the slides one at a time.";
  std::printf(
      "| rate | canceller | ERLE dB | ERLE long dB | near corr | near level dB | DT level dB "
      "| DT SDR dB | DT SDR gain dB | reconv s | CPU ms/s | latency | lag |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const std::uint32_t rate : rates) {
    const Signal a = voice(dir, "far", "-v en -s 150", far, rate, 16);
    const Signal b = voice(dir, "near", "-v en+f3 -s 165", near, rate, 16);
    using Make = std::function<std::unique_ptr<Canceller>()>;
    using Level = webrtc::EchoCancellation::SuppressionLevel;
    const auto webrtc = [rate](bool extended, Level level) -> Make {
      return [=] { return std::make_unique<WebRtc>(rate, WebRtcSettings{extended, true, level}); };
    };
    const std::pair<std::string, Make> variants[] = {
        {"ondrel::EchoCanceller (speexdsp)", [=] { return std::make_unique<Ondrel>(rate); }},
        {"speexdsp, no watchdog", [=] { return std::make_unique<Speex>(rate, true); }},
        {"speexdsp, linear filter only", [=] { return std::make_unique<Speex>(rate, false); }},
        {"webrtc AEC ext+DA, high", webrtc(true, Level::kHighSuppression)},
        {"webrtc AEC ext+DA, moderate", webrtc(true, Level::kModerateSuppression)},
        {"webrtc AEC ext+DA, low", webrtc(true, Level::kLowSuppression)},
        {"webrtc AEC DA, low", webrtc(false, Level::kLowSuppression)},
    };
    for (const auto& [name, make] : variants) {
      const Figures f = measure(make, rate, a, b);
      std::printf(
          "| %u | %s | %.1f | %.1f | %.3f | %+.1f | %+.1f | %.1f | %+.1f | %.1f | %.1f | %zu | "
          "%zu |\n",
          rate, name.c_str(), f.erle, f.erleLong, f.nearCorr, f.nearLevel, f.dtLevel, f.dtSdr,
          f.dtSdrGain, f.reconverge, f.cpu, f.latency, f.lag);
      std::fflush(stdout);
    }
  }
  fs::remove_all(dir);
}
