# The end-to-end harness: private PulseAudio and PipeWire servers, tone players that behave like a
# desktop's applications, the ondrel binary run the way a host runs it, and the recordings decoded
# with FFmpeg into numpy arrays.
#
# ONDREL_TEST_BINARY and ONDREL_TEST_PROBE point at the builds under test (default: build/).
# ONDREL_SANITIZED=1 says they run under a sanitizer: real-time figures are then printed, not
# asserted, since the sanitizer's slowdown would be what they measure.
import json
import os
import queue
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
BINARY = os.environ.get("ONDREL_TEST_BINARY", str(ROOT / "build" / "ondrel"))
PROBE = os.environ.get("ONDREL_TEST_PROBE", str(ROOT / "build" / "ondrel_stall_probe"))
SANITIZED = os.environ.get("ONDREL_SANITIZED") == "1"
RATE = 48000
SINKS = ("speakers", "speakers2", "micfeed")
# A mono microphone on the left channel of micfeed's monitor, marked as built in: a tone played
# into micfeed is what the microphone hears.
MIC = ("source_name=builtin_mic master=micfeed.monitor channels=1 channel_map=mono "
       "master_channel_map=front-left remix=no source_properties=device.bus=pci")
# A USB headset's microphone on micfeed's right channel (added on demand).
USB_MIC = ("source_name=usb_mic master=micfeed.monitor channels=1 channel_map=mono "
           "master_channel_map=front-right remix=no "
           "source_properties='device.bus=usb device.description=USB-headset'")


def figure(ok, message):
    """A real-time figure: asserted in a plain build, reported under a sanitizer."""
    if SANITIZED:
        print(f"[figure{'' if ok else ' MISSED'}] {message}")
    else:
        assert ok, message


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.02)


