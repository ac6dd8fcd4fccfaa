#include "pulse_server.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ondrel::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits up to `timeout` for the child to end; kills it if it does not. Returns its exit status
// (-1 when killed or failed).
int reap(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// Asks politely, then insists.
void terminate(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  reap(pid, 3000ms);
}

// A looping tone on a stream of its own, on a mainloop of its own.
class TonePlayback : public PulseServer::Playback {
 public:
  TonePlayback(const std::string& sink, const Tone& tone) {
    const auto frames = static_cast<std::size_t>(PulseServer::kRate);  // one second, looped
    for (std::size_t i = 0; i < frames; ++i) {
      const auto s = static_cast<float>(
          std::sin(2.0 * M_PI * tone.frequency * double(i) / PulseServer::kRate));
      samples_.push_back(tone.leftAmplitude * s);
      samples_.push_back(tone.rightAmplitude * s);
    }
    mainloop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_start(mainloop_);
    pa_threaded_mainloop_lock(mainloop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "ondrel test tone");
    pa_context_set_state_callback(context_, &signal, mainloop_);
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) break;
      pa_threaded_mainloop_wait(mainloop_);
    }
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, PulseServer::kRate, 2};
    stream_ = pa_stream_new(context_, "tone", &sampleSpec, nullptr);
    pa_stream_set_write_callback(stream_, &write, this);
    // A generous buffer: a tone that underruns while the machine is busy would look like a
    // recording fault.
    pa_buffer_attr attr{};
    attr.maxlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
    attr.tlength =
        static_cast<std::uint32_t>(pa_usec_to_bytes(200 * PA_USEC_PER_MSEC, &sampleSpec));
    pa_stream_connect_playback(
        stream_, sink.c_str(), &attr,
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY), nullptr,
        nullptr);
    pa_threaded_mainloop_unlock(mainloop_);
  }

  ~TonePlayback() override {
    pa_threaded_mainloop_lock(mainloop_);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_unlock(mainloop_);
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
  }

 private:
  static void signal(pa_context*, void* mainloop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
  }
  static void write(pa_stream* stream, std::size_t bytes, void* self) {
    auto* playback = static_cast<TonePlayback*>(self);
    const std::size_t total = playback->samples_.size();
    for (std::size_t samples = bytes / sizeof(float); samples > 0;) {
      const std::size_t run = std::min(samples, total - playback->position_);
      pa_stream_write(stream, playback->samples_.data() + playback->position_, run * sizeof(float),
                      nullptr, 0, PA_SEEK_RELATIVE);
      playback->position_ = (playback->position_ + run) % total;
      samples -= run;
    }
  }

  std::vector<float> samples_;
  std::size_t position_ = 0;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
};

const char* kSinks[] = {"speakers", "speakers2", "micfeed"};

std::string nullSinkArguments(const std::string& name) {
  return "sink_name=" + name + " rate=48000 channels=2 sink_properties=device.description=" + name;
}

// A mono microphone on the left channel of micfeed's monitor, marked as built in.
const char* kMicrophoneArguments =
    "source_name=builtin_mic master=micfeed.monitor channels=1 channel_map=mono "
    "master_channel_map=front-left remix=no "
    "source_properties=device.bus=pci";

}  // namespace

std::string to_string(SoundServerKind kind) {
  return kind == SoundServerKind::pulseAudio ? "PulseAudio" : "PipeWire";
}

