# Which microphone a recording takes, on servers with two: the built-in one, hearing 440 Hz, and a
# USB headset's, hearing 660 Hz, which is the system's default input.
import json
import time

import numpy as np
import pytest

from conftest import Ondrel, decode, figure, run

BUILTIN_HZ, USB_HZ, SYSTEM_HZ, PHASE_HZ = 440, 660, 1000, 10


@pytest.fixture
def two_mics(server):
    server.add_usb_mic()
    server.set_default_source("usb_mic")
    server.play(BUILTIN_HZ, 0.5, 0, sink="micfeed")
    server.play(USB_HZ, 0, 0.5, sink="micfeed")
    server.play(SYSTEM_HZ, 0.4, 0.4)
    return server


def test_the_device_list_says_what_each_choice_takes(two_mics):
    out, err, status = run(two_mics.env, "--list-devices")
    assert (status, err) == (0, "")
    devices = {d["id"]: d for d in map(json.loads, out.splitlines())}
    assert all(d["type"] == "device" and ".monitor" not in d["id"] for d in devices.values())
    want = {
        "builtin_mic": ("input", True, False, 1),
        "usb_mic": ("input", False, True, 1),
        "speakers": ("output", False, True, 2),
        "speakers2": ("output", False, False, 2),
    }
    for id, (kind, built_in, default, channels) in want.items():
        d = devices[id]
        assert (d["kind"], d["builtIn"], d["default"], d["rate"], d["channels"]) == \
            (kind, built_in, default, 48000, channels), d
    assert devices["usb_mic"]["name"] == "USB-headset"
    assert sum(d["default"] for d in devices.values()) == 2


# Each choice records its microphone and no other; an unknown id records nothing.
def test_each_choice_records_its_microphone(two_mics, tmp_path):
    for choice, hz in [(None, BUILTIN_HZ), ("builtin", BUILTIN_HZ), ("default", USB_HZ),
                       ("usb_mic", USB_HZ), ("builtin_mic", BUILTIN_HZ)]:
        folder = tmp_path / str(choice)
        ondrel = Ondrel(two_mics.env, "--out", folder, *(["--mic", choice] if choice else []))
        ondrel.started()
        ondrel.levels(1.5)
        events, status = ondrel.finish()
        assert (status, events[-1]["type"], ondrel.errors()) == (0, "done", ""), choice
        audio = decode(folder / "audio.m4a")
        other = USB_HZ + BUILTIN_HZ - hz
        assert audio.tone(0, hz, 0.5, 1.4) > 0.3 and audio.tone(0, other, 0.5, 1.4) < 0.02, choice
        assert audio.tone(1, SYSTEM_HZ, 0.5, 1.4) > 0.3
    out, err, status = run(two_mics.env, "--out", tmp_path / "x", "--mic", "nosuch")
    assert (status, json.loads(out)) == (1, {"type": "error", "message": "no microphone named nosuch"})


# The user picks another input: the microphone channel follows within a second, with no gap.
@pytest.mark.figures
def test_a_default_microphone_follows_the_system(two_mics, tmp_path):
    two_mics.play(PHASE_HZ, 0.3, 0.3, sink="micfeed")  # heard by both, in phase
    ondrel = Ondrel(two_mics.env, "--out", tmp_path, "--mic", "default")
    ondrel.started()
    ondrel.levels(2)
    two_mics.set_default_source("builtin_mic")
    at = ondrel.position()
    ondrel.levels(2.5)
    events, status = ondrel.finish()
    assert (status, events[-1]["type"], ondrel.errors()) == (0, "done", "")
    audio = decode(tmp_path / "audio.m4a")
    assert audio.tone(0, USB_HZ, 0.5, at) > 0.3 and audio.tone(0, BUILTIN_HZ, 0.5, at) < 0.02
    assert audio.tone(0, BUILTIN_HZ, at + 1, audio.seconds - 0.1) > 0.3
    assert audio.tone(0, USB_HZ, at + 1, audio.seconds - 0.1) < 0.02
    assert audio.silences(0, 0.5, audio.seconds - 0.2) == [], "a gap at the switch"
    # Nothing the old one captured before the switch is lost, nothing repeated: a tone both hear
    # goes on in phase (a millisecond turns it by 0.06 rad), within 3 ms. Only printed on
    # PipeWire, where the reported latencies of the two remapped sources differ by a quantum or
    # more under load, so the two microphones are not placed alike to begin with.
    turn = audio.phase(0, PHASE_HZ, at + 1, at + 2) - audio.phase(0, PHASE_HZ, at - 1.2, at - 0.2)
    turn = abs(np.angle(np.exp(1j * turn)))
    message = f"the microphone's phase turned by {turn:.2f} rad at the switch"
    if two_mics.kind == "pulseaudio":
        figure(turn < 0.2, message)
    else:
        print(f"[figure] {message}")


# A chosen device unplugged is silence, never the other microphone, and one line; an output change
# meanwhile moves the system channel on at once; the device returning is heard again.
def test_a_chosen_microphone_that_leaves_and_returns(two_mics, tmp_path):
    ondrel = Ondrel(two_mics.env, "--out", tmp_path, "--mic", "usb_mic")
    ondrel.started()
    ondrel.levels(1.5)
    two_mics.remove_usb_mic()
    gone = ondrel.position()
    ondrel.levels(1)
    two_mics.set_default("speakers2")
    changed = ondrel.position()
    ondrel.levels(1.5)
    two_mics.add_usb_mic()
    back = ondrel.position()
    ondrel.levels(2)
    events, status = ondrel.finish()
    assert (status, events[-1]["type"]) == (0, "done")
    assert ondrel.errors() == "microphone usb_mic is gone: its channel is silent until it returns\n"
    audio = decode(tmp_path / "audio.m4a")
    assert abs(audio.seconds - (ondrel.stopped - ondrel.began)) < 0.3
    assert audio.tone(0, USB_HZ, 0.5, gone - 0.2) > 0.3
    assert audio.tone(0, USB_HZ, gone + 0.5, back) < 0.02
    assert audio.tone(0, BUILTIN_HZ, 0.5, audio.seconds) < 0.02
    assert audio.tone(0, USB_HZ, back + 1.5, audio.seconds - 0.1) > 0.3
    assert audio.tone(1, SYSTEM_HZ, changed + 0.5, audio.seconds - 0.1) > 0.3
    assert audio.silences(1, changed + 0.5, audio.seconds - 0.1) == []
