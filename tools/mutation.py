"""Mutation testing of the C++: how many plausible faults does the suite catch?

Each mutant in tools/mutants.txt is one small change to src/core or
src/bindings. The run copies the repository's tracked files into a private
work directory, builds the extension and the kernel tests once with CMake
there, and then for each mutant applies it, rebuilds incrementally (only the
touched translation unit recompiles), runs the kernel tests (CTest) and then
the test suite against the rebuilt module with a timeout, and restores the
file. A mutant is killed when the suite fails or times out; one
that does not compile is stillborn and not counted. The developer's tree is
never written to.

With --new-tests, those test files run only for mutants the rest of the
suite lets survive, and the score is given without and with them: the
measure of what a set of new tests adds.

Usage: tools/mutation.sh [--only 3,17] [--timeout 300] [--work DIR] [--new-tests FILE,...]
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


@dataclasses.dataclass
class Mutant:
    number: int
    title: str
    path: str
    before: str
    after: str
    equivalent: str | None  # why the change cannot alter behaviour, if it cannot


def parse_mutants(text: str) -> list[Mutant]:
    """Blocks of '## title', '@ path', '-old line'..., '+new line'..., and an
    optional '= equivalent: reason'; '#' lines outside blocks are comments."""
    mutants: list[Mutant] = []
    block: dict | None = None

    def close() -> None:
        if block is not None:
            mutants.append(
                Mutant(
                    len(mutants) + 1,
                    block["title"],
                    block["path"],
                    "\n".join(block["before"]),
                    "\n".join(block["after"]),
                    block["equivalent"],
                )
            )

    for line in text.splitlines():
        if line.startswith("## "):
            close()
            block = {"title": line[3:], "path": "", "before": [], "after": [], "equivalent": None}
        elif block is None or not line or line.startswith("#"):
            continue
        elif line.startswith("@ "):
            block["path"] = line[2:].strip()
        elif line.startswith("-"):
            block["before"].append(line[1:])
        elif line.startswith("+"):
            block["after"].append(line[1:])
        elif line.startswith("= "):
            block["equivalent"] = line[2:].strip().removeprefix("equivalent:").strip()
        else:
            raise SystemExit(f"mutants: cannot read line {line!r}")
    close()
    return mutants


def run(
    command: list[str], cwd: Path, timeout: float | None = None, env=None, log: Path | None = None
) -> int:
    """The command's exit status; -1 when it ran out of time (its group is killed).
    Its output goes to `log`, or nowhere."""
    with open(log or os.devnull, "w") as out:
        process = subprocess.Popen(
            command, cwd=cwd, env=env, stdout=out, stderr=out, start_new_session=True
        )
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return -1
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise


def first_failure(log: Path) -> str:
    """What a failed suite run failed on, from its output: a test's name, or
    how the run ended when no test is named (a crash)."""
    text = log.read_text(errors="replace")
    for line in text.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            return line.split()[1]
        if "***" in line and "Test #" in line:  # CTest's line for a failed test
            return "CTest " + line.split(":", 1)[1].split()[0]
    return "a crash" if "Fatal Python error" in text else "no test named"


# Checks of the mutant list itself: a mutant changes the code the list
# quotes, so these would fail for every mutant, whatever its behaviour.
NOT_BEHAVIOUR = ("test_mutants.py",)
# Test files that take longest run last, so that most mutants die early.
SLOW_TESTS = ("test_model.py", "test_memory_exhaustion.py", "test_main_job.py", "test_soak.py")


# The test files that most often kill a mutant of a source file run first:
# a killed mutant costs only the tests up to the first failure.
FIRST_TESTS = {
    "round": ("test_round.py", "test_engine.py"),
    "snapshot": ("test_snapshot.py", "test_persist.py"),
    "incremental_build": ("test_incremental_build.py", "test_build.py"),
    "dependents": ("test_incremental_build.py", "test_build.py"),
    "cycle_path": ("test_incremental_build.py", "test_build.py"),
    "build": ("test_build.py",),
    "memo": ("test_memo.py",),
    "propagation": ("test_propagation.py",),
    "store": ("test_store.py", "test_incremental_build.py"),
    "cycle_groups": ("test_cycle_groups.py",),
}


def suite_files(tree: Path, mutated: str = "") -> list[str]:
    first = FIRST_TESTS.get(Path(mutated).stem, ())
    files = sorted(
        p.name for p in (tree / "tests").glob("test_*.py") if p.name not in NOT_BEHAVIOUR
    )
    ordered = sorted(files, key=lambda f: (f not in first, f in SLOW_TESTS))
    return [f"tests/{f}" for f in ordered]


def prepare(source: Path, work: Path) -> Path:
    """Brings `work`/src to the tracked files of `source` and returns it. The
    copy builds without link-time optimisation: a mutant's rebuild then
    recompiles one file and relinks in seconds. Only files whose content
    differs are written, and they get the current time: a build left from an
    earlier run then recompiles exactly what changed (copying the source's
    times could leave an object newer than its changed header)."""
    tree = work / "src"
    listed = subprocess.run(
        ["git", "ls-files", "-z"], cwd=source, check=True, capture_output=True
    ).stdout
    names = set(filter(None, listed.decode().split("\0")))
    contents = {name: (source / name).read_bytes() for name in names}
    cmake = "CMakeLists.txt"
    contents[cmake] = contents[cmake].replace(
        b"set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)", b"# no IPO for mutants"
    )
    if tree.exists():
        for path in tree.rglob("*"):
            if path.is_file() and str(path.relative_to(tree)) not in names:
                path.unlink()
    for name, data in contents.items():
        target = tree / name
        if target.is_file() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        shutil.copymode(source / name, target)
    return tree


def build(tree: Path, work: Path) -> bool:
    return run(["cmake", "--build", str(work / "build"), "-j", "2"], tree) == 0


def main() -> int:
    # Stopping the run (Ctrl-C, or a kill while it runs in the background,
    # where SIGINT is ignored) still restores the file and ends the build or
    # test run in progress.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated mutant numbers to run")
    parser.add_argument("--timeout", type=float, default=300, help="seconds per test run")
    parser.add_argument("--work", type=Path, default=Path("/tmp/quorl-mutation"))
    parser.add_argument("--source", type=Path, default=REPO, help="repository to mutate a copy of")
    parser.add_argument("--mutants", type=Path, default=REPO / "tools" / "mutants.txt")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--new-tests", default="", help="comma-separated test files to score apart")
    args = parser.parse_args()

    mutants = parse_mutants(args.mutants.read_text())
    if args.list:
        for m in mutants:
            print(f"{m.number:3} {m.path}: {m.title}" + (" (equivalent)" if m.equivalent else ""))
        return 0
    if args.only:  # in the order given
        by_number = {m.number: m for m in mutants}
        mutants = [by_number[int(n)] for n in args.only.split(",")]

    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    tree = prepare(args.source.resolve(), work)
    for m in mutants:  # every mutant must still find its place before anything runs
        count = (tree / m.path).read_text().count(m.before)
        if count != 1:
            raise SystemExit(f"mutant {m.number} ({m.title}) matches {count} places in {m.path}")

    configure = [
        "cmake",
        "-S",
        str(tree),
        "-B",
        str(work / "build"),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG",  # rebuilds dominate: compile fast
        "-DBUILD_TESTING=ON",  # the kernel tests and the corpus replay run first
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if run(configure, tree) != 0 or not build(tree, work):
        raise SystemExit("the unmutated tree does not build")
    package = work / "pkg" / "quorl"
    if package.exists():
        shutil.rmtree(package)
    shutil.copytree(tree / "python" / "quorl", package)
    version = next(
        line.split('"')[1]
        for line in (tree / "pyproject.toml").read_text().splitlines()
        if line.startswith("version = ")
    )
    (package / "_version.py").write_text(f'__version__ = "{version}"\n')
    # Distribution metadata beside the package, as an install leaves it: the
    # suite reads the version through importlib.metadata, and must find this
    # copy rather than whatever quorl the interpreter has installed.
    metadata = work / "pkg" / f"quorl-{version}.dist-info"
    if metadata.exists():
        shutil.rmtree(metadata)
    metadata.mkdir()
    (metadata / "METADATA").write_text(f"Metadata-Version: 2.1\nName: quorl\nVersion: {version}\n")
    suffix = sysconfig.get_config_var("SHLIB_SUFFIX") or ".so"
    built = next((work / "build").glob(f"_quorl*{suffix}"))
    (package / built.name).symlink_to(built)
    env = dict(os.environ, PYTHONPATH=str(work / "pkg"), PYTHONDONTWRITEBYTECODE="1")
    pytest = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"]
    new_tests = [f"tests/{Path(f).name}" for f in args.new_tests.split(",") if f]
    tests_after = pytest + new_tests
    ctest = ["ctest", "--test-dir", str(work / "build"), "--stop-on-failure"]

    log = work / "last-run.txt"

    def suite(mutated: str = "") -> int:
        # The kernel tests take a second: they run first.
        status = run(ctest, tree, args.timeout, log=log)
        if status != 0:
            return status
        tests = [f for f in suite_files(tree, mutated) if f not in new_tests]
        return run(pytest + tests, tree, args.timeout, env, log)

    start = time.monotonic()
    if suite() != 0:
        raise SystemExit(f"the suite fails on the unmutated tree: {first_failure(log)}")
    print(f"unmutated suite passes ({time.monotonic() - start:.0f} s)", flush=True)

    killed, survived, stillborn, killed_by_new = [], [], [], []
    for m in mutants:
        path = tree / m.path
        original = path.read_text()
        try:
            path.write_text(original.replace(m.before, m.after, 1))
            if not build(tree, work):
                stillborn.append(m)
                outcome = "does not compile"
            else:
                started = time.monotonic()
                status = suite(m.path)
                if status == 0 and new_tests and run(tests_after, tree, args.timeout, env) != 0:
                    killed_by_new.append(m)
                    status = 1
                took = time.monotonic() - started
                if status == 0:
                    survived.append(m)
                    outcome = "SURVIVED"
                else:
                    killed.append(m)
                    outcome = "killed" + (" (timeout)" if status == -1 else "")
                    if m in killed_by_new:
                        outcome += " by the new tests"
                    elif status != -1:
                        outcome += f" by {first_failure(log)}"
                outcome += f" in {took:.0f} s"
        finally:
            path.write_text(original)
            # Older timestamps could keep make from rebuilding the restored file.
            os.utime(path)
        print(f"{m.number:3} {m.path}: {m.title}: {outcome}", flush=True)
    build(tree, work)

    equivalent = [m for m in survived if m.equivalent]
    counted = len(killed) + len(survived) - len(equivalent)
    print()
    print(f"mutants: {len(mutants)}, stillborn {len(stillborn)}, killed {len(killed)}, ", end="")
    print(f"survived {len(survived)} ({len(equivalent)} of them known equivalent)")
    if counted and new_tests:
        before = len(killed) - len(killed_by_new)
        print(f"score without {', '.join(new_tests)}: {before}/{counted} = ", end="")
        print(f"{100 * before / counted:.1f} %")
        for m in killed_by_new:
            print(f"  killed only by the new tests {m.number}: {m.path}: {m.title}")
    if counted:
        print(f"score: {len(killed)}/{counted} = {100 * len(killed) / counted:.1f} %")
    for m in survived:
        note = f" [equivalent: {m.equivalent}]" if m.equivalent else ""
        print(f"  survivor {m.number}: {m.path}: {m.title}{note}")
    for m in stillborn:
        print(f"  stillborn {m.number}: {m.path}: {m.title}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