PulseServer::PulseServer(SoundServerKind kind, bool withMicrophone)
    : kind_(kind), withMicrophone_(withMicrophone) {
  char pattern[] = "/tmp/ondrel-sound-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a temporary folder");
  dir_ = pattern;
  fs::create_directories(dir_ / "runtime");
  fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);

  const std::string runtime = (dir_ / "runtime").string();
  const std::string server = "unix:" + runtime + "/pulse/native";
  for (char** entry = environ; *entry; ++entry) environment_.emplace_back(*entry);
  auto set = [this](const std::string& name, const std::string& value) {
    std::erase_if(environment_, [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
    environment_.push_back(name + "=" + value);
  };
  set("HOME", dir_.string());
  set("XDG_RUNTIME_DIR", runtime);
  set("PULSE_RUNTIME_PATH", runtime + "/pulse");
  set("PULSE_SERVER", server);
  set("XDG_CONFIG_HOME", (dir_ / "config").string());
  set("XDG_STATE_HOME", (dir_ / "state").string());
  ::setenv("PULSE_SERVER", server.c_str(), 1);

  try {
    if (kind == SoundServerKind::pulseAudio) {
      startPulseAudio(withMicrophone);
    } else {
      startPipeWire(withMicrophone);
    }
    openMonitorReaders();
  } catch (...) {
    stopAll();
    throw;
  }
}

PulseServer::~PulseServer() {
  stopAll();
}

void PulseServer::startPulseAudio(bool withMicrophone) {
  std::ofstream script(dir_ / "server.pa");
  script << "load-module module-native-protocol-unix auth-anonymous=1\n";
  for (const char* sink : kSinks) {
    script << "load-module module-null-sink " << nullSinkArguments(sink) << "\n";
  }
  if (withMicrophone) script << "load-module module-remap-source " << kMicrophoneArguments << "\n";
  script << "set-default-sink speakers\n";
  script.close();

  // As root PulseAudio only warns ("not intended to be run as root") when --system is off.
  servers_.push_back(
      spawn({"pulseaudio", "-n", "-F", (dir_ / "server.pa").string(), "--daemonize=no",
             "--system=false", "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no",
             "--high-priority=no", "--disallow-exit", "--log-target=stderr"},
            dir_ / "pulseaudio.log"));
  waitUntilAnswering();
}

void PulseServer::startSessionBus() {
  // A private session bus: the daemon forks, printing its address and its pid.
  const pid_t launcher =
      spawn({"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"},
            dir_ / "dbus.out");
  if (reap(launcher, 5000ms) != 0) fail("dbus-daemon did not start");
  std::istringstream printed(readFile(dir_ / "dbus.out"));
  std::string address, pid;
  std::getline(printed, address);
  std::getline(printed, pid);
  if (address.empty() || pid.empty()) fail("dbus-daemon printed no address");
  dbusDaemon_ = static_cast<pid_t>(std::stol(pid));
  environment_.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
}

void PulseServer::startPipeWire(bool withMicrophone) {
  if (dbusDaemon_ == 0) startSessionBus();
  servers_.push_back(spawn({"pipewire"}, dir_ / "pipewire.log"));
  // pipewire-pulse and wireplumber connect to pipewire's socket: give it a moment to appear.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!fs::exists(dir_ / "runtime" / "pipewire-0")) {
    if (std::chrono::steady_clock::now() > deadline) fail("pipewire made no socket");
    std::this_thread::sleep_for(20ms);
  }
  servers_.push_back(spawn({"pipewire-pulse"}, dir_ / "pipewire-pulse.log"));
  servers_.push_back(spawn({"wireplumber"}, dir_ / "wireplumber.log"));
  waitUntilAnswering();

  for (const char* sink : kSinks) {
    pactl({"load-module", "module-null-sink", nullSinkArguments(sink)});
  }
  if (withMicrophone) pactl({"load-module", "module-remap-source", kMicrophoneArguments});
  // The nodes appear shortly after the modules load.
  const auto ready = std::chrono::steady_clock::now() + 10s;
  while (true) {
    const std::string sinks = pactl({"list", "short", "sinks"});
    const std::string sources = pactl({"list", "short", "sources"});
    if (sinks.find("speakers2") != std::string::npos &&
        sinks.find("micfeed") != std::string::npos &&
        (!withMicrophone || sources.find("builtin_mic") != std::string::npos)) {
      break;
    }
    if (std::chrono::steady_clock::now() > ready) fail("the sinks did not appear");
    std::this_thread::sleep_for(50ms);
  }
  setDefaultSink("speakers");
}

void PulseServer::waitUntilAnswering() {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t probe = spawn({"pactl", "info"}, dir_ / "probe.out");
    if (reap(probe, 5000ms) == 0) return;
    std::this_thread::sleep_for(100ms);
  }
  fail("the server does not answer");
}

// A rig quirk: an idle null sink takes up to 2 s to serve a new low-latency monitor stream.
// One such stream kept open on each sink (and waited for until it flows) makes new ones flow at
// once, as on real hardware. They record at a low rate into files, to show that they flow.
void PulseServer::openMonitorReaders() {
  std::vector<fs::path> outputs;
  for (const char* sink : kSinks) {
    outputs.push_back(dir_ / (std::string("monitor-") + sink + ".raw"));
    helpers_.push_back(spawn({"parec", "--latency-msec=10", "--raw", "--format=s16le",
                              "--rate=8000", "--channels=1", "-d", std::string(sink) + ".monitor"},
                             outputs.back()));
  }
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (int wait = 0; !fs::exists(outputs[i]) || fs::file_size(outputs[i]) == 0; ++wait) {
      if (std::chrono::steady_clock::now() > deadline) fail("the monitor readers do not flow");
      // An idle PulseAudio null sink renders 2 s ahead before it serves the readers' 10 ms;
      // suspended and resumed, it starts over at 10 ms.
      if (kind_ == SoundServerKind::pulseAudio && wait % 10 == 5) {
        pactl({"suspend-sink", kSinks[i], "1"});
        pactl({"suspend-sink", kSinks[i], "0"});
      }
      std::this_thread::sleep_for(20ms);
    }
  }
}

std::unique_ptr<PulseServer::Playback> PulseServer::play(const std::string& sink,
                                                         const Tone& tone) {
  return std::make_unique<TonePlayback>(sink, tone);
}

// PipeWire hands a new default to its session manager, which now and then does not act on it
// (once in about fifty tries here, a few seconds after start): the server then goes on
// reporting the old default, and a test would blame the recorder. So it is set until the server
// reports it.
void PulseServer::setDefaultSink(const std::string& sink) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    pactl({"set-default-sink", sink});
    for (int check = 0; check < 10; ++check) {
      if (pactl({"get-default-sink"}) == sink + "\n") return;
      std::this_thread::sleep_for(20ms);
    }
    if (std::chrono::steady_clock::now() > deadline)
      fail("the default sink did not become " + sink);
  }
}

