#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The Python counterpart of examples/loopback.c: streams a 16-bit counter
through QDev0's bulk loop-back with the vkm470 package, checks every word
with numpy and prints the rate in the same words.

    loopback.py [MiB]      (default 64)
"""

import sys
import time

import numpy as np

import vkm470

CHUNK_WORDS = 512 << 10  # a whole number of counter periods
POLL = 0.010  # seconds


def stream(s: vkm470.Stream, words: int) -> None:
    counter = (np.arange(CHUNK_WORDS + 65536) & 0xFFFF).astype(np.uint16)
    out_words = counter[:CHUNK_WORDS]
    in_words = np.empty(CHUNK_WORDS, dtype=np.uint16)
    sent = received = 0
    while received < words:
        moved = False
        if sent < words:
            # As much as there is room for: the call returns at once.
            room = min(s.free, words - sent)
            offset = sent % CHUNK_WORDS
            room = min(room, CHUNK_WORDS - offset)
            if room:
                done = s.write(out_words[offset:offset + room], POLL)
                sent += done
                moved = done > 0
        ready = min(s.ready, CHUNK_WORDS, words - received)
        if ready == 0 and not moved:
            ready = 1  # nothing to move either way: wait a little for words
        if ready:
            done = s.read_into(in_words[:ready], POLL)
            start = received % 65536
            if not np.array_equal(in_words[:done], counter[start:start + done]):
                bad = int(np.flatnonzero(in_words[:done] != counter[start:start + done])[0])
                sys.exit(f"loopback.py: word {received + bad} is 0x{in_words[bad]:04x}, "
                         f"expected 0x{counter[start + bad]:04x}")
            received += done


def main() -> None:
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 64
    if not vkm470.search()[0].free:
        sys.exit("loopback.py: no VKM470 module at QDev0")
    with vkm470.open("usb:0") as module:
        with module.stream(read_fifo=8 << 20, write_fifo=8 << 20, blocks=8,
                           block_size=64 << 10) as s:
            start = time.perf_counter()
            stream(s, mib << 19)
            elapsed = time.perf_counter() - start
    print(f"{mib} MiB looped back and checked in {elapsed:.3f} s: "
          f"{mib * 1048576 / elapsed / 1e6:.1f} MB/s")


if __name__ == "__main__":
    main()
