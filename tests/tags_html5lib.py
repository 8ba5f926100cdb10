#!/usr/bin/env python3
"""tags_html5lib.py TAGDUMP DIRECTORY SEEDS [COUNT]: the tag scanner against html5lib's tokenizer (driven by its tree
builder, so raw text begins where a browser's would) over DIRECTORY's .html and .inc files, the fuzz seeds' patterns
and COUNT (4000) generated snippets. For each <a> and each start tag with a URL attribute, both agree on where it
ends, its aria-current and its URL values (with the named references that give ASCII, as skelvane). Marking every
link adds aria-current="page" to each <a> with an href and none, and changes nothing else. Rebasing for a page at the
top and one folder down leaves each URL and srcset candidate (read as a browser does) leading where it led, by
urllib, or as written. Exits 77 without html5lib."""
import itertools
import os
import pathlib
import random
import subprocess
import sys
import types
from urllib.parse import urljoin

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from site_links_test import browser_url  # noqa: E402

try:
    from html5lib import HTMLParser, _tokenizer, constants, html5parser
except ImportError:
    # Debian's package is for Debian's interpreter, which may not be first on PATH.
    if os.path.exists("/usr/bin/python3") and not os.environ.get("TAGS_HTML5LIB_REEXEC"):
        os.environ["TAGS_HTML5LIB_REEXEC"] = "1"
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    print("SKIPPED: no html5lib for python3 (Debian: python3-html5lib)")
    sys.exit(77)

TAGDUMP = sys.argv[1]
URLNAMES = set(subprocess.run([TAGDUMP, "names"], stdout=subprocess.PIPE, check=True, text=True).stdout.split())
found = []


class Recorder(_tokenizer.HTMLTokenizer):
    """Each start tag as the tokenizer hands it over, with where it ends."""

    def __iter__(self):
        for token in super().__iter__():
            if token["type"] == constants.tokenTypes["StartTag"]:
                found.append((self.stream.position(), token["name"], dict(token["data"])))
            yield token


html5parser._tokenizer = types.SimpleNamespace(HTMLTokenizer=Recorder)


def kept(anchor, current, values):
    values = {name: value for name, value in values.items() if value}  # no value and "" look alike here
    return (anchor, current, values) if anchor or values else None


def linecolumn(data, end):
    before = data[:end].decode()
    return (before.count("\n") + 1, len(before) - before.rfind("\n") - 1)


ASCII_ENTITIES = _tokenizer.Trie({name: text for name, text in constants.entities.items() if text.isascii()})
ALL_ENTITIES = _tokenizer.entitiesTrie


def parse(data, entities=ALL_ENTITIES):
    found.clear()
    _tokenizer.entitiesTrie = entities
    HTMLParser().parse(data.decode())
    _tokenizer.entitiesTrie = ALL_ENTITIES
    return found


def starttags(data):
    return [(name, attributes) for _, name, attributes in parse(data)]


def marked(tags):
    """The start tags once every link to the page is marked."""
    return [(name, {**attributes, "aria-current": "page"}
             if name == "a" and attributes.get("href") and "aria-current" not in attributes else attributes)
            for name, attributes in tags]


def theirs(data):
    tags = [(end, kept(name == "a", "aria-current" in attributes,
                       {n: v for n, v in attributes.items() if n in URLNAMES}))
            for end, name, attributes in parse(data, ASCII_ENTITIES)]
    return [tag for tag in tags if tag[1]]


def ours(data, lines):
    tags = []
    for line in lines:
        word = line.split()
        begin, end, closeat, anchor, current = map(int, word[1:6])
        values = {word[i]: bytes.fromhex(word[i + 3][1:]).decode() for i in range(6, len(word), 4)}
        assert data[begin:begin + 1] == b"<" and data[end - 1:end] == b">" and data[closeat:end] in (b">", b"/>")
        tags.append((linecolumn(data, end), kept(anchor == 1, current == 1, values)))
    return [tag for tag in tags if tag[1]]


def candidates(value):
    """A srcset list's candidates, each its URL and descriptors, split as the
    HTML standard parses the attribute."""
    found, at, blanks = [], 0, " \t\n\f\r"
    while True:
        while at < len(value) and value[at] in blanks + ",":
            at += 1
        if at == len(value):
            return found
        start = at
        while at < len(value) and value[at] not in blanks:
            at += 1
        url, descriptors, current, parens = value[start:at].rstrip(","), [], "", False
        ended = url != value[start:at]  # by trailing commas
        while at < len(value) and not ended:
            c, at = value[at], at + 1
            if parens or c not in blanks + ",":
                current, parens = current + c, c == "(" or (parens and c != ")")
            elif current:
                descriptors, current = descriptors + [current], ""
            if c == "," and not parens:
                break
        found.append((url, descriptors + [current] if current else descriptors))


