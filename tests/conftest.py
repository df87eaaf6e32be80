import pytest

from media import MediaFactory


@pytest.fixture(scope="session")
def media(request, tmp_path_factory):
    """The session's clip factory; clips persist in pytest's cache directory."""
    cache = getattr(request.config, "cache", None)
    if cache is None:  # cache plugin disabled (-p no:cacheprovider)
        return MediaFactory(tmp_path_factory.mktemp("media"))
    return MediaFactory(cache.mkdir("media"))


@pytest.fixture
def clip(media, request):
    """Path of the clip named by indirect parametrization:

    @pytest.mark.parametrize("clip", ["h264", "vp9"], indirect=True)
    """
    return media.path(request.param)
