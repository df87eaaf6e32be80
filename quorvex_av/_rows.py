"""The frames of one video stream by row: where they are (the exact table,
given or scanned once, or the header's nominal frames), what a request
runs on (the reader's decoder, or its workers where seeks find what
decoding on finds) and the one extension call that answers it.  The
``VideoReader`` puts its user interface on top of this."""

from __future__ import annotations

import weakref
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from ._checks import seconds_text
from ._locate import Locator, NominalFrames, TableLocator, outside_error
from ._pool import skipped_by
from ._quirks import misplacement, seeks_steadily
from ._requests import Calls, OneDecoder, Workers
from ._sources import Held, open_decoder
from ._types import Frames, OutputDtype, Source
from .errors import DamagedFrameError, NoFrameError, NotShownError
from .frame_table import FrameTable

if TYPE_CHECKING:
    from ._av import Decoder, VideoStreamMetadata
    from ._picture import Picture

#: Takes the count of packets that the latest request skipped.
Report = Callable[[int], None]


class FrameRows:
    """Frames of the stream of ``decoder`` by their row (index in
    presentation order), for a reader that owns ``decoder``."""

    def __init__(self, decoder: Decoder, header: VideoStreamMetadata, picture: Picture,
                 dtype: OutputDtype, direct_resize: bool, skip_invalid: bool,
                 source_size: int | None, report: Report) -> None:
        self.decoder = decoder
        self.header = header
        self.picture = picture
        self._dtype = dtype
        self._direct_resize = direct_resize
        self._skip_invalid = skip_invalid
        self._source_size = source_size
        self._report = report
        #: The exact table once known, and whether a scan made it.
        self.table: TableLocator | None = None
        self.scanned = False
        self.nominal: NominalFrames | None = None
        self.workers: Workers | None = None
        self._opener: Callable[[], tuple[Decoder, Held | None]] | None = None
        self._steady: bool | None = None  # see calls
        self._misplaced: str | None = None  # see check_placed
        self._placed_checked = False

    def start_workers(self, owner: object, share: Callable[[], Source] | None, count: int,
                      threads: int, timeout: float | None) -> None:
        """The workers behind ``workers=count`` (none for one, or for a file
        object, which ``sharer`` gives no ``share`` of); each opens the same
        stream of the shared source.  They stop and close their decoders
        when ``owner`` is collected."""
        if count < 2 or share is None:
            return
        index = self.header["stream_index"]

        def opener() -> tuple[Decoder, Held | None]:
            return open_decoder(share(), "video", index, threads, timeout)

        self.workers = workers = Workers(count, self.decoder, opener)
        self._opener = opener
        weakref.finalize(owner, workers.close, True)

    def calls(self) -> Calls:
        """What a request runs on: the workers, or the reader's decoder alone
        where a seek does not find what decoding on finds (see
        ``_quirks.seeks_steadily``).  There a decoder's answer depends on
        where its earlier calls left it, so only the one decoder, taking
        every request in turn as a reader with one worker does, gives the
        same answers."""
        if self.workers is None or self._opener is None or self._steady is False:
            return OneDecoder(self.decoder)
        if self._steady is None:
            table = None if self.table is None else self.table.table
            self._steady = seeks_steadily(self.header, table, self._opener, self._skip_invalid)
        return self.workers if self._steady else OneDecoder(self.decoder)

    def exact(self) -> TableLocator:
        """The exact table: the given one, or one scan of the stream."""
        if self.table is None:
            self.table = TableLocator(FrameTable.from_scan(
                self.decoder.scan(), self.header, self._source_size))
            self.scanned = True
        return self.table

    def locator(self) -> Locator:
        """What places the frames: the exact table, or the header's nominal
        frames in approximate mode."""
        if self.table is None and self.nominal is not None:
            return self.nominal
        return self.exact()

    def check_placed(self) -> None:
        """RuntimeError where the exact table cannot place the stream's
        frames by index (see ``_quirks.misplacement``), checked once, on
        the reader's decoder."""
        if not self._placed_checked:
            self._misplaced = misplacement(self.decoder, self.exact().table, self._skip_invalid)
            self._placed_checked = True
        if self._misplaced is not None:
            raise RuntimeError(self._misplaced)

    def read(self, picks: npt.NDArray[np.intp], decoder: Decoder | None = None,
             alone: bool = False) -> tuple[Frames, npt.NDArray[np.float64]]:
        """The frames at these rows (any shape) and the times the decoder
        gives for them, in one decode_video call (of ``decoder``, when
        given, which then keeps its own count of skipped packets).

        In exact mode, unless ``strict``, a frame lost to damaged packets
        (its own, or one it refers to, skipped) is answered by the next
        frame that decoded, as the extension's ``stand_in`` does; for a
        frame asked for ``alone`` (an integer index) that raises
        DamagedFrameError instead."""
        locator = self.locator()
        exact = locator.exact
        if exact:
            self.check_placed()
        flat = picks.ravel()
        targets, occurrences = locator.targets(flat)
        calls = self.calls() if decoder is None else OneDecoder(decoder)
        # A decoder given walks the stream, its calls each going on from
        # the one before (batches, the workers' segments).
        continuation = {} if decoder is None else {"continuation": True}

        def decode(targets: list[tuple[int, int]]) -> tuple[Frames, list[float], list[float]]:
            try:
                return calls.decode_video(
                    targets, self._dtype, exact, self.picture.transforms, locator=locator,
                    direct_resize=self._direct_resize, skip_invalid=self._skip_invalid,
                    occurrences=occurrences, seek_by_index=not exact, stand_in=exact,
                    **continuation)
            finally:
                if decoder is None:
                    self._report(skipped_by(calls))

        try:
            array, times, _ = decode(targets)
        except NoFrameError:
            if exact:
                raise
            # Without an index (FLV) a seek to a time at or past the last
            # frame can land after it: seek half a period earlier instead.
            try:
                array, times, _ = decode([(pts, pts) for pts, _ in targets])
            except NoFrameError:
                raise IndexError("a frame index is past the last frame of the stream: the header "
                                 f"counts {len(locator)} frames, the stream has fewer") from None
        if alone and exact and self._skip_invalid and calls.stand_ins():
            pts = targets[0][0]
            raise DamagedFrameError(
                f"frame {int(flat[0])} (PTS {pts}) did not decode: its packet, or a packet it "
                f"refers to, was damaged and skipped (no decoded frame at exact PTS {pts})")
        frames = self.picture.turned(array)
        return (frames.reshape(picks.shape + frames.shape[1:]),
                np.array(times, dtype=np.float64).reshape(picks.shape))

    def batches(self, size: int) -> Iterator[Frames]:
        """The whole stream in order, ``size`` frames at a time."""
        count = len(self.locator())
        if self.table is not None:  # checked before the workers use their decoders
            self.check_placed()
        shared = self.calls().batches(self.locator(), self.read, self._report, size, count)
        if shared is not None:
            yield from shared
            return
        # Not shared out: every batch on the reader's decoder, going on from
        # the batch before, as with one worker (a batch shared into runs
        # would start each run with a seek, and so decode damage otherwise).
        for begin in range(0, count, size):
            try:
                frames, _ = self.read(np.arange(begin, min(begin + size, count), dtype=np.intp),
                                      self.decoder)
            finally:
                self._report(skipped_by(self.decoder))
            yield frames

    def shown_at(self, seconds: npt.NDArray[np.float64]) -> Frames:
        """The frames shown at these times (sorted, distinct), in one
        decode_timestamps call.  A time at which nothing is shown raises
        IndexError naming the video's time range, or DamagedFrameError
        where damaged packets left nothing to show."""
        calls = self.calls()
        try:
            array, _, _ = calls.decode_timestamps(
                seconds.tolist(), self._dtype, self.picture.transforms, frames=self.table,
                direct_resize=self._direct_resize, skip_invalid=self._skip_invalid)
        except NotShownError as error:
            outside = self.time_error(seconds)
            if outside is None and self._skip_invalid and skipped_by(calls):
                raise DamagedFrameError(
                    f"no frame is shown at {seconds_text(float(seconds[0]))} s: the frames up to "
                    f"it did not decode: their packets, or packets they refer to, were damaged "
                    f"and skipped ({error})") from None
            raise outside or error from None
        finally:
            self._report(skipped_by(calls))
        return self.picture.turned(array)

    def time_error(self, seconds: npt.NDArray[np.float64]) -> IndexError | None:
        """IndexError naming the first time outside the video's time range;
        None when all are inside (or the stream cannot be scanned)."""
        try:
            locator = self.locator()
        except RuntimeError:
            return None
        return outside_error(locator, seconds)
