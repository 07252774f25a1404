"""The shared frame block: creating, attaching from another process, closing and removing it."""

import ctypes
import errno
import os
import pickle
import re
import stat
import subprocess
import sys

import pytest

from tavrel import tav_core

_Shm = tav_core._Shm


@pytest.fixture
def block():
    blocks = []

    def make(size=4096, **kwargs):
        b = _Shm(size, create=True, **kwargs)
        blocks.append(b)
        return b

    yield make
    for b in blocks:
        b.close()
        try:
            b.unlink()
        except FileNotFoundError:
            pass


def shm_path(b):
    return os.path.join("/dev/shm", b.name)


def mapped(b):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith("/" + b.name) for line in maps)


def test_created_block_has_a_private_random_name_and_zeroed_bytes(block):
    b = block(4096)
    assert re.fullmatch(r"psm_[0-9a-f]{8}", b.name)
    assert len("/" + b.name) <= _Shm._SHM_SAFE_NAME_LENGTH
    assert stat.S_IMODE(os.stat(shm_path(b)).st_mode) == 0o600
    assert b.size == 4096 and len(b.buf) == 4096 and not b.buf.readonly
    assert isinstance(b.ptr, int) and b.ptr != 0
    assert bytes(b.buf) == bytes(4096)
    assert repr(b) == f"_Shm('{b.name}', size=4096)"
    assert block(4096).name != b.name

    assert _Shm._SHM_NAME_PREFIX == "/psm_"
    assert _Shm._O_CREX == os.O_CREAT | os.O_EXCL
    assert _Shm._flags == os.O_RDWR
    assert _Shm._mode == 384 and _Shm._prepend_leading_slash is True


def test_invalid_arguments_are_refused(block):
    for size in (0, -1):
        with pytest.raises(ValueError, match="'size' must be a positive number different from zero"):
            _Shm(size, create=True)
    with pytest.raises(ValueError, match="'name' can only be None if create=True"):
        _Shm(4096)

    first = block(4096)
    first.buf[:3] = b"abc"
    with pytest.raises(FileExistsError) as info:
        _Shm(4096, name=first.name, create=True)
    assert info.value.errno == errno.EEXIST
    assert first.name in info.value.filename
    assert bytes(first.buf[:3]) == b"abc"  # the live block is unaffected

    with pytest.raises(FileNotFoundError):
        _Shm(4096, name="psm_00000000_absent")


def test_attaching_beyond_the_block_size_is_refused_instead_of_crashing(block):
    b = block(4096)
    with pytest.raises(ValueError, match="larger than the shared memory block"):
        _Shm(8192, name=b.name)


def test_another_process_attaches_by_name_and_shares_the_bytes(block):
    b = block(4096)
    ctypes.memmove(b.ptr, b"written by the creator", 22)
    child = f"""
import sys
from tavrel import tav_core
b = tav_core._Shm(4096, name={b.name!r})
sys.stdout.write(bytes(b.buf[:22]).decode())
b.buf[100:105] = b"reply"
b.close()
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-c", child], env=env, capture_output=True, text=True, timeout=30
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout == "written by the creator"
    assert bytes(b.buf[100:105]) == b"reply"


def test_pickled_block_reattaches_to_the_same_bytes(block):
    b = block(4096)
    b.buf[:4] = b"same"
    copy = pickle.loads(pickle.dumps(b))
    assert (copy.name, copy.size) == (b.name, b.size)
    assert b.__reduce__()[1] == (4096, b.name, False)
    assert bytes(copy.buf[:4]) == b"same"
    copy.close()


def test_close_is_idempotent_and_views_outlive_it_safely(block):
    b = block(4096)
    view = b.buf
    sliced = view[10:20]
    view[10] = 42
    b.close()
    assert b.ptr is None and b.buf is None
    b.close()
    assert repr(b) == f"_Shm('{b.name}', size=4096)"
    # A view still held keeps the mapping: reading it is safe, not a crash.
    assert sliced[0] == 42
    assert mapped(b)
    del view, sliced
    assert not mapped(b)


def test_unlink_removes_the_name_while_attached_blocks_stay_readable(block):
    b = block(4096)
    other = _Shm(4096, name=b.name)
    b.buf[0] = 7
    b.close()
    b.unlink()
    assert not os.path.exists(shm_path(b))
    assert other.buf[0] == 7
    with pytest.raises(FileNotFoundError):
        b.unlink()
    with pytest.raises(FileNotFoundError):
        _Shm(4096, name=b.name)
    other.close()


def test_given_name_with_or_without_leading_slash(block):
    name = "psm_test_" + os.urandom(4).hex()
    b = block(4096, name=name)
    assert b.name == name
    other = _Shm(4096, name="/" + name)
    assert other.name == name
    other.close()