class Player:
    """A looping stereo tone on a playback stream of its own (pacat)."""

    def __init__(self, server, hz, left, right, sink=None):
        t = np.arange(RATE) / RATE  # one second: whole periods of whole-hertz tones
        wave = np.sin(2 * np.pi * hz * t)
        self.block = np.column_stack([left * wave, right * wave]).astype("<f4").tobytes()
        argv = ["pacat", "--playback", "--raw", "--format=float32le", f"--rate={RATE}",
                "--channels=2", "--latency-msec=200", "--client-name=tone"]
        self.proc = server.spawn(argv + (["-d", sink] if sink else []), stdin=subprocess.PIPE)
        threading.Thread(target=self._feed, daemon=True).start()

    def _feed(self):
        try:
            while True:
                self.proc.stdin.write(self.block)
        except (BrokenPipeError, ValueError, OSError):
            pass

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class Server:
    """A private sound server with its own runtime folder: null sinks "speakers" (the default),
    "speakers2" and "micfeed", and "builtin_mic" heard from micfeed."""

    def __init__(self, kind, microphone=True):
        self.kind, self.microphone = kind, microphone
        self.dir = Path(tempfile.mkdtemp(prefix=f"ondrel-{kind}-"))
        runtime = self.dir / "runtime"
        runtime.mkdir(mode=0o700)
        self.env = dict(os.environ, HOME=str(self.dir), XDG_RUNTIME_DIR=str(runtime),
                        PULSE_RUNTIME_PATH=str(runtime / "pulse"),
                        PULSE_SERVER=f"unix:{runtime}/pulse/native",
                        XDG_CONFIG_HOME=str(self.dir / "config"),
                        XDG_STATE_HOME=str(self.dir / "state"))
        self.servers, self.helpers, self.players = [], [], []
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def spawn(self, argv, log=None, **options):
        out = open(self.dir / log, "wb") if log else subprocess.DEVNULL
        for stream, default in (("stdin", subprocess.DEVNULL), ("stdout", out), ("stderr", out)):
            options.setdefault(stream, default)
        return subprocess.Popen(argv, env=self.env, **options)

    def run(self, *argv):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=20)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)}: {done.stderr}{self.logs()}")
        return done.stdout

    def pactl(self, *arguments):
        return self.run("pactl", *arguments)

    def logs(self):
        return "".join(f"\n--- {log.name}\n{log.read_text(errors='replace')[-4000:]}"
                       for log in self.dir.glob("*.log"))

    def start(self):
        if self.kind == "pulseaudio":
            # As root PulseAudio only warns ("not intended to be run as root").
            self.servers.append(self.spawn(
                ["pulseaudio", "-n", "-L", "module-native-protocol-unix auth-anonymous=1", "-L",
                 "module-cli-protocol-unix", "--daemonize=no", "--system=false",
                 "--exit-idle-time=-1", "--realtime=no", "--high-priority=no", "--disallow-exit",
                 "--log-target=stderr"], "pulseaudio.log"))
        else:
            if not hasattr(self, "bus"):
                self.bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                      stdout=subprocess.PIPE)
                self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.stdout.readline().decode().strip()
            self.servers.append(self.spawn(["pipewire"], "pipewire.log"))
            wait_until(lambda: (self.dir / "runtime" / "pipewire-0").exists(), 5, "no pipewire")
            self.servers.append(self.spawn(["pipewire-pulse"], "pipewire-pulse.log"))
            self.servers.append(self.spawn(["wireplumber"], "wireplumber.log"))
        wait_until(lambda: subprocess.run(["pactl", "info"], env=self.env, capture_output=True,
                                          timeout=5).returncode == 0, 15, f"no server{self.logs()}")
        for sink in SINKS:
            self.pactl("load-module", "module-null-sink", self._sink(sink))
        if self.microphone:
            self.add_mic()
        wait_until(lambda: all(s in self.pactl("list", "short", "sinks") for s in SINKS), 10,
                   "the sinks did not appear")
        self.set_default("speakers")
        self._open_monitor_readers()

    @staticmethod
    def _sink(name):
        return f"sink_name={name} rate={RATE} channels=2 sink_properties=device.description={name}"

    def _open_monitor_readers(self):
        # An idle null sink takes up to 2 s to serve a new monitor stream; one reader kept on each
        # makes new ones flow at once, as on real hardware.
        for sink in SINKS:
            log = f"monitor-{sink}.raw"
            self.helpers.append(self.spawn(
                ["parec", "--latency-msec=10", "--raw", "--format=s16le", "--rate=8000",
                 "--channels=1", "-d", f"{sink}.monitor"], log))
            for attempt in range(250):
                if (self.dir / log).stat().st_size > 0:
                    break
                if attempt % 10 == 5:
                    self._serve_at_once(sink)
                time.sleep(0.02)
            else:
                raise RuntimeError(f"the monitor of {sink} does not flow{self.logs()}")

    def play(self, hz, left=0.5, right=0.5, sink=None, pin=False):
        """A tone to the default output, or to a sink; pinned, it stays on that sink when the
        default changes (through a loopback that may not move: the servers move a stream that
        merely asked for the old default's sink)."""
        if pin:
            name = f"pin{len(self.players)}"
            self.pactl("load-module", "module-null-sink", self._sink(name))
            self.pactl("load-module", "module-loopback", f"source={name}.monitor", f"sink={sink}",
                       "sink_dont_move=true", "source_dont_move=true", "latency_msec=60")
        player = Player(self, hz, left, right, name if pin else sink)
        if pin:
            self._serve_at_once(name)
        self.players.append(player)
        return player

    def _serve_at_once(self, sink):
        """An idle PulseAudio null sink renders seconds ahead of a new reader of its monitor;
        suspended and resumed, it starts over and serves the reader at once."""
        if self.kind == "pulseaudio":
            self.pactl("suspend-sink", sink, "1")
            self.pactl("suspend-sink", sink, "0")

    def set_default(self, sink):
        # PipeWire hands a new default to its session manager, which now and then does not act
        # on it: it is set until the server reports it.
        deadline = time.monotonic() + 5
        while True:
            self.pactl("set-default-sink", sink)
            for _ in range(10):
                if self.pactl("get-default-sink").strip() == sink:
                    return
                time.sleep(0.02)
            if time.monotonic() > deadline:
                raise RuntimeError(f"the default sink did not become {sink}")

    def hold_low_latency(self, sink):
        """Holds a sink near 1 ms of latency: a reader of its monitor asks for that."""
        self.helpers.append(self.spawn(["parec", "--latency-msec=1", "--raw", "--rate=8000",
                                        "--channels=1", "-d", f"{sink}.monitor"]))

    def _wait_mic(self, present, name="builtin_mic"):
        wait_until(lambda: (name in self.pactl("list", "short", "sources").split()) == present,
                   10, f"{name} did not come or go")

    def module_of(self, argument):
        """The index of the module loaded with this argument."""
        for line in self.pactl("list", "short", "modules").splitlines():
            if argument in line:
                return line.split()[0]
        raise LookupError(argument)

    def remove_mic(self):
        self.pactl("unload-module", self.module_of("source_name=builtin_mic"))
        self._wait_mic(False)

    def add_mic(self, rate=None):
        self.pactl("load-module", "module-remap-source", MIC + (f" rate={rate}" if rate else ""))
        self._wait_mic(True)

    def add_usb_mic(self):
        self.pactl("load-module", "module-remap-source", USB_MIC)
        self._wait_mic(True, "usb_mic")

    def remove_usb_mic(self):
        self.pactl("unload-module", self.module_of("source_name=usb_mic"))
        self._wait_mic(False, "usb_mic")

    def set_default_source(self, source):
        self.pactl("set-default-source", source)
        wait_until(lambda: self.pactl("get-default-source").strip() == source, 5,
                   f"the default source did not become {source}")

    def kill_record_streams(self, pid):
        """Kills the record streams of process pid, as the server does to a stream it can no
        longer serve. Returns how many."""
        if self.kind == "pulseaudio":
            outputs = json.loads(self.pactl("--format=json", "list", "source-outputs"))
            ours = [o["index"] for o in outputs
                    if o["properties"].get("application.process.id") == str(pid)]
            for index in ours:
                self.run("pacmd", "kill-source-output", str(index))
        else:
            nodes = json.loads(self.run("pw-dump"))
            ours = [n["id"] for n in nodes if n.get("type") == "PipeWire:Interface:Node" and
                    n["info"]["props"].get("media.class") == "Stream/Input/Audio" and
                    str(n["info"]["props"].get("application.process.id")) == str(pid)]
            for node in ours:
                self.run("pw-cli", "destroy", str(node))
        return len(ours)

    def kill(self):
        """The server dies, as in a crash."""
        for proc in self.servers:
            proc.kill()
            proc.wait()
        self.servers = []

    def restart(self):
        """A crashed server started again on the same socket; its streams are gone."""
        self.kill()
        self._stop(self.helpers + [p.proc for p in self.players])
        self.helpers, self.players = [], []
        for stale in ("pipewire-0", "pipewire-0.lock", "pulse/native", "pulse/pid"):
            (self.dir / "runtime" / stale).unlink(missing_ok=True)
        self.start()

    def freeze(self):
        """The server hangs, still holding its socket."""
        for proc in self.servers:
            proc.send_signal(signal.SIGSTOP)

    @staticmethod
    def _stop(procs):
        for proc in procs:
            proc.send_signal(signal.SIGCONT)
            proc.terminate()
        for proc in procs:
            try:
                proc.wait(3)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def close(self):
        self._stop([p.proc for p in self.players] + self.helpers + self.servers[::-1] +
                   ([self.bus] if hasattr(self, "bus") else []))
        shutil.rmtree(self.dir, ignore_errors=True)


