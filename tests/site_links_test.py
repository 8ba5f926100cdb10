#!/usr/bin/env python3
"""site_links_test.py SKELVANE: a generated site three folders deep, run with --relative --links=relative --mark-current
--indent: every href and src leads to a file (urllib resolving the URL a browser reads from the page's URL), and each
navigation marks exactly the link to its page. Links carry references and bytes a browser drops; some file names
begin with such bytes; a folder is reached through a symbolic link; half the pages are named through "..", from a
folder below the root; files named as pages but for letter case are linked, never marked."""
import html, html.parser, os, random, subprocess, sys, tempfile, urllib.parse

class links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.urls, self.marked, self.innav = [], [], False
    def handle_endtag(self, tag):
        self.innav = self.innav and tag != "nav"
    def handle_starttag(self, tag, attributes):
        self.innav = self.innav or tag == "nav"
        attributes = dict(attributes)
        self.urls += [attributes[name] for name in ("href", "src") if attributes.get(name) is not None]
        if tag == "a" and self.innav and attributes.get("aria-current") == "page":
            self.marked.append(attributes.get("href"))

def browser_url(value):
    """The URL a browser reads in a decoded attribute value (tags_html5lib.py's too)."""
    stripped = "".join(chr(c) for c in range(1, 33))
    return "".join(c for c in value.strip(stripped) if c not in "\t\n\r").replace("\\", "/")


def leadsto(site, page, value):
    """The file a link on the page leads to by urllib (a folder: its index page); None on another host."""
    parts = urllib.parse.urlsplit(urllib.parse.urljoin("http://site/" + page, browser_url(value)))
    path = urllib.parse.unquote(parts.path)
    return os.path.join(site, path[1:] + ("index.html" if path.endswith("/") else "")) if parts.netloc == "site" else None


def referenced(rng, url):
    """The URL with some of its bytes after the first written as character references."""
    named = {"/": "&sol;", ".": "&period;", "#": "&num;", ":": "&colon;", "?": "&quest;", "\t": "&Tab;"}
    return url[:1] + "".join(
        c if rng.random() < 0.8 else rng.choice([f"&#{ord(c)};", f"&#x{ord(c):X};", named.get(c, html.escape(c))])
        for c in url[1:])


def disguised(rng, url):
    """The URL with what a browser drops put around and into it."""
    at = rng.randrange(len(url) + 1)
    # (Not a line end inside it: --indent would indent the line after it.)
    url = url[:at] + rng.choice(["", "\t"]) + url[at:]
    url = referenced(rng, url)
    return rng.choice(["", "", " ", "\x01", "\t\n", " \x1f"]) + url + rng.choice(["", "", " ", "\x02", "\r\n"])


def main():
    skelvane = os.path.abspath(sys.argv[1])
    random.seed(20)
    site = tempfile.mkdtemp(prefix="skelvane-site.")
    pages = ["index.html", "about.html"]
    for top in ("news", "blog"):
        pages.append(f"{top}/index.html")
        for middle in ("2025", "2026"):
            pages += [f"{top}/{middle}/index.html", f"{top}/{middle}/x/page{random.randrange(99)}.htm"]
    def write(name, text="x"):
        os.makedirs(os.path.dirname(os.path.join(site, name)), exist_ok=True)
        open(os.path.join(site, name), "w").write(text)
    write("img/logo svg.svg", "<svg/>")
    # Files whose names begin with what a browser strips from a URL's ends.
    odd = [" odd.txt", "\x0c/x.txt", "\x01/y.txt", "a:b.txt", "img/\x1fz.txt"]
    # A folder of pages reached through a link to a folder elsewhere in the site.
    os.makedirs(os.path.join(site, "store", "y"))
    os.symlink(os.path.join("store", "y"), os.path.join(site, "shop"))
    pages.append(f"shop/item{random.randrange(99)}.html")
    def nav_url(page):  # folders by their index page, some by the folder itself
        return "/" + (page[: -len("index.html")] if page.endswith("index.html") and random.random() < 0.7 else page)
    nav = ['<nav><img src="/img/logo%20svg.svg" alt="">']
    nav += [f'  <A HREF={nav_url(page)}?from=nav#top>{page}</A>' if random.random() < 0.5 else
            f'  <a href="{disguised(random, nav_url(page) + "#top")}">{page}</a>' for page in pages]
    nav += [f'  <a href="{disguised(random, "/" + name)}">odd</a>' for name in odd]
    # Another host, however its second '/' is written.
    hosts = ["//example.org/", "/&sol;example.org/", "/&#47;example.org/", "/&#9;/example.org/", "/&bsol;example.org/"]
    nav += [f'  <a href="{host}">out</a>' for host in hosts]
    # Files named as pages but for letter case: on Linux other files, so a
    # link to one leads there and never marks the page.
    twins = []
    for page in random.sample(pages, 4):
        folder, name = os.path.split(page)
        at = random.choice([i for i, c in enumerate(name.split(".")[0]) if c.isalpha()])
        twins.append(os.path.join(folder, name[:at] + name[at].upper() + name[at + 1:]))
    for name in odd + twins:
        write(name)
    nav += [f'  <a href="{disguised(random, "/" + twin)}">twin</a>' for twin in twins]
    nav += ['  <a href="#main">skip</a> <a href="https://example.org/">out</a>', "</nav>"]
    write("parts/nav.inc", "\n".join(nav))
    write("parts/foot.inc", '<footer><a href="/about.html">About</a></footer>')
    for page in pages:
        foot = os.path.relpath(os.path.join(site, "parts", "foot.inc"), os.path.dirname(os.path.join(site, page)))
        write(page,
            '<body>\n  <header>\n    <!--#pattern file="/parts/nav.inc" -->\n    <!--#endpattern -->\n  </header>\n'
            f'  <!--#pattern file="{foot}" -->\n  <!--#endpattern -->\n</body>\n')
    options = ["--relative", "--links=relative", "--mark-current", "--indent"]
    below = [page for page in pages if random.random() < 0.5]
    for folder, up, named in (("", "", [page for page in pages if page not in below]), ("news", "../", below)):
        root = ["--root=.."] if up else []
        subprocess.run([skelvane, *options, *root, "--files-from=-"], cwd=os.path.join(site, folder),
                       input="".join(up + page + "\n" for page in named).encode(), check=True)
    failures = []
    for page in pages:
        parser = links()
        parser.feed(open(os.path.join(site, page)).read())
        if len(parser.urls) != len(pages) + len(odd) + len(hosts) + len(twins) + 4:
            failures.append(f"{page}: {len(parser.urls)} links")
        targets = [leadsto(site, page, url) for url in parser.urls]
        if targets.count(None) != len(hosts) + 1:
            failures.append(f"{page}: links to another host: {parser.urls}")
        for value, target in zip(parser.urls, targets):
            if target and (browser_url(value).startswith("/") or not os.path.isfile(target)):
                failures.append(f"{page}: {value!r} leads nowhere")
        if [leadsto(site, page, url) for url in parser.marked] != [os.path.join(site, page)]:
            failures.append(f"{page}: marked {parser.marked}")
    check = subprocess.run([skelvane, "--check", *options, *pages], cwd=site)
    if check.returncode != 0:
        failures.append(f"a second run would change the pages (--check gave {check.returncode})")
    if failures:
        print("\n".join(failures) + f"\n(site in {site})")
        sys.exit(1)
    subprocess.run(["rm", "-rf", site])

if __name__ == "__main__":
    main()
