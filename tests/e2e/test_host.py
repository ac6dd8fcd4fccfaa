# The binary's contract with its host, on one private PulseAudio server: command lines, stop
# lines and signals, events, the files a finish leaves, and what a kill leaves.
import json
import os
import signal
import subprocess
import time

import pytest

from conftest import BINARY, ROOT, Ondrel, decode, read_wav, run

MIC_HZ = 440
USAGE = (
    "usage: --out <folder>\n"
    "       --out <folder> [--mic builtin|default|<device id>] [--echo-cancel]\n"
    "       --recover <folder>\n       --list-devices\n")


@pytest.fixture(autouse=True)
def mic_tone(pulse):
    player = pulse.play(MIC_HZ, 0.5, 0.5, sink="micfeed")
    yield
    player.stop()


def events_of(text):
    return [json.loads(line) for line in text.split("\n")[:-1]]  # not at U+2028


# "--version" anywhere wins; without a usable "--out" the usage text is all there is.
@pytest.mark.parametrize("arguments, status, out, err", [
    (["--version"], 0, "ondrel 0.1.0\n", ""),
    (["--out", "{a}", "--version"], 0, "ondrel 0.1.0\n", ""),
    (["--out", "--version"], 0, "ondrel 0.1.0\n", ""),
    ([], 1, "", USAGE),
    (["--out"], 1, "", USAGE),
    (["out", "{a}"], 1, "", USAGE),
    (["{a}", "--out"], 1, "", USAGE),
    (["--OUT", "{a}"], 1, "", USAGE),
    (["--recover"], 1, "", USAGE),
    (["--out", "{a}", "--mic"], 1, "", USAGE),
])
def test_command_lines_that_record_nothing(pulse, tmp_path, arguments, status, out, err):
    result = run(pulse.env, *[a.format(a=tmp_path / "a") for a in arguments])
    assert result == (out, err, status)
    assert not (tmp_path / "a").exists()


def test_closed_standard_input_stops_and_the_first_out_wins(pulse, tmp_path):
    out, err, status = run(pulse.env, "--out", tmp_path / "first", "--out", tmp_path / "second")
    assert status == 0, err
    events = events_of(out)
    assert events[0] == {"type": "started"} and events[-1]["type"] == "done"
    assert sorted(os.listdir(tmp_path / "first")) == ["audio.m4a", "meta.json"]
    assert not (tmp_path / "second").exists()


# What stands in the way of a finish: audio.m4a cannot be written (the finish fails, one error
# event, the WAV kept), or meta.json cannot (still done; nothing else left behind).
@pytest.mark.parametrize("obstacle, status, kept", [
    ("audio.m4a", 1, {"audio.m4a", "audio.wav"}),
    ("meta.json", 0, {"audio.m4a", "meta.json"}),
])
def test_a_finish_that_cannot_write_a_file(pulse, tmp_path, obstacle, status, kept):
    (tmp_path / obstacle / "inside").mkdir(parents=True)
    out, err, code = run(pulse.env, "--out", tmp_path, stdin=b"stop\n")
    assert code == status, err
    events = events_of(out)
    assert all(e["type"] == "level" for e in events[1:-1])
    if status:
        assert events[-1]["type"] == "error", events[-1]
        assert events[-1]["message"].startswith("finish failed: ")
    else:
        assert events[-1]["type"] == "done"
    names = set(os.listdir(tmp_path))
    assert kept <= names and ("meta.json" in names) == (status == 0)
    assert status or names == kept, "left behind"
    assert (tmp_path / obstacle / "inside").is_dir()


# A folder is one recording's: a second ondrel given it is refused at once, and the first one
# records on unharmed.
def test_a_second_ondrel_on_the_same_folder_is_refused(pulse, tmp_path):
    first = Ondrel(pulse.env, "--out", tmp_path)
    first.started()
    out, err, status = run(pulse.env, "--out", tmp_path)
    assert (status, err) == (1, "")
    assert events_of(out) == [{"type": "error",
                               "message": f"another ondrel is recording into {tmp_path}"}]
    first.levels(0.5)
    events, status = first.finish()
    assert (status, events[-1]["type"]) == (0, "done")
    audio = decode(tmp_path / "audio.m4a")
    assert abs(audio.seconds - (first.stopped - first.began)) < 0.3
    assert audio.tone(0, MIC_HZ, 0.2, audio.seconds) > 0.4


def test_the_javascript_host_example_records(pulse, tmp_path):
    done = subprocess.run(["node", ROOT / "examples" / "host.js", tmp_path / "js", BINARY],
                          env=pulse.env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert f"saved {tmp_path / 'js' / 'audio.m4a'}" in done.stdout
    assert decode(tmp_path / "js" / "audio.m4a").seconds > 2


# A host quitting, Ctrl-C or a closed terminal finishes the recording as "stop" does; the same
# signal again once done is out (a host that insists) changes nothing.
@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP],
                         ids=lambda number: number.name)
