# SPDX-License-Identifier: MIT
"""Streaming words through the virtual module's bulk loop-back."""

import sys
import threading

import numpy as np
import pytest

import vkm470


def counter(start: int, words: int) -> np.ndarray:
    return ((np.arange(words) + start) & 0xFFFF).astype(np.uint16)


@pytest.fixture
def stream(sim):
    with vkm470.open("usb:0") as module, module.stream() as stream:
        yield stream


def test_64_mib_of_a_counter_come_back_in_order(stream):
    total, chunk = 32 << 20, 1 << 20  # words
    pattern = counter(0, chunk)  # a whole number of counter periods

    def feed():
        for _ in range(total // chunk):
            assert stream.write(pattern) == chunk

    writer = threading.Thread(target=feed)
    writer.start()
    back = np.empty(chunk, dtype=np.uint16)
    for _ in range(total // chunk):
        assert stream.read_into(back, timeout=30) == chunk
        np.testing.assert_array_equal(back, pattern)
    writer.join()
    assert stream.ready == 0


def test_inputs_and_short_reads(stream):
    # bytes, int16 and a strided array are words too; a time-out returns what
    # came. The writer sends whole 512-byte units: 256 words in all here.
    pieces = [counter(0, 64).tobytes(), counter(64, 64).astype(np.int16),
              counter(128, 128)[::2], counter(0, 64)]
    for piece in pieces:
        assert stream.write(piece) == 64
    got = stream.read(1000, timeout=0.3)
    expected = np.concatenate([counter(0, 128), counter(128, 128)[::2], counter(0, 64)])
    np.testing.assert_array_equal(got, expected)
    assert stream.read(10, timeout=0).size == 0
    for refused, kind in ((b"\0\0\0", ValueError), (np.zeros(4, np.float32), TypeError),
                          (np.zeros(4, np.uint8), TypeError)):
        with pytest.raises(kind):
            stream.write(refused)


def test_iteration_yields_blocks_until_stopped(stream):
    words = stream.block_size // 2
    stream.write(counter(0, 3 * words))
    blocks = []
    for block in stream:
        blocks.append(block)
        if sum(b.size for b in blocks) == 3 * words:
            stream.stop()
    np.testing.assert_array_equal(np.concatenate(blocks), counter(0, 3 * words))
    assert not stream.running


@pytest.mark.parametrize("name", ["capture.npy", "capture.raw"])
def test_capture_writes_a_file_numpy_loads(stream, tmp_path, name):
    sent = counter(100, 256 * 1000)
    stream.write(sent)
    path = tmp_path / name
    assert stream.capture(path, words=sent.size) == sent.size
    if name.endswith(".npy"):
        loaded = np.load(path)
        assert loaded.dtype == np.uint16
    else:
        loaded = np.fromfile(path, dtype=np.uint16)
    np.testing.assert_array_equal(loaded, sent)


def test_capture_by_time_ends_with_what_came(stream, tmp_path):
    stream.write(counter(0, 5120))
    path = tmp_path / "timed.npy"
    assert stream.capture(path, seconds=0.5) == 5120
    np.testing.assert_array_equal(np.load(path), counter(0, 5120))


def test_closing_the_module_disposes_of_its_stream(sim):
    module = vkm470.open("usb:0")
    stream = module.stream()
    module.close()
    assert module.record.bulkFifo is None
    with pytest.raises(ValueError):
        stream.read(1)
    stream.close()


def test_words_of_the_other_byte_order_keep_their_values(stream):
    other = ">u2" if sys.byteorder == "little" else "<u2"
    sent = counter(0x1234, 512).astype(other)
    assert stream.write(sent) == 512
    back = np.zeros(512, dtype=other)
    assert stream.read_into(back, timeout=5) == 512
    np.testing.assert_array_equal(back.astype(np.uint16), counter(0x1234, 512))
    # A time-out of inf waits as None does.
    stream.write(counter(0, 256))
    np.testing.assert_array_equal(stream.read(256, timeout=float("inf")), counter(0, 256))
