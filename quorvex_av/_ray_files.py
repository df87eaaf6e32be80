"""The files a Ray read covers: paths as files, directories or globs, local
or on a file system (given, or one that a URL names), filtered by extension,
with the values of their partition directories, in a fixed order."""

from __future__ import annotations

import fnmatch
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Union
from urllib.parse import urlparse

import numpy as np
from pyarrow import fs as pafs

#: Paths as Ray's file readers take them: one or a list of files,
#: directories or globs (local, URLs, or inside ``filesystem``).
Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

_MAGIC = "*?["


@dataclass(frozen=True)
class FileList:
    """The files of a read in order: the ``filesystem`` that opens them
    (None: local paths, which the extension opens by name) and each
    file's partition values (str by key)."""

    filesystem: Any
    paths: list[str]
    partitions: list[Mapping[str, Any]]


def _listing(filesystem: Any) -> pafs.FileSystem | None:
    """A pyarrow view of a file system for listing it, or None for one
    that can only open files."""
    if filesystem is None:
        return pafs.LocalFileSystem()
    if isinstance(filesystem, pafs.FileSystem):
        return filesystem
    try:
        from fsspec import AbstractFileSystem  # type: ignore[import-untyped]
    except ImportError:  # pragma: no cover - fsspec is optional
        return None
    if isinstance(filesystem, AbstractFileSystem):
        return pafs.PyFileSystem(pafs.FSSpecHandler(filesystem))
    return None


def _url_filesystem(path: str) -> tuple[Any, str]:
    """The file system a URL names and the path inside it: pyarrow's where
    it knows the scheme, else fsspec's."""
    try:
        system, inner = pafs.FileSystem.from_uri(path)
        return system, str(inner)
    except (ValueError, OSError, ImportError):  # a scheme pyarrow does not know
        pass
    try:
        import fsspec
    except ImportError:  # pragma: no cover - fsspec is optional
        raise ValueError(f"no file system reads {path!r}: install fsspec or give filesystem=")
    filesystem, inner = fsspec.core.url_to_fs(path)
    return filesystem, str(inner)


def _is_url(path: str) -> bool:
    scheme = urlparse(path).scheme
    return len(scheme) > 1 and "://" in path  # not a Windows drive letter


def _resolve(paths: list[str], filesystem: Any) -> tuple[Any, list[str]]:
    """The file system of the paths and the paths inside it: the given
    one, else the one their URLs name (``file://`` ones are local)."""
    if filesystem is not None:
        return filesystem, paths
    resolved, systems = [], []
    for path in paths:
        if not _is_url(path):
            system, inner = None, path
        elif urlparse(path).scheme == "file":
            system, inner = None, urlparse(path).path
        else:
            system, inner = _url_filesystem(path)
        systems.append(system)
        resolved.append(inner)
    if len({type(system) for system in systems}) > 1:
        raise ValueError("the paths lie on different file systems: read them separately")
    return (systems[0] if systems else None), resolved


def _listed(info: pafs.FileInfo) -> bool:
    """Whether a directory or glob lists a file: hidden ones (names
    beginning with "." or "_", as Ray's readers skip) are left out."""
    return bool(info.type == pafs.FileType.File
                and not os.path.basename(info.path).startswith((".", "_")))


def _expand(listing: pafs.FileSystem | None, path: str, ignore_missing: bool) -> list[str]:
    """The files a path names: itself, those under it (a directory,
    recursively, sorted) or those a glob matches (sorted), hidden ones
    left out."""
    if listing is None:
        return [path]
    if any(char in path for char in _MAGIC):
        parts = path.replace(os.sep, "/").split("/")
        fixed = []
        for part in parts:
            if any(char in part for char in _MAGIC):
                break
            fixed.append(part)
        base = "/".join(fixed) or "."
        try:
            infos = listing.get_file_info(pafs.FileSelector(base, recursive=True))
        except FileNotFoundError:
            infos = []
        matches = sorted(info.path for info in infos if _listed(info)
                         and fnmatch.fnmatchcase(info.path, path.replace(os.sep, "/")))
        if not matches and not ignore_missing:
            raise FileNotFoundError(f"no files match {path!r}")
        return matches
    info = listing.get_file_info(path)
    if info.type == pafs.FileType.Directory:
        infos = listing.get_file_info(pafs.FileSelector(path, recursive=True))
        return sorted(item.path for item in infos if _listed(item))
    if info.type == pafs.FileType.NotFound:
        if ignore_missing:
            return []
        raise FileNotFoundError(f"no such file or directory: {path!r}")
    return [path]


def _extension_ok(path: str, extensions: list[str] | None) -> bool:
    if extensions is None:
        return True
    name = path.lower()
    return any(name.endswith("." + extension) for extension in extensions)


def file_list(paths: Paths, filesystem: Any = None, file_extensions: Sequence[str] | None = None,
              ignore_missing_paths: bool = False, partitioning: Any = None) -> FileList:
    """The files of ``paths`` (see ``Paths``) in order: each path's files
    in turn, those of a directory or glob sorted; files without one of
    ``file_extensions`` (case aside) are left out, and missing paths raise
    FileNotFoundError unless ``ignore_missing_paths``.  ``partitioning``
    (Ray's ``Partitioning``, e.g. ``Partitioning("hive")``) gives every
    file the values of its ``key=value`` directories."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = [os.fspath(path) for path in paths]
    if not all(isinstance(name, str) for name in names):
        raise TypeError("paths must be str or os.PathLike of str")
    extensions = None if file_extensions is None else [
        extension.lower().lstrip(".") for extension in (
            [file_extensions] if isinstance(file_extensions, str) else file_extensions)]
    system, inner = _resolve(names, filesystem)
    listing = _listing(system)
    files = [file for path in inner for file in _expand(listing, path, ignore_missing_paths)
             if _extension_ok(file, extensions)]
    partitions: list[Mapping[str, Any]] = [{} for _ in files]
    if partitioning is not None:
        from ray.data.datasource.partitioning import PathPartitionParser
        parse = PathPartitionParser(partitioning)
        partitions = [_typed(parse(os.path.abspath(file) if system is None else file),
                             getattr(partitioning, "field_types", None)) for file in files]
    return FileList(system, files, partitions)


def _typed(values: Mapping[str, str], types: Mapping[str, type] | None) -> dict[str, Any]:
    return {key: (types[key](value) if types and key in types else value)
            for key, value in values.items()}


def check_shuffle(shuffle: Any) -> None:
    if shuffle is not None and shuffle != "files" and not hasattr(shuffle, "seed"):
        raise ValueError(f'shuffle must be None, "files" or a FileShuffleConfig, not {shuffle!r}')


def shuffled_order(count: int, shuffle: Any, seed: int, epoch: int) -> list[int]:
    """The order files are read in: as listed, or with ``shuffle="files"``
    (or Ray's ``FileShuffleConfig``, whose ``seed`` then counts) a
    permutation drawn from the seed and the epoch."""
    check_shuffle(shuffle)
    if shuffle is None:
        return list(range(count))
    own = getattr(shuffle, "seed", None)
    entropy = np.random.SeedSequence(seed if own is None else own).entropy
    rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(2, epoch)))
    return [int(i) for i in rng.permutation(count)]