void PulseServer::holdLowLatency(const std::string& sink) {
  helpers_.push_back(spawn({"parec", "--latency-msec=1", "--raw", "--format=s16le", "--rate=8000",
                            "--channels=1", "-d", sink + ".monitor"},
                           "/dev/null"));
}

std::string PulseServer::run(const std::vector<std::string>& argv) {
  const fs::path output = dir_ / "command.out";
  if (reap(spawn(argv, output), 10000ms) != 0) {
    fail(argv.front() + " " + argv.at(1) + " failed: " + readFile(output));
  }
  return readFile(output);
}

std::string PulseServer::pactl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv);
}

void PulseServer::removeMicrophone() {
  pactl({"unload-module", "module-remap-source"});
  waitForMicrophone(false);
}

void PulseServer::addMicrophone(std::uint32_t rate) {
  pactl({"load-module", "module-remap-source",
         std::string(kMicrophoneArguments) + " rate=" + std::to_string(rate)});
  waitForMicrophone(true);
}

void PulseServer::waitForMicrophone(bool present) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((pactl({"list", "short", "sources"}).find("builtin_mic") != std::string::npos) !=
         present) {
    if (std::chrono::steady_clock::now() > deadline) fail("builtin_mic did not come or go");
    std::this_thread::sleep_for(20ms);
  }
}

int PulseServer::killOwnRecordStreams() {
  // pactl cannot kill a stream: a client of our own asks the server to.
  pa_mainloop* loop = pa_mainloop_new();
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "ondrel-test-killer");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const auto runUntil = [&](const auto& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      pa_mainloop_iterate(loop, 0, nullptr);
      std::this_thread::sleep_for(1ms);
    }
    return done();
  };
  const auto completes = [&](pa_operation* op) {
    if (!op) return false;
    const bool done = runUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    pa_operation_unref(op);
    return done;
  };

  std::vector<std::uint32_t> ours;
  const bool listed =
      pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
      runUntil([context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }) &&
      completes(pa_context_get_source_output_info_list(
          context,
          [](pa_context*, const pa_source_output_info* info, int eol, void* streams) {
            if (eol != 0 || !info) return;
            const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
            if (pid && std::to_string(getpid()) == pid) {
              static_cast<std::vector<std::uint32_t>*>(streams)->push_back(info->index);
            }
          },
          &ours));
  int killed = 0;
  for (std::uint32_t index : ours) {
    if (completes(pa_context_kill_source_output(context, index, nullptr, nullptr))) ++killed;
  }
  pa_context_disconnect(context);
  pa_context_unref(context);
  pa_mainloop_free(loop);
  if (!listed) fail("cannot list the record streams");
  return killed;
}

void PulseServer::kill() {
  for (pid_t pid : servers_) ::kill(pid, SIGKILL);
  for (pid_t pid : servers_) reap(pid, 2000ms);
  servers_.clear();
}

void PulseServer::restart() {
  kill();
  for (pid_t pid : helpers_) terminate(pid);
  helpers_.clear();
  // What the killed server left behind, so that the new one takes the same socket.
  std::error_code ignored;
  for (const char* stale : {"pipewire-0", "pipewire-0.lock", "pulse/native", "pulse/pid"}) {
    fs::remove(dir_ / "runtime" / stale, ignored);
  }
  if (kind_ == SoundServerKind::pulseAudio) {
    startPulseAudio(withMicrophone_);
  } else {
    startPipeWire(withMicrophone_);
  }
  openMonitorReaders();
}

void PulseServer::freeze() {
  for (pid_t pid : servers_) ::kill(pid, SIGSTOP);
}

pid_t PulseServer::spawn(const std::vector<std::string>& argv, const fs::path& output) {
  // Everything the child needs is prepared before fork: after it only exec-safe calls.
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& entry : environment_) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  const std::string outputPath = output.string();

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Should the test process die, the server dies with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    if (in >= 0) dup2(in, STDIN_FILENO);
    execvpe(args[0], args.data(), env.data());
    _exit(127);
  }
  return pid;
}

void PulseServer::fail(const std::string& why) {
  std::string logs;
  for (const char* log :
       {"pulseaudio.log", "pipewire.log", "pipewire-pulse.log", "wireplumber.log"}) {
    if (fs::exists(dir_ / log)) logs += std::string("\n--- ") + log + "\n" + readFile(dir_ / log);
  }
  throw std::runtime_error(to_string(kind_) + ": " + why + logs);
}

void PulseServer::stopAll() {
  for (pid_t pid : helpers_) terminate(pid);
  helpers_.clear();
  for (pid_t pid : servers_) ::kill(pid, SIGCONT);  // in case it was frozen
  for (auto pid = servers_.rbegin(); pid != servers_.rend(); ++pid) terminate(*pid);
  servers_.clear();
  if (dbusDaemon_ > 0) ::kill(dbusDaemon_, SIGTERM);  // not our child: the init process reaps it
  dbusDaemon_ = 0;
  ::unsetenv("PULSE_SERVER");
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

}  // namespace ondrel::testing
