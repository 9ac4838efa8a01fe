#!/usr/bin/env python3
"""Searches the web for the query given as the single argument and prints the
top results as plain text: title, address and snippet per result. Diagnostics
go to standard error; a failure exits with a non-zero status."""
import html
import re
import sys
import urllib.parse
import urllib.request

ENDPOINT = "https://html.duckduckgo.com/html/"
USER_AGENT = "Mozilla/5.0 (X11; Linux x86_64) VivirovVizivurad/1.0"
MAX_RESULTS = 8


def strip_tags(fragment):
    return html.unescape(re.sub(r"<[^>]+>", "", fragment)).strip()


def real_address(href):
    # Result links go through a redirector that carries the target in "uddg".
    parsed = urllib.parse.urlparse(html.unescape(href))
    target = urllib.parse.parse_qs(parsed.query).get("uddg")
    return target[0] if target else html.unescape(href)


def search(query):
    data = urllib.parse.urlencode({"q": query}).encode()
    request = urllib.request.Request(ENDPOINT, data=data, headers={"User-Agent": USER_AGENT})
    with urllib.request.urlopen(request, timeout=20) as response:
        page = response.read().decode("utf-8", "replace")
    links = re.findall(r'<a[^>]+class="result__a"[^>]+href="([^"]+)"[^>]*>(.*?)</a>', page, re.S)
    snippets = re.findall(r'class="result__snippet"[^>]*>(.*?)</a>', page, re.S)
    results = []
    for index, (href, title) in enumerate(links[:MAX_RESULTS]):
        snippet = strip_tags(snippets[index]) if index < len(snippets) else ""
        results.append(f"{index + 1}. {strip_tags(title)}\n   {real_address(href)}\n   {snippet}")
    return results


def main():
    if len(sys.argv) != 2 or not sys.argv[1].strip():
        print("usage: web_search.py QUERY", file=sys.stderr)
        return 2
    try:
        results = search(sys.argv[1])
    except Exception as error:  # network or parse failure: tell the caller why
        print(f"search failed: {error}", file=sys.stderr)
        return 1
    if not results:
        print(f"no results for: {sys.argv[1]}")
        return 0
    print("\n\n".join(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