def test_each_stop_signal_finishes_in_order(pulse, tmp_path, number):
    ondrel = Ondrel(pulse.env, "--out", tmp_path)
    ondrel.started()
    ondrel.levels(0.3)
    ondrel.signal(number)
    while (event := ondrel.next()) and event["type"] == "level":
        pass
    ondrel.signal(number)
    assert (ondrel.wait(), event["type"], ondrel.errors()) == (0, "done", "")
    assert sorted(os.listdir(tmp_path)) == ["audio.m4a", "meta.json"]


# A second signal does not wait for the finish: the WAV is left with its sizes written.
def test_a_second_signal_ends_at_once_with_a_readable_wav(pulse, tmp_path):
    ondrel = Ondrel(pulse.env, "--out", tmp_path)
    ondrel.started()
    ondrel.levels(0.5)
    ondrel.signal(signal.SIGTERM)
    ondrel.signal(signal.SIGINT)
    assert ondrel.wait() in (-signal.SIGTERM, -signal.SIGINT)
    header, audio = read_wav(tmp_path / "audio.wav")
    size = (tmp_path / "audio.wav").stat().st_size
    data = header[12]
    # A block the audio thread was appending as the process ended may lie beyond the sizes.
    assert 0 < data <= size - 44 <= data + 4 * 48000 // 5
    assert header == (b"RIFF", data + 36, b"WAVE", b"fmt ", 16, 1, 2, 48000, 192000, 4, 16,
                      b"data", data)



def test_after_sigkill_the_wav_and_the_partial_m4a_hold_the_recording(pulse, tmp_path):
    ondrel = Ondrel(pulse.env, "--out", tmp_path)
    ondrel.started()
    counted = ondrel.levels(2.5)[-1]["t"]
    time.sleep(0.037)  # between two level events: the writer may be mid-block
    ondrel.signal(signal.SIGKILL)
    ondrel.wait()
    header, wav = read_wav(tmp_path / "audio.wav")
    assert header[1] == header[12] == 0  # sizes zero while recording
    assert (tmp_path / "audio.wav").stat().st_size % 4 == 0, "a torn frame"
    assert wav.seconds >= counted > 2
    assert wav.tone(0, MIC_HZ, wav.seconds - 0.5, wav.seconds) > 0.3
    # The partial M4A plays up to its last fragment, cut about every second.
    partial = decode(tmp_path / ".audio.m4a.partial")
    assert partial.seconds > counted - 1.3
    assert partial.tone(0, MIC_HZ, partial.seconds - 0.5, partial.seconds - 0.1) > 0.3
    assert sorted(os.listdir(tmp_path)) == [".audio.m4a.partial", "audio.wav"]


# A host that stops reading (before or after started) and then closes its input still gets
# complete files: the failed writes of events cost nothing.
@pytest.mark.parametrize("after_started", [False, True])
def test_a_host_that_closes_output_then_input_gets_complete_files(pulse, tmp_path, after_started):
    ondrel = Ondrel(pulse.env, "--out", tmp_path)
    if after_started:
        ondrel.started()
        ondrel.levels(0.3)
    ondrel.close_output()
    time.sleep(1.5)
    ondrel.proc.stdin.close()
    assert (ondrel.wait(), ondrel.errors()) == (0, "")
    duration = json.loads((tmp_path / "meta.json").read_text())["duration"]
    audio = decode(tmp_path / "audio.m4a")
    assert duration > 0.8 and abs(audio.seconds - duration) < 0.05
    assert abs(audio.tone(0, MIC_HZ, duration - 1, duration - 0.1) - 0.5) < 0.08


FFFD = "\ufffd".encode()


# Any folder name is created byte for byte, and every event stays one line of JSON: escapes and
# control characters, valid multi-byte UTF-8, and invalid UTF-8, which the events replace.
@pytest.mark.parametrize("name, reported", [
    (b'q "d" \\ \\u0041\tline\nfeed\r\n\x01\x1b[31m\x7f', None),
    (b"na\xc3\xafve \xe2\x98\x83 \xe2\x80\xa8 \xf0\x9f\x8e\x99", None),
    (b"bad\xff utf8 \xc0\xaf \xed\xa0\x80 end\xe2\x82",
     b"bad" + FFFD + b" utf8 " + FFFD * 2 + b" " + FFFD * 3 + b" end" + FFFD),
])
def test_any_out_path_is_made_byte_for_byte(pulse, tmp_path, name, reported):
    folder = os.fsencode(tmp_path) + b"/" + name
    out, err, status = run(pulse.env, os.fsdecode(b"--out"), os.fsdecode(folder), stdin=b"stop\n")
    assert status == 0, err
    assert out.endswith("\n")
    events = events_of(out)
    expected = os.fsencode(tmp_path) + b"/" + (reported or name) + b"/audio.m4a"
    assert events[-1]["path"].encode() == expected
    assert sorted(os.listdir(folder)) == [b"audio.m4a", b"meta.json"]


def test_a_folder_that_cannot_be_made_is_one_error_line(pulse, tmp_path):
    (tmp_path / "plain file").write_text("x")
    out, _, status = run(pulse.env, "--out", os.fsdecode(os.fsencode(tmp_path) +
                                                         b"/plain file/sub\xff\n\"x"))
    assert status == 1 and out.count("\n") == 1
    error = json.loads(out)
    assert error["type"] == "error" and error["message"]
