"""mervo from Python and the command's own messages: run and load, --debug, pipes, options."""

import subprocess
import sys

import pytest
from support import PROJECT, mervo

import mervo as mv


def test_run_and_load_from_python(user_modules, tmp_path, monkeypatch):
    user_modules.write("proj", PROJECT)
    monkeypatch.chdir(user_modules.root)
    result = mv.run(["proj"], out=tmp_path / "out", jobs=2)
    assert result.ok and result.jobs["grid[1|a]"].status == "ok"
    assert mv.load(tmp_path / "out", "proj.doubled") == [2, 4, 6]
    assert mv.load(tmp_path / "out", "grid", "2|b") == "2b"
    with pytest.raises(mv.MervoError, match="grid"):
        mv.load(tmp_path / "out", "grid")  # a partitioned asset needs its partition
    user_modules.write("bad", "from mervo import asset\n@asset(inputs={'x': 'nothing'})\ndef f(x):\n    return x\n")
    with pytest.raises(mv.MervoError, match="no asset is named 'nothing'"):
        mv.run(["bad"], out=tmp_path / "out2")


def test_debug_runs_the_asset_in_the_commands_own_process(user_modules):
    user_modules.write("dbg", "import os\nfrom mervo import asset\n@asset()\ndef where():\n    return os.getppid()\n")
    out = user_modules.root / "out"
    proc = subprocess.run([sys.executable, "-m", "mervo", "run", "dbg", "--out", str(out), "--debug"],
                          cwd=user_modules.root, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    # its parent is the command's parent: the job ran inside the command
    import os

    assert mv.load(out, "dbg.where") == os.getpid()


@pytest.mark.parametrize(
    "args, message",
    [
        (["run", "proj", "--jobs", "abc"], "argument --jobs: expected a whole number ≥ 1, got 'abc'"),
        (["run", "proj", "--jobs", "0"], "argument --jobs: expected a whole number ≥ 1, got '0'"),
    ],
)
def test_option_messages_in_the_users_words(user_modules, args, message):
    user_modules.write("proj", PROJECT)
    result = mervo(user_modules.root, *args)
    assert result.returncode == 2 and message in result.stderr


def test_a_closed_pipe_ends_the_command_quietly(user_modules):
    # far more than a pipe holds, so that the reader is gone before the table is written
    user_modules.write("many", "from mervo import asset\n" + "".join(
        f"@asset()\ndef a{i}_{'x' * 80}():\n    return {i}\n" for i in range(1500)))
    listed = subprocess.Popen([sys.executable, "-m", "mervo", "list", "many"], cwd=user_modules.root,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    listed.stdout.readline()
    listed.stdout.close()
    stderr = listed.stderr.read().decode()
    assert listed.wait() == 141 and "Traceback" not in stderr, stderr