class Ondrel:
    """The binary as a host runs it: events read as they come, with their arrival times."""

    def __init__(self, env, *arguments):
        self.proc = subprocess.Popen([BINARY, *map(str, arguments)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.history = []  # (arrival, event) of every event read
        self.stderr = b""
        self.closing = False
        self.out_reader = threading.Thread(target=self._read_out, daemon=True)
        self.out_reader.start()
        self.err_reader = threading.Thread(target=self._read_err, daemon=True)
        self.err_reader.start()

    def _read_out(self):
        pending = b""
        while not self.closing:
            if not select.select([self.proc.stdout], [], [], 0.05)[0]:
                continue
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            *lines, pending = (pending + chunk).split(b"\n")
            for line in lines:
                self.lines.put((time.monotonic(), line))
        self.lines.put((time.monotonic(), None))

    def close_output(self):
        """The host stops reading: ondrel's writes of events fail from now on."""
        self.closing = True
        self.out_reader.join()
        self.proc.stdout.close()

    def _read_err(self):
        self.stderr = self.proc.stderr.read()

    def next(self, timeout=10):
        """The next event (a dict), or None at the end of output; raises after timeout."""
        self.arrived, line = self.lines.get(timeout=timeout)
        if line is None:
            self.lines.put((self.arrived, None))
            return None
        self.history.append((self.arrived, json.loads(line)))
        return self.history[-1][1]

    def position(self):
        """Where in the recording the present moment falls: the wall time since started."""
        return time.monotonic() - self.began

    def started(self):
        assert self.next() == {"type": "started"}, self.errors()
        self.began = self.arrived

    def levels(self, seconds):
        """The level events of the next seconds, each within a second of the last."""
        levels, until = [], time.monotonic() + seconds
        while time.monotonic() < until:
            event = self.next(timeout=1)
            assert event and event["type"] == "level", event
            assert not levels or event["t"] >= levels[-1]["t"]
            levels.append(event)
        return levels

    def send(self, text):
        try:
            self.proc.stdin.write(text.encode())
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass

    def signal(self, number):
        self.proc.send_signal(number)

    def finish(self, text="stop\n", timeout=30):
        """Sends text (None: nothing), then reads the rest: (events, exit status)."""
        self.stopped = time.monotonic()
        if text is not None:
            self.send(text)
        events = []
        while (event := self.next(timeout)) is not None:
            events.append(event)
        return events, self.wait(timeout)

    def wait(self, timeout=30):
        status = self.proc.wait(timeout)
        self.err_reader.join()
        return status

    def errors(self):
        return self.stderr.decode(errors="replace")


def run(env, *arguments, stdin=b"", timeout=60):
    """Runs the binary to its end: (standard output, standard error, status)."""
    done = subprocess.run([BINARY, *map(str, arguments)], env=env, input=stdin,
                          capture_output=True, timeout=timeout)
    return done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace"), done.returncode


class Audio:
    """A decoded recording: samples[frame, channel] in full scale 1."""

    def __init__(self, samples, rate):
        self.samples, self.rate = samples, rate

    @property
    def seconds(self):
        return len(self.samples) / self.rate

    def window(self, channel, start, end):
        return self.samples[int(start * self.rate):int(end * self.rate), channel]

    def tone(self, channel, hz, start, end):
        """The amplitude of a sine of hz in a channel over [start, end) s: the mean over blocks
        of 100 ms, so that a pitch pulled by drift compensation still counts."""
        n = self.rate // 10
        x = self.window(channel, max(start, 0), end)
        blocks = x[:len(x) // n * n].reshape(-1, n)
        if not len(blocks):
            return 0.0
        return float(np.abs(blocks @ np.exp(-2j * np.pi * hz * np.arange(n) / self.rate)).mean()
                     * 2 / n)

    def phase(self, channel, hz, start, end):
        return np.angle(self._phasor(channel, hz, start, end))

    def _phasor(self, channel, hz, start, end):
        x = self.window(channel, start, end)
        k = np.arange(len(x)) + int(start * self.rate)
        return 2 * np.dot(x, np.exp(-2j * np.pi * hz * k / self.rate)) / max(len(x), 1)

    def silences(self, channel, start, end, threshold=0.05):
        """Where stretches of 10 ms in [start, end) s hold nothing above the threshold."""
        x = self.window(channel, start, end)
        n = self.rate // 100
        peaks = np.abs(x[:len(x) // n * n]).reshape(-1, n).max(axis=1)
        return [round(start + i / 100, 2) for i in np.flatnonzero(peaks < threshold)]

    def phase_jumps(self, channel, hz, start, end):
        """Where a tone's phase jumps over [start, end) s, in steps of 50 ms: a lost or repeated
        stretch of samples."""
        origin = self.phase(channel, hz, start, start + 0.05)
        return [t for t in np.arange(start, end - 0.05, 0.05)
                if abs(np.angle(np.exp(1j * (self.phase(channel, hz, t, t + 0.05) - origin))))
                > 0.3]


def decode(path):
    """Any file FFmpeg reads, with its rate and channels."""
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_streams", "-of", "json", str(path)],
        capture_output=True, check=True).stdout)["streams"][0]
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "f32le", "-"],
                         capture_output=True, check=True).stdout
    channels = int(probe["channels"])
    return Audio(np.frombuffer(raw, "<f4").reshape(-1, channels), int(probe["sample_rate"]))


def read_wav(path):
    """A WAV file as ondrel writes it, sizes zero or not: (header fields, Audio)."""
    data = Path(path).read_bytes()
    fields = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    pcm = np.frombuffer(data[44:len(data) - (len(data) - 44) % 4], "<i2").reshape(-1, 2)
    return fields, Audio(pcm / 32768.0, fields[7])


@pytest.fixture(scope="module")
def pulse():
    """One PulseAudio server for a module's scenarios that need no server of their own."""
    server = Server("pulseaudio")
    yield server
    server.close()


@pytest.fixture(params=["pulseaudio", "pipewire"])
def server(request):
    """A fresh server of each kind for one scenario; `microphone` marks the microphone off."""
    marker = request.node.get_closest_marker("microphone")
    server = Server(request.param, microphone=marker.args[0] if marker else True)
    yield server
    server.close()


def pytest_configure(config):
    config.addinivalue_line("markers", "microphone(present): the server starts with or without it")
    config.addinivalue_line("markers", "figures: asserts real-time figures (calls figure())")
