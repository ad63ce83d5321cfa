#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""capture.py: captures 16-bit words from a VKM470 module's bulk stream into
a .npy file (or raw words with .raw) and, with --plot, draws them.

    capture.py [-d usb:0] [-s SECONDS] [-o capture.npy] [--signal sine|none]
               [--rate WORDS_PER_S] [--plot out.png]

With --signal sine (the default) it writes a sine wave to the module at
--rate words a second while it captures, so that a module whose bulk
endpoints loop back (the virtual module) returns it; with --signal none it
only reads, for a module whose DSP sends data of its own.
"""

import argparse
import sys
import threading
import time

import numpy as np

import vkm470

PERIOD = 1000  # words of one sine period


def sine(amplitude: int = 24000) -> np.ndarray:
    phase = np.arange(PERIOD) * 2 * np.pi / PERIOD
    return np.round(32768 + amplitude * np.sin(phase)).astype(np.uint16)


def feed(stream: vkm470.Stream, rate: float, stop: threading.Event) -> None:
    """Writes the sine at rate words a second, in pieces of 10 ms."""
    piece = max(int(rate / 100) // PERIOD, 1) * PERIOD
    wave = np.tile(sine(), piece // PERIOD)
    start, written = time.monotonic(), 0
    while not stop.is_set():
        ahead = written / rate - (time.monotonic() - start)
        if ahead > 0:
            stop.wait(ahead)
            continue
        written += stream.write(wave, timeout=1.0)


def plot(words: np.ndarray, rate: float, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = words[:min(words.size, 5 * PERIOD)]
    ms = np.arange(shown.size) / rate * 1e3
    figure, (wave, spread) = plt.subplots(1, 2, figsize=(10, 3.6),
                                          gridspec_kw={"width_ratios": [3, 1]})
    wave.plot(ms, shown, linewidth=1)
    wave.set_xlabel("time (ms)")
    wave.set_ylabel("word")
    wave.set_title(f"first {shown.size} of {words.size} words")
    wave.grid(alpha=0.3)
    spread.hist(words, bins=64, orientation="horizontal")
    spread.set_xlabel("count")
    spread.set_title("all words")
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-d", "--device", default="usb:0", help="the module (default usb:0)")
    parser.add_argument("-s", "--seconds", type=float, default=2.0,
                        help="how long to capture (default 2)")
    parser.add_argument("-o", "--output", default="capture.npy",
                        help="the file: .npy, or .raw for the words alone")
    parser.add_argument("--signal", choices=("sine", "none"), default="sine",
                        help="what to write to the module while capturing")
    parser.add_argument("--rate", type=float, default=1e6,
                        help="words a second of the signal written (default 1e6)")
    parser.add_argument("--plot", metavar="PNG", help="draw the capture into this picture")
    args = parser.parse_args()

    try:
        with vkm470.open(args.device) as module, module.stream() as stream:
            stop = threading.Event()
            feeder = None
            if args.signal == "sine":
                feeder = threading.Thread(target=feed, args=(stream, args.rate, stop))
                feeder.start()
            try:
                words = stream.capture(args.output, seconds=args.seconds)
            finally:
                stop.set()
                if feeder:
                    feeder.join()
    except vkm470.Error as error:
        print(f"capture.py: {args.device}: {error}", file=sys.stderr)
        return 1
    print(f"{words} words in {args.seconds:g} s into {args.output}")
    if args.plot:
        if args.output.lower().endswith(".raw"):
            captured = np.fromfile(args.output, dtype=np.uint16)
        else:
            captured = np.load(args.output)
        plot(captured, args.rate, args.plot)
        print(f"drawn into {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
