#!/usr/bin/env python3
"""Writes the seed corpus of the chunk and response fuzz targets (fuzz/corpus/chunk and
fuzz/corpus/http_response) from the input layouts described at the top of chunk_fuzz.cpp and
http_response_fuzz.cpp: one seed per framing, read pattern and mutation kind, so that a short
run starts next to every kind of answer. Also writes the reproducers of the findings
(fuzz/findings/chunk and fuzz/findings/http_response, described in fuzz/findings/README.md),
which fuzz/run.sh replays before it fuzzes. Run it again after a change of either layout."""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))

# Mutation kinds, in the order of TMutation in http_response_fuzz.cpp.
KINDS = [
    "te-spelling", "length-repeated", "length-and-chunked", "extra-field", "surplus",
    "coding-list", "length-value", "second-framing-field", "drop-framing-field",
    "folded-framing-field", "blank-before-colon", "bare-lf", "status-line", "chunk-size",
    "chunk-line-ends", "no-last-chunk", "interim-answer", "truncate", "overwrite", "insert",
    "delete",
]

LENGTH, CHUNKED, CLOSE = 0, 1, 2
V11, KEEP_ALIVE, CLOSE_HEADER, SERVER_CLOSES, SERVER_FIELD = 4, 2 << 3, 1 << 3, 32, 64


def final(shape, doc, style=0, sizes=b""):
    out = bytes([shape, len(doc) & 255, (len(doc) >> 8) & 3]) + doc
    if (shape & 3) % 3 == CHUNKED:
        out += bytes([style]) + sizes
    return out


def relocation(shape, doc, status=1, location=0, style=0, sizes=b""):
    out = bytes([shape, status, location, len(doc) % 64]) + doc
    if (shape & 3) % 3 == CHUNKED:
        out += bytes([style]) + sizes
    return out


def case(answers, settings=0, reads=0, mutations=(), cuts=b""):
    out = bytes([settings, reads, len(mutations)])
    for m in mutations:
        out += bytes(m).ljust(6, b"\0")
    return out + b"".join(answers) + cuts


def mutation(kind, *params, answer=0):
    return [KINDS.index(kind), answer] + list(params)


DOC = b"The setup program, 40 bytes of it here.\n"
HTML = b"<html><body>moved</body></html>"
# Extensions, trailers, upper-case digits and leading zeros; chunks of 10, 5 and the rest.
CHUNK_STYLE = 1 | 2 | (2 << 2) | (2 << 4)
CHUNK_SIZES = bytes([9, 4, 0])


def response_seeds():
    seeds = {
        "length-1.0": case([final(LENGTH, DOC)]),
        "length-1.1-keep-alive": case([final(LENGTH | V11 | KEEP_ALIVE, DOC)], settings=1),
        "length-cut-reads": case([final(LENGTH | V11, DOC)], cuts=bytes([3, 17, 1, 40, 2])),
        "chunked": case([final(CHUNKED | SERVER_FIELD, DOC, CHUNK_STYLE, CHUNK_SIZES)], settings=1),
        "chunked-one-byte-reads": case([final(CHUNKED, DOC, CHUNK_STYLE, CHUNK_SIZES)],
                                       settings=1, reads=1 << 1),
        "chunked-eager": case([final(CHUNKED | KEEP_ALIVE, DOC, 0, bytes([3, 0]))], settings=1,
                              reads=1, cuts=bytes([5, 5, 5, 5])),
        "close-delimited": case([final(CLOSE, DOC)]),
        "interim-100": case([final(LENGTH | V11, DOC)], settings=1 | 16),
        "head": case([final(LENGTH | V11 | KEEP_ALIVE, DOC)], settings=1 | 2),
        "relocations-kept-connection": case(
            [relocation(LENGTH | V11 | KEEP_ALIVE, HTML, 1, 0),
             relocation(CHUNKED | KEEP_ALIVE, HTML, 3, 1, 0, bytes([7, 0])),
             final(LENGTH | V11 | KEEP_ALIVE, DOC)], settings=1 | (2 << 2)),
        "relocations-new-connections": case(
            [relocation(LENGTH | SERVER_CLOSES, HTML, 0, 3),
             relocation(CLOSE, HTML, 2, 2),
             final(LENGTH, DOC)], settings=2 << 2),
        # Raw mode: settings, reads, the length in two bytes (more than there is: all of it).
        "raw": bytes([32, 0, 0x0F, 0xFF]) +
        b"HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\nhello world",
    }
    for kind, params in [
        ("te-spelling", (4,)), ("coding-list", (0,)), ("length-and-chunked", (2, 1)),
        ("chunk-size", (1, 5)), ("chunk-line-ends", (0, 2)), ("no-last-chunk", ()),
        ("folded-framing-field", (0,)), ("surplus", (2,)),
    ]:
        seeds["chunked-" + kind] = case(
            [final(CHUNKED | KEEP_ALIVE, DOC, CHUNK_STYLE, CHUNK_SIZES)], settings=1,
            mutations=[mutation(kind, *params)])
    for kind, params in [
        ("length-repeated", (1,)), ("length-value", (6,)), ("second-framing-field", (0,)),
        ("drop-framing-field", ()), ("blank-before-colon", (0,)), ("bare-lf", (0,)),
        ("status-line", (7,)), ("interim-answer", (0,)), ("extra-field", (2, 1)),
        ("truncate", (0, 70)), ("overwrite", (0, 40, ord("9"))), ("insert", (0, 60, 4)),
        ("delete", (0, 30, 3)),
    ]:
        seeds["length-" + kind] = case([final(LENGTH | V11, DOC)],
                                       mutations=[mutation(kind, *params)])
    seeds["relocation-surplus-smuggled"] = case(
        [relocation(LENGTH | V11 | KEEP_ALIVE, HTML, 1, 0), final(LENGTH | V11 | KEEP_ALIVE, DOC)],
        settings=1 | (1 << 2), mutations=[mutation("surplus", 2, answer=0x80)],
        cuts=bytes([119, 0]))
    return seeds


