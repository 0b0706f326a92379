#!/usr/bin/env python3
"""The PID filter's UDP output read by a player nobody here wrote.

    ffprobe_udp_test.py TS_UDP_REPLAY

ffmpeg makes a transport stream of two programs (MPEG-2 video and MP2 audio
each, on PIDs of ffmpeg's choosing); ts_udp_replay sends it through the PID
filter, selecting the second program's video and audio, to a UDP port on
which ffprobe listens. ffprobe must find exactly one program, the second,
with exactly those two streams, decodable (codec, size, sample rate known).
"""
import json
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def fail(message):
    print(f"ffprobe_udp_test: {message}", file=sys.stderr)
    sys.exit(1)


def main():
    replay = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        ts = Path(tmp) / "two.ts"
        lavfi = []
        for source in ("testsrc=size=160x120:rate=25", "sine=frequency=440",
                       "testsrc2=size=160x120:rate=25", "sine=frequency=880"):
            lavfi += ["-f", "lavfi", "-i", source]
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", *lavfi, "-t", "6",
                        "-map", "0:v", "-map", "1:a", "-map", "2:v", "-map", "3:a",
                        "-c:v", "mpeg2video", "-c:a", "mp2",
                        "-program", "program_num=1:title=one:st=0:st=1",
                        "-program", "program_num=2:title=two:st=2:st=3",
                        "-f", "mpegts", str(ts)], check=True)
        source = json.loads(subprocess.run(
            ["ffprobe", "-v", "error", "-show_programs", "-of", "json", str(ts)],
            check=True, capture_output=True, text=True).stdout)
        second = next(p for p in source["programs"] if p["program_num"] == 2)
        pids = {s["codec_type"]: int(s["id"], 16) for s in second["streams"]}
        print(f"source: program 2 has video {pids['video']:#x}, audio {pids['audio']:#x}, "
              f"PMT {second['pmt_pid']:#x}, PCR {second['pcr_pid']:#x}")

        # A free port of our own: other test runs may share the machine.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        probe = subprocess.Popen(
            ["ffprobe", "-v", "error", "-analyzeduration", "3M", "-probesize", "2M",
             "-show_programs", "-show_streams", "-of", "json",
             f"udp://127.0.0.1:{port}?timeout=8000000"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)   # ffprobe listening
        sent = subprocess.run([replay, str(ts), str(pids["video"]), str(pids["audio"]), "127.0.0.1", str(port)],
                              capture_output=True, text=True, timeout=60)
        print(sent.stdout.strip())
        if sent.returncode != 0:
            probe.kill()
            fail(f"ts_udp_replay failed: {sent.stderr}")
        try:
            out, err = probe.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            probe.kill()
            fail("ffprobe did not finish")
        if probe.returncode != 0:
            fail(f"ffprobe failed ({probe.returncode}): {err}")
        result = json.loads(out)

    programs = result.get("programs", [])
    streams = result.get("streams", [])
    print("ffprobe on UDP:", [(p["program_num"], p["pmt_pid"], p["pcr_pid"]) for p in programs],
          [(s["id"], s["codec_name"]) for s in streams])
    if [p["program_num"] for p in programs] != [2]:
        fail(f"ffprobe sees programs {[p['program_num'] for p in programs]}, not only program 2")
    if programs[0]["pmt_pid"] != second["pmt_pid"] or programs[0]["pcr_pid"] != second["pcr_pid"]:
        fail("the program's PMT or PCR PID differs from the source's")
    got = sorted((int(s["id"], 16), s["codec_name"]) for s in streams)
    want = sorted([(pids["video"], "mpeg2video"), (pids["audio"], "mp2")])
    if got != want:
        fail(f"ffprobe sees streams {got}, not {want}")
    video = next(s for s in streams if s["codec_type"] == "video")
    audio = next(s for s in streams if s["codec_type"] == "audio")
    if (video.get("width"), video.get("height")) != (160, 120) or audio.get("sample_rate") != "44100":
        fail(f"the streams did not decode: video {video.get('width')}x{video.get('height')}, "
             f"audio {audio.get('sample_rate')} Hz")
    print("ffprobe_udp_test: passed")


if __name__ == "__main__":
    main()
