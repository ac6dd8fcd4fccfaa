# What a killed ondrel leaves, finished by --recover: every frame of the WAV file in the M4A file,
# whatever state the kill left the files in; and the folders it must not touch.
import json
import os
import signal
import struct
import subprocess
import time

import numpy as np
import pytest

from conftest import BINARY, Ondrel, decode, read_wav, run


@pytest.fixture(autouse=True)
def tones(pulse):
    players = [pulse.play(440, 0.5, 0.5, sink="micfeed"), pulse.play(1000, 0.4, 0.4)]
    yield
    for player in players:
        player.stop()


def kill_while_finishing(ondrel, folder):
    """SIGKILL the moment the finished M4A file is being written under its hidden name."""
    ondrel.send("stop\n")
    while ondrel.proc.poll() is None:
        if (folder / ".audio.m4a.finishing").exists():
            ondrel.signal(signal.SIGKILL)
            return ondrel.wait() == -signal.SIGKILL
    return False


def truncate(path, fraction):
    os.truncate(path, int(path.stat().st_size * fraction))


DAMAGE = {
    "as a kill leaves it": lambda folder: None,
    "partial file cut mid-fragment": lambda folder: truncate(folder / ".audio.m4a.partial", 0.7),
    "no partial file": lambda folder: (folder / ".audio.m4a.partial").unlink(),
    "torn last frame": lambda folder: open(folder / "audio.wav", "ab").write(b"\x01\x02"),
}


@pytest.mark.parametrize("damage", [*DAMAGE, "killed during the finish"])
def test_recover_finishes_what_a_kill_left(pulse, tmp_path, damage):
    for attempt in range(3):  # the finish lasts a millisecond: try again if the kill missed it
        folder = tmp_path / str(attempt)
        ondrel = Ondrel(pulse.env, "--out", folder)
        ondrel.started()
        ondrel.levels(4.5)
        if damage in DAMAGE:
            ondrel.signal(signal.SIGKILL)
            ondrel.wait()
            DAMAGE[damage](folder)
            break
        if kill_while_finishing(ondrel, folder):
            break
    else:
        pytest.fail("no kill hit the finish")
    _, wav = read_wav(folder / "audio.wav")
    (tmp_path / "pcm").write_bytes((wav.samples * 32768).astype("<i2").tobytes())
    out, err, status = run(pulse.env, "--recover", folder)
    assert (status, err) == (0, "")
    *progress, done = [json.loads(line) for line in out.splitlines()]
    assert all(e["type"] == "progress" for e in progress)
    assert done == {"type": "done", "path": str(folder / "audio.m4a"), "t": len(wav.samples) / 48000}
    assert sorted(os.listdir(folder)) == ["audio.m4a", "meta.json"]
    assert json.loads((folder / "meta.json").read_text()) == {"duration": done["t"]}
    stated = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=duration_ts", "-of",
                             "csv=p=0", folder / "audio.m4a"], capture_output=True, text=True)
    assert int(stated.stdout) == len(wav.samples)
    # Every frame in place, channel for channel, across the splice of copied and newly encoded
    # packets too: in every 50-ms block the coding error stays 20 dB below the signal, or where a
    # plain encoding of the WAV file errs too (the recording itself jumps), within 10 dB of it.
    subprocess.run(["ffmpeg", "-v", "error", "-f", "s16le", "-ar", "48000", "-ac", "2", "-i",
                    tmp_path / "pcm", "-b:a", "128k", tmp_path / "plain.m4a"], check=True)
    errors = [block_errors(decode(path), wav) for path in (folder / "audio.m4a", tmp_path / "plain.m4a")]
    worst = (errors[0] - np.maximum(errors[1] + 10, -20))[:-1].max()  # the last: padding
    assert worst < 0, f"{worst:.1f} dB"


def block_errors(audio, wav, n=2400):
    """The coding error in each 50-ms block and channel, in dB of the signal."""
    blocks = len(wav.samples) // n
    def power(x):
        return (x[:blocks * n] ** 2).reshape(blocks, n, 2).mean(axis=1) + 1e-12
    return 10 * np.log10(power(audio.samples[:len(wav.samples)] - wav.samples) / power(wav.samples))


@pytest.mark.parametrize("contents, message", [
    ([], "there is no audio.wav"),
    (["audio.m4a", "meta.json"], "the recording is finished"),
])
def test_recover_of_a_folder_with_nothing_to_recover(pulse, tmp_path, contents, message):
    for name in contents:
        (tmp_path / name).write_text("kept")
    out, err, status = run(pulse.env, "--recover", tmp_path)
    assert (status, err) == (1, "")
    assert json.loads(out) == {"type": "error", "message": f"nothing to recover in {tmp_path}: {message}"}
    assert sorted(os.listdir(tmp_path)) == contents


def test_recover_of_a_live_folder_is_refused(pulse, tmp_path):
    live = Ondrel(pulse.env, "--out", tmp_path)
    live.started()
    out, err, status = run(pulse.env, "--recover", tmp_path)
    assert (status, json.loads(out)) == (1, {"type": "error",
                                             "message": f"another ondrel is recording into {tmp_path}"})
    live.levels(1)
    events, status = live.finish()
    assert (status, events[-1]["type"]) == (0, "done")
    assert decode(tmp_path / "audio.m4a").tone(0, 440, 0.5, 1.5) > 0.4


# The encoder fails (its file cannot be made) and a size limit stops the WAV file early: the
# finish must not pass a transcode of the short WAV file off as the recording.
def test_a_finish_that_would_lose_audio_is_an_error(pulse, tmp_path):
    (tmp_path / ".audio.m4a.partial").mkdir()
    ondrel = subprocess.Popen(["prlimit", "--fsize=300000", BINARY, "--out", tmp_path],
                              env=pulse.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    time.sleep(3)
    out, _ = ondrel.communicate(b"stop\n", timeout=30)
    error = json.loads(out.splitlines()[-1])
    assert (ondrel.returncode, error["type"]) == (1, "error")
    assert error["message"].startswith("finish failed: the encoder failed and the WAV file lacks")
    assert sorted(os.listdir(tmp_path)) == [".audio.m4a.partial", "audio.wav"]


# A WAV file alone (the partial file lost) of two minutes takes seconds to encode: the host hears
# how far it has come, every half second at most.
def test_a_long_recovery_reports_its_progress(pulse, tmp_path):
    tone = (np.sin(2 * np.pi * 440 * np.arange(120 * 48000) / 48000) * 16000).astype("<i2")
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 0, b"WAVE", b"fmt ", 16, 1, 2, 48000,
                         192000, 4, 16, b"data", 0)
    (tmp_path / "audio.wav").write_bytes(header + np.repeat(tone, 2).tobytes())
    ondrel = Ondrel(pulse.env, "--recover", tmp_path)
    events, status = ondrel.finish(None)
    *progress, done = ondrel.history
    assert (status, done[1]["type"], done[1]["t"]) == (0, "done", 120)
    assert len(progress) >= 2 and all(e["type"] == "progress" and e["total"] == 120
                                      for _, e in progress)
    assert all(0 <= a[1]["done"] <= b[1]["done"] <= 120 and b[0] - a[0] > 0.45
               for a, b in zip(progress, progress[1:]))