def rebased(data, edited, depth):
    """Whether each URL of the edited text, srcset candidates too, leads
    where the text's led from the site's top (urllib resolving them as a
    browser would); the first that does not, else None."""
    base = "http://site/s/" + "d/" * depth + "p.html"
    before, after = starttags(data), starttags(edited)
    if [name for name, _ in before] != [name for name, _ in after]:
        return "the tags differ"
    for (name, old), (_, new) in zip(before, after):
        if [*old] != [*new]:
            return f"<{name}>: the attributes differ: {old} became {new}"
        for attribute in URLNAMES & old.keys():
            was, now = old[attribute], new[attribute]
            split = candidates if attribute in ("srcset", "imagesrcset") else lambda value: [(value, [])]
            if [d for _, d in split(was)] != [d for _, d in split(now)]:
                return f"<{name} {attribute}={was!r}> became {now!r}: other candidates"
            for (written, _), (edit, _) in zip(split(was), split(now)):
                url = browser_url(written)
                meant = urljoin("http://site/", "./s" + url)  # relative too: urljoin drops empty names in those
                rootabsolute = url.startswith("/") and not url.startswith("//")
                if edit != written and not (rootabsolute and urljoin(base, browser_url(edit)) == meant):
                    return f"<{name} {attribute}={was!r}> became {now!r}: {edit!r} does not lead to {meant}"
    return None


# References that change a URL's form, and ones that look like them but are
# not, or not in an attribute value.
REFERENCES = ["&sol;", "&#47;", "&#x2f;", "&bsol;", "&#92;", "&#9;", "&#10;", "&#13;", "&Tab;", "&NewLine;",
              "&#63;", "&quest;", "&#35;", "&num;", "&#x20;", "&#32", "&#58;", "&colon;", ":", "?", "#", "\x01",
              "&amp", "&ampx", "&amp=", "&lt", "&ltimes;", "&notin;", "&not", "&eacute;", "&fjlig;", "&sol",
              "&#0;", "&#128;", "&#x81;", "&#x110000;", "&#xD800;", "&#", "&#x", "&#x;", "&#99999999999;",
              "&#x2F", "&#44;", "&comma;", "&period;&period;"]


def attribute(rng):
    name = rng.choice([*sorted(URLNAMES), "aria-current", "title", "class", "alt", "hrefx", "data-src", "=src", "x"])
    name = "".join(c.upper() if rng.random() < 0.2 else c for c in name)
    if rng.random() < 0.15:
        return name
    value = "".join(rng.choice(["/x", "a.png", " 1x,", " ", "b 2w", "&amp;", "&lt;", "&#47;", "&#x2F;", "& ",
                                "<", ">", "=", "'", '"', "`", "/", "?q=1", "é", *REFERENCES])
                    for _ in range(rng.randint(0, 4)))
    if rng.random() < 0.3:
        value = rng.choice(["/", "/", "\x01/", "&#32;/", "&sol;", " /"]) + value
    quote = rng.choice(['"', "'", ""])
    if not quote:
        value = value.replace(" ", "").replace(">", "")
    return name + rng.choice(["", " ", "\n", "\t "]) + "=" + rng.choice(["", " ", "\n"]) + quote + value + quote


def tag(rng, names=("a", "A", "img", "link", "area", "form", "button", "video", "q", "blockquote", "input",
                    "iframe", "p", "object", "source", "td", "table")):
    attributes = "".join(rng.choice([" ", "\n", "\f", "", "/", " / "]) + attribute(rng)
                         for _ in range(rng.randint(0, 4)))
    return "<" + rng.choice(names) + (" " if attributes and rng.random() < 0.8 else "") + attributes.lstrip() \
        + rng.choice([">", ">", "/>", " >", " />", " class=>", " x = >", " title=\n/>", "=>", " href=>"])


