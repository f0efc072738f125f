"""Fixtures shared by the vireo test files: the real sample recording and scratch folders."""
import os
import pathlib
import shutil

import pytest

import vireo

REPO = pathlib.Path(__file__).resolve().parents[2]


def shared_data_dir():
    """The folder of the real recording: VIREO_SHARED_DATA_DIR (set by CTest) or ../shared/data."""
    return pathlib.Path(os.environ.get("VIREO_SHARED_DATA_DIR", REPO.parent / "shared" / "data"))


@pytest.fixture
def sample_path(tmp_path):
    """A private copy of the real recording (its index is written beside it)."""
    source = shared_data_dir() / "evt3_sample.raw"
    if not source.is_file():
        pytest.skip(f"the real recording {source} is not there")
    copy = tmp_path / "evt3_sample.raw"
    shutil.copyfile(source, copy)
    return copy


@pytest.fixture
def sample(sample_path):
    """The real recording opened through the reader factory."""
    with vireo.open_reader(str(sample_path)) as reader:
        yield reader


def write_raw(path, body, header="% evt 3.0\n% format EVT3;height=720;width=1280\n% end\n"):
    """A RAW file of the given header text and EVT3 body bytes."""
    path.write_bytes(header.encode() + bytes(body))
    return path