def chunk_seeds():
    return {
        "wiki": b"\x03" + b"4\r\nWiki\r\n1A;n=v\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n",
        "big-size": b"\x05" + b"7fffffff\r\nab",
        "extensions-trailers": b"\x90" + b"5 ; a=\"x;y\"\r\nhello\r\n000;end\r\nX-Sum: 1\r\n\r\n",
        "bare-lf": b"\x01" + b"A\nabcdefghij\n0\n\n",
        "upper-and-zeros": b"\xc1" + b"000A\r\n0123456789\r\n00F\r\n" + b"x" * 15 + b"\r\n0\r\n\r\n",
    }


SMUGGLED = b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nEVIL"
ONE_BYTE_READS, EAGER = 1 << 1, 1


def response_findings():
    def te(kind, *params):
        return case([final(CHUNKED | KEEP_ALIVE, DOC, CHUNK_STYLE, CHUNK_SIZES)], settings=1,
                    mutations=[mutation(kind, *params)])

    def length(*mutations, **kw):
        return case([final(LENGTH | V11, DOC)], mutations=list(mutations), **kw)

    return {
        "coding-gzip-chunked": te("coding-list", 0),
        "coding-blanks-and-tabs": te("te-spelling", 4),
        "coding-folded": te("folded-framing-field", 0),
        "length-list-of-equal-values": length(mutation("length-repeated", 1),
                                              mutation("surplus", 0)),
        "length-conflicting-values": length(mutation("length-value", 6)),
        "length-not-a-number": length(mutation("length-value", 0)),
        "length-past-64-bits": length(mutation("length-value", 8)),
        "length-zero-beside-chunked": te("length-and-chunked", 1),
        "chunk-size-followed-by-junk": te("chunk-size", 1, 5),
        "chunk-data-longer-than-size": te("chunk-line-ends", 0, 2),
        "surplus-after-empty-body-read-as-answer": case(
            [final(LENGTH, b"")], reads=EAGER | ONE_BYTE_READS,
            mutations=[mutation("surplus", 2)]),
        "late-chunk-crlf-read-as-header": case(
            [relocation(CHUNKED | KEEP_ALIVE, HTML, 1, 0, 0, bytes([0])),
             final(LENGTH | V11 | KEEP_ALIVE, DOC)],
            settings=1 | (1 << 2), reads=ONE_BYTE_READS),
        "close-delimited-relocation-connection-reused": case(
            [relocation(CLOSE | V11, SMUGGLED, 0, 0), final(LENGTH | V11, DOC)],
            settings=1 | (1 << 2), cuts=bytes([56, 0])),
        "kept-connection-closed-no-retry": case(
            [relocation(LENGTH | V11 | KEEP_ALIVE | SERVER_CLOSES, HTML, 1, 0),
             final(LENGTH | V11, DOC)], settings=1 | (1 << 2)),
    }


def chunk_findings():
    return {
        "size-followed-by-junk": b"\x00" + b"0x5\r\nhello\r\n0\r\n\r\n",
        "data-longer-than-size": b"\x00" + b"5\r\nhelloXY\r\n0\r\n\r\n",
    }


def write(kind, folder, seeds):
    path = os.path.join(HERE, kind, folder)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("corpus", "http_response", response_seeds())
    write("corpus", "chunk", chunk_seeds())
    write("findings", "http_response", response_findings())
    write("findings", "chunk", chunk_findings())
