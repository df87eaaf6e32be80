import sys
import sysconfig

import pytest

from media import MediaFactory
from quorvex_av import Decoder, _sources

# On a free-threaded interpreter, an extension that did not declare it needs no
# interpreter lock turns the lock back on at import: the suite would not test that build.
if sysconfig.get_config_var("Py_GIL_DISABLED") and sys._is_gil_enabled():
    raise RuntimeError("the interpreter lock is on after importing quorvex_av on a free-threaded interpreter")


@pytest.fixture(scope="session")
def media(request, tmp_path_factory):
    """The session's clips, kept in pytest's cache directory unless -p no:cacheprovider."""
    cache = getattr(request.config, "cache", None)
    return MediaFactory(tmp_path_factory.mktemp("media") if cache is None else cache.mkdir("media"))


@pytest.fixture
def decoder_calls(monkeypatch):
    """[(method name, positional arguments)] of the readers' calls on their decoders."""
    calls = []

    class Recording:
        def __init__(self, *args, **kwargs):
            self._decoder = Decoder(*args, **kwargs)

        def __getattr__(self, name):
            method = getattr(self._decoder, name)
            return lambda *args, **kwargs: calls.append((name, args)) or method(*args, **kwargs)

    monkeypatch.setattr(_sources, "Decoder", Recording)
    return calls