def fragment(rng, depth=0):
    inner = (lambda: fragment(rng, depth + 1)) if depth < 2 else (lambda: tag(rng))
    kind = rng.randrange(14)
    if kind < 4:
        return tag(rng)
    if kind == 4:
        return rng.choice(["text ", "<", ">", "=", '"', "'", "</", "<3", "&amp;", "\n", "<!", "-->", "--!>"])
    if kind == 5:
        return "<!--" + rng.choice(["", "-", " ", "-x"]) + inner() + rng.choice(["-->", "--!>", "->", "-- >", "--->"])
    if kind == 6:
        opening = rng.choice(["<!-->", "<!--->", "<!---->", "<?php ", "<!x ", "<![CDATA[", "</ x ", "</3 "])
        return opening + inner() + ">"
    if kind == 7:
        return rng.choice(["<!DOCTYPE html>", "<!doctype html PUBLIC \"a>", "<!DocType x SYSTEM '"]) + inner()
    if kind == 8:
        return "</" + rng.choice(["a", "p", "img"]) + " " + attribute(rng) + ">"
    if kind in (9, 10):  # script, with the escapes that move where its end tag counts
        body = "".join(rng.choice(["<!--", "-->", "<script>", "<SCRIPT ", "</script", "</scripts>", "--", "<",
                                   "</", "x", inner()]) for _ in range(rng.randint(0, 6)))
        ending = rng.choice(["</script>", "</SCRIPT\n>", ""])
        return "<script" + rng.choice(["", " src=/s.js", "/"]) + ">" + body + ending
    if kind in (11, 12):
        name = rng.choice(["style", "textarea", "title", "xmp", "iframe", "noembed", "noframes", "TITLE"])
        other = rng.choice(["style", "textarea", "title", "xmp", "iframe"])
        body = "".join(rng.choice([inner(), "</" + other + ">", "</" + name + "x>", "<", "</", "x"])
                       for _ in range(rng.randint(0, 4)))
        return "<" + name + ">" + body + "</" + name.lower() + rng.choice([">", " >", "/>", " x='>'>", ""])
    if rng.random() < 0.05:
        return rng.choice(["<plaintext>", "<p>", "</p>", "<br/>", "<a>"])
    return "<b>" + inner() + "</b>"


def inputs(directory, seeds, count):
    for path in sorted(pathlib.Path(directory).rglob("*")):
        if path.suffix in (".html", ".inc"):
            yield str(path), path.read_bytes()
    for path in sorted(pathlib.Path(seeds).iterdir()):  # the fuzz seeds' pattern texts
        for number, text in enumerate(path.read_bytes()[1:].split(b"\n=====\n")[1:3]):
            yield f"{path} pattern {number}", text
    seed = 20260917
    rng = random.Random(seed)
    for number in range(count):
        snippet = "".join(fragment(rng) for _ in range(rng.randint(1, 12)))
        if rng.random() < 0.1:
            snippet = snippet[:rng.randrange(len(snippet) + 1)]
        yield f"seed {seed}, snippet {number}", snippet.encode()


def difference(ours, theirs):
    return next((i, a, b) for i, (a, b) in enumerate(itertools.zip_longest(ours, theirs)) if a != b)


def main():
    directory, seeds = sys.argv[2:4]
    texts = list(inputs(directory, seeds, int(sys.argv[4]) if len(sys.argv) > 4 else 4000))
    request = b"".join(b"%d\n%s" % (len(data), data) for _, data in texts)
    answer = subprocess.run([TAGDUMP], input=request, stdout=subprocess.PIPE, check=True).stdout
    blocks, block = [], []
    for line in answer.decode().splitlines():  # tag lines, then the marked, top and down texts
        block.append(line if line.startswith("tag ") else bytes.fromhex(line.split()[1][1:]))
        if line.startswith("down "):
            blocks.append((block[:-3], block[-3:]))
            block = []
    assert len(blocks) == len(texts), "tagdump answered for %d of %d texts" % (len(blocks), len(texts))
    for (name, data), (block, (edited, top, down)) in zip(texts, blocks):
        for depth, linked in ((0, top), (1, down)):
            problem = rebased(data, linked, depth)
            if problem:
                print(f"{name}: --links=relative {depth} folders down: {problem}\n  in {data!r}\n  became {linked!r}")
                return 1
        expected, got = marked(starttags(data)), starttags(edited)
        if got != expected:
            print(f"{name}: marking changes a tag's meaning: {data!r}\n  became {edited!r}\n"
                  "  tag %d: html5lib reads %s\n    it should read: %s" % difference(got, expected))
            return 1
        try:
            scanner = ours(data, block)
        except AssertionError:
            scanner = ["a tag that is not one:", *block]
        reference = theirs(data)
        if scanner != reference:
            print(f"{name} differs: {data!r}\n  tag %d, (line, column after '>'), (anchor, aria-current, values):\n"
                  "    scanner:  %s\n    html5lib: %s" % difference(scanner, reference))
            return 1
    print(f"{len(texts)} texts: the scanner and html5lib agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
