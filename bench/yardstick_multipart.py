# Yardstick for bench_multipart: python-multipart's streaming parser spooling
# every part's data into a file of its own in OUT_DIR, the body read from
# standard input in 64 KiB blocks.  Usage: yardstick_multipart.py BOUNDARY OUT_DIR
import os
import sys

from multipart.multipart import MultipartParser

boundary, out_dir = sys.argv[1], sys.argv[2]
state = {"n": 0, "f": None}


def on_part_begin():
    state["n"] += 1
    state["f"] = open(os.path.join(out_dir, "part%d" % state["n"]), "wb")


def on_part_data(data, start, end):
    state["f"].write(data[start:end])


def on_part_end():
    state["f"].close()


parser = MultipartParser(boundary, {"on_part_begin": on_part_begin,
                                    "on_part_data": on_part_data,
                                    "on_part_end": on_part_end})
stdin = sys.stdin.buffer
while True:
    block = stdin.read(65536)
    if not block:
        break
    parser.write(block)
parser.finalize()
