"""The crash-safe writer: a crash at any point leaves the old file or the new
one. Crashes are real: a child process is killed with SIGKILL."""

import functools
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from quorl._atomic import atomic_writer, write_atomic

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="needs SIGKILL")


def test_writes_replace_the_file_and_keep_its_permissions(tmp_path):
    path = tmp_path / "state.bin"
    write_atomic(path, b"old")
    os.chmod(path, 0o640)
    write_atomic(str(path), memoryview(b"new"))
    assert path.read_bytes() == b"new"
    assert os.stat(path).st_mode & 0o777 == 0o640
    assert os.listdir(tmp_path) == ["state.bin"]


def test_a_new_file_gets_the_usual_permissions(tmp_path):
    write_atomic(tmp_path / "a", b"")
    with open(tmp_path / "b", "wb"):
        pass
    assert os.stat(tmp_path / "a").st_mode == os.stat(tmp_path / "b").st_mode


def test_a_failing_writer_leaves_the_old_file_and_no_litter(tmp_path):
    path = tmp_path / "state.bin"
    write_atomic(path, b"old")

    def fail_midway():
        with atomic_writer(path) as f:
            f.write(b"half of the new")
            raise KeyError("boom")

    with pytest.raises(KeyError):
        fail_midway()
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["state.bin"]


CHILD = textwrap.dedent(
    """
    import os, signal, sys
    from quorl import _atomic

    path, step = sys.argv[1], sys.argv[2]
    new = b"new" * 100_000

    def die(*args, **kwargs):
        os.kill(os.getpid(), signal.SIGKILL)

    calls = {"fsync": 0}
    real_fsync = os.fsync

    def fsync(fd):
        calls["fsync"] += 1
        if step == f"fsync{calls['fsync']}":
            die()
        real_fsync(fd)

    os.fsync = fsync
    if step in ("replace", "chmod"):
        setattr(os, step, die)
    with _atomic.atomic_writer(path) as f:
        f.write(new[: len(new) // 2])
        if step == "write":
            die()
        f.write(new[len(new) // 2 :])
    die()  # after a complete write
    """
)


@pytest.mark.parametrize(
    ("step", "survivor"),
    [
        ("write", "old"),  # halfway through the data
        ("fsync1", "old"),  # before the data is on disk
        ("chmod", "old"),
        ("replace", "old"),  # before the rename
        ("fsync2", "new"),  # renamed, folder not yet synced
        ("end", "new"),
    ],
)
def test_a_kill_at_each_step_leaves_the_old_or_the_new_file(tmp_path, step, survivor):
    path = tmp_path / "state.bin"
    write_atomic(path, b"old")
    proc = subprocess.run([sys.executable, "-c", CHILD, str(path), step], check=False)
    assert proc.returncode == -signal.SIGKILL
    assert path.read_bytes() == {"old": b"old", "new": b"new" * 100_000}[survivor]


LOOPING_CHILD = textwrap.dedent(
    """
    import hashlib, sys
    from quorl._atomic import write_atomic

    path, version = sys.argv[1], int(sys.argv[2])
    while True:
        version += 1
        body = version.to_bytes(8, "little") * (20_000 + version % 7 * 10_000)
        write_atomic(path, hashlib.sha256(body).digest() + body)
    """
)


def read_version(path) -> int:
    data = path.read_bytes()
    digest, body = data[:32], data[32:]
    assert hashlib.sha256(body).digest() == digest, f"torn file of {len(data)} bytes"
    return int.from_bytes(body[:8], "little")


def test_kills_at_random_moments_never_leave_a_torn_file(tmp_path):
    path = tmp_path / "state.bin"
    body = (0).to_bytes(8, "little") * 10
    write_atomic(path, hashlib.sha256(body).digest() + body)
    rng = random.Random(16)
    version = 0
    for _ in range(6):
        proc = subprocess.Popen([sys.executable, "-c", LOOPING_CHILD, str(path), str(version)])
        # Once the writer is under way (its start-up time varies a lot), kill
        # it at a random moment of its loop.
        deadline = time.monotonic() + 60
        while read_version(path) == version and time.monotonic() < deadline:
            time.sleep(0.005)
        time.sleep(rng.random() * 0.05)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        seen = read_version(path)
        assert seen > version
        version = seen
    assert [n for n in os.listdir(tmp_path) if not n.endswith(".tmp")] == ["state.bin"]


INJECTED_CHILD = textwrap.dedent(
    """
    import json, sys
    from quorl._atomic import write_atomic

    try:
        write_atomic(sys.argv[1], b"new" * 100_000)
    except OSError as exc:
        print(json.dumps([exc.errno, str(exc), type(exc.__cause__).__name__]))
    else:
        print("null")
    """
)


@functools.cache
def strace_works() -> bool:
    """Whether strace is here and may trace (ptrace is often barred in containers)."""
    if shutil.which("strace") is None:
        return False
    probe = ["strace", "-qq", "-o", os.devnull, "-e", "trace=getpid", sys.executable, "-c", ""]
    return subprocess.run(probe, check=False, capture_output=True).returncode == 0


@pytest.mark.parametrize(
    ("fault", "survivor", "message"),
    [
        # The data's write: the first write of the child (-B: no bytecode written).
        ("write:error=ENOSPC:when=1", "old", "No space left"),
        ("fsync:error=EIO:when=1", "old", "Input/output error"),  # the file's own
        # The folder's, after the rename: the new file is there, its rename
        # perhaps not durable, and the caller is told.
        ("fsync:error=EIO:when=2", "new", "in place but may not survive a power cut"),
    ],
)
def test_an_injected_io_error_is_reported_and_leaves_a_whole_file(
    tmp_path, fault, survivor, message
):
    if not strace_works():
        pytest.skip("needs strace and permission to ptrace")
    path = tmp_path / "state.bin"
    write_atomic(path, b"old")
    syscall = fault.split(":")[0]
    command = ["strace", "-f", "-qq", "-o", os.devnull, "-e", f"trace={syscall}"]
    command += ["-e", f"inject={fault}", sys.executable, "-B", "-c", INJECTED_CHILD, str(path)]
    proc = subprocess.run(command, check=True, capture_output=True, text=True)
    errno_, text, cause = json.loads(proc.stdout)
    expected_errno = 28 if "ENOSPC" in fault else 5
    assert errno_ == expected_errno and message in text
    assert path.read_bytes() == {"old": b"old", "new": b"new" * 100_000}[survivor]
    assert os.listdir(tmp_path) == ["state.bin"]  # no temporary file left
    if survivor == "new":
        assert cause == "OSError"  # the sync's own error, chained
