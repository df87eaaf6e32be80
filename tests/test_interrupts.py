"""Ending calls early: Ctrl-C, exceptions from file objects, read timeouts and
another thread's interrupt."""

import contextlib
import errno
import itertools
import os
import signal
import socket
import subprocess
import sys
import threading

import numpy as np
import pytest

from media import BytesFile, failing, outcome, require_protocol
from quorvex_av import Decoder


@pytest.fixture
def ts_clip(media):  # MPEG-TS, which FFmpeg reads as a stream
    return media.path("ts_bframes")


class StallingServer:
    """A TCP server whose first connection sends the first ``cut`` bytes and
    then waits (until released, or 30 s at most); later ones send everything."""

    def __init__(self, data, cut):
        self.sent, self.release, self.released_by_timeout = threading.Event(), threading.Event(), False
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"tcp://127.0.0.1:{self.listener.getsockname()[1]}"
        threading.Thread(target=self._serve, args=(data, cut), daemon=True).start()

    def _serve(self, data, cut):
        with contextlib.suppress(OSError):  # until the listener is closed
            for count in itertools.count():
                connection, _ = self.listener.accept()
                with connection, contextlib.suppress(OSError):
                    connection.sendall(data[:cut] if count == 0 else data)
                    if count == 0:
                        self.sent.set()
                        self.released_by_timeout = not self.release.wait(30)


@pytest.mark.parametrize("stop_by", ["sigint", "timeout"])
def test_a_stalled_network_read_ends_and_the_decoder_recovers(ts_clip, stop_by):
    require_protocol("tcp")
    data = ts_clip.read_bytes()
    server = StallingServer(data, len(data) * 2 // 3)
    main = threading.main_thread().ident
    try:
        decoder = Decoder(server.url, "video", **({"timeout": 0.5} if stop_by == "timeout" else {}))
        if stop_by == "sigint":
            def ctrl_c():  # once the call has run into the stall
                if server.sent.wait(30):
                    threading.Event().wait(0.3)
                    signal.pthread_kill(main, signal.SIGINT)
            threading.Thread(target=ctrl_c, daemon=True).start()
            with pytest.raises(KeyboardInterrupt):
                decoder.scan()
        else:
            with pytest.raises(RuntimeError, match=r"^read timed out: the input sent no data for 0.5 seconds$"):
                decoder.scan()
        assert not server.released_by_timeout  # ended by the signal or the timeout
        server.release.set()  # the stalled connection ends; the next call opens the stream again
        assert decoder.scan() == Decoder(str(ts_clip), "video").scan()
    finally:
        server.release.set()
        server.listener.close()


INTERRUPTED = (RuntimeError, "interrupted: another thread asked this decoder to stop (Decoder.interrupt)")


@pytest.mark.parametrize("kind", ["path", "file"])
def test_interrupt_from_another_thread_ends_the_running_call_and_the_decoder_recovers(ts_clip, kind):
    source = str(ts_clip) if kind == "path" else BytesFile(ts_clip.read_bytes())
    decoder = Decoder(source, "video")
    targets = [(pts, 0) for pts, _, _ in decoder.scan()]  # all from the start: one long pass
    decoder.interrupt()  # no call runs: nothing to stop
    outcomes = []

    def call():
        outcomes.append(outcome(lambda: decoder.decode_video(targets, "uint8", True)[0].shape))

    if kind == "file":  # the call's first read waits until it has been asked to stop
        reading, asked = threading.Event(), threading.Event()
        source.before_first_read(lambda: (reading.set(), asked.wait(30)))
        thread = threading.Thread(target=call)
        thread.start()
        assert reading.wait(30)
        decoder.interrupt()  # it stops once that read returns
        asked.set()
        thread.join()
    else:
        # Without the interpreter lock the call may run to its end before this
        # thread is scheduled again: calls are made until one is stopped.
        while INTERRUPTED not in outcomes and len(outcomes) < 50:
            thread = threading.Thread(target=call)
            thread.start()
            while thread.is_alive():
                decoder.interrupt()  # a no-op until the call runs, then it stops at its next read
            thread.join()
    assert outcomes[-1] == INTERRUPTED
    assert all(done == ("ok", (len(targets), 120, 160, 3)) for done in outcomes[:-1])
    # The stopped read may have taken in part of the first packet: the next
    # calls still start from the stream's first packet.
    assert [(pts, 0) for pts, _, _ in decoder.scan()] == targets
    fresh = Decoder(str(ts_clip), "video")
    for part in (slice(0, 3), slice(40, 43)):
        assert np.array_equal(decoder.decode_video(targets[part], "uint8", True)[0],
                              fresh.decode_video(targets[part], "uint8", True)[0])


def test_sigint_ends_a_read_blocked_on_a_fifo(ts_clip, tmp_path):
    fifo = tmp_path / "pipe.ts"
    os.mkfifo(fifo)
    data = ts_clip.read_bytes()
    script = f"from quorvex_av import Decoder\nDecoder({str(fifo)!r}, 'video').scan()\n"
    child = subprocess.Popen([sys.executable, "-c", script], stderr=subprocess.PIPE, text=True,
                             cwd=tmp_path)  # not the source tree's unbuilt package
    try:
        for _ in range(600):  # the write end opens once the child opened the FIFO for reading
            try:
                writer = os.fdopen(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK), "wb", buffering=0)
                break
            except OSError as error:
                if error.errno != errno.ENXIO or child.poll() is not None:
                    raise
            threading.Event().wait(0.05)
        with writer:
            os.set_blocking(writer.fileno(), True)
            writer.write(data[:len(data) // 2])
            with pytest.raises(subprocess.TimeoutExpired):  # blocked: the writer went quiet
                child.wait(1)
            child.send_signal(signal.SIGINT)
            _, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert child.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt"), err


# (clip, stream, call): each call reads past what opening left in the input buffer.
CALLS = {
    "scan": ("h264", "video", lambda d: d.scan()),
    "decode_video": ("h264", "video", lambda d: d.decode_video([(70 * 512, 50 * 512)], "uint8", True)),
    "decode_timestamps": ("h264", "video", lambda d: d.decode_timestamps([2.8], "uint8")),
    "decode_audio": ("h264_audio", "audio", lambda d: d.decode_audio(16000, 1)),
}
PATHS = [*(("read", call) for call in ("open", *CALLS)), ("seek", "open"), ("seek", "scan")]


# Base exceptions propagate as they are; others are failed reads as FFmpeg reports them.
@pytest.mark.parametrize("error, method, call", [
    *((error, *path) for error in (KeyboardInterrupt("stop"), SystemExit(3), GeneratorExit()) for path in PATHS),
    (ValueError("bad"), "read", "decode_audio")])
def test_exceptions_from_a_file_object_propagate_or_fail_the_read(media, error, method, call):
    clip, kind, run = CALLS.get(call, CALLS["scan"])
    data = media.path(clip).read_bytes()
    file, hook = BytesFile(data), f"on_{method}"
    raises = pytest.raises(RuntimeError if isinstance(error, Exception) else type(error))
    if call == "open":  # the rewind at open, or a read
        setattr(file, hook, failing(error, 0 if method == "seek" else 2))
        with raises as raised:
            Decoder(file, kind)
    else:
        decoder = Decoder(file, kind)
        setattr(file, hook, failing(error))
        with raises as raised:
            run(decoder)
        setattr(file, hook, None)  # usable again once the file object behaves
        check = CALLS["decode_video" if kind == "video" else "decode_audio"][2]
        assert np.array_equal(check(decoder)[0], check(Decoder(data, kind))[0])
    assert raised.value is error or isinstance(error, Exception)
