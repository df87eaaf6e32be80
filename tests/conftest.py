import pytest

from media import MediaFactory


@pytest.fixture(scope="session")
def media(request, tmp_path_factory):
    """The session's clip factory; clips persist in pytest's cache directory
    unless the cache plugin is disabled (-p no:cacheprovider)."""
    cache = getattr(request.config, "cache", None)
    return MediaFactory(tmp_path_factory.mktemp("media") if cache is None else cache.mkdir("media"))


@pytest.fixture
def clip(media, request):
    """The path of the clip named by indirect parametrization."""
    return media.path(request.param)
