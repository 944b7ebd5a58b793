"""A stand-in for the Hugging Face hub on 127.0.0.1, reached through HF_ENDPOINT.

It answers what huggingface_hub asks of a model repository: HEAD and GET of
/{repo}/resolve/{revision}/{path} (with the X-Repo-Commit, ETag/X-Linked-Etag,
X-Linked-Size and Content-Length headers the library needs, and ranges for a
resumed transfer), and /api/models/{repo}[/revision/{rev}] for the repository's
files and sizes.  Errors carry the X-Error-Code the library maps to its
exceptions; a private repository answers only a request with its token.  It can cut GET responses short to break a transfer off.
"""

from __future__ import annotations

import hashlib
import http.server
import json
import re
import threading
from urllib.parse import unquote, urlsplit

_RESOLVE = re.compile(r"^/(?P<repo>[^/]+/[^/]+)/resolve/(?P<rev>[^/]+)/(?P<file>.+)$")
_API = re.compile(r"^/api/models/(?P<repo>[^/]+/[^/]+)(?:/revision/(?P<rev>[^/]+))?$")


class Hub:
    """Repositories of files at one commit each; every request is recorded as (method, path, Range header)."""

    def __init__(self) -> None:
        self.repos: dict[str, tuple[str, dict[str, bytes]]] = {}
        self.tokens: dict[str, str] = {}  # private repositories: the token each one needs
        self.digests: dict[bytes, str] = {}  # SHA-256 of each file held, as the hub's LFS etag
        self.requests: list[tuple[str, str, str | None]] = []
        self.cut = 0  # how many of the next GET responses of a file stop short, the connection closed
        self.cut_at = 0.5  # where: the fraction of the response sent
        self._server: http.server.ThreadingHTTPServer | None = None

    def add(self, repo_id: str, files: dict[str, bytes], commit: str | None = None, token: str | None = None) -> str:
        """Put ``files`` in ``repo_id`` at ``commit`` (by default one made from their contents); the commit.
        With ``token`` the repository is private: without that token it answers as the hub does, not found."""
        if token is not None:
            self.tokens[repo_id] = token
        self.digests.update((data, hashlib.sha256(data).hexdigest()) for data in files.values())
        commit = commit or hashlib.sha1(" ".join(f"{k}:{self.digests[v]}" for k, v in sorted(files.items())).encode()).hexdigest()
        self.repos[repo_id] = (commit, dict(files))
        return commit

    def __enter__(self) -> Hub:
        hub = self

        class Handler(_Handler):
            pass

        Handler.hub = hub
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc: object) -> None:
        assert self._server is not None
        self._server.shutdown()
        self._server.server_close()

    @property
    def endpoint(self) -> str:
        assert self._server is not None
        return f"http://127.0.0.1:{self._server.server_address[1]}"


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    hub: Hub

    def log_message(self, format: str, *args: object) -> None:
        pass

    def do_HEAD(self) -> None:
        self._answer(body=False)

    def do_GET(self) -> None:
        self._answer(body=True)

    def _answer(self, body: bool) -> None:
        path = unquote(urlsplit(self.path).path)
        self.hub.requests.append((self.command, path, self.headers.get("Range")))
        if m := _API.match(path):
            found = self._repo(m["repo"], m["rev"])
            if found:
                commit, files = found
                siblings = [{"rfilename": name, "size": len(data),
                             "lfs": {"size": len(data), "sha256": self.hub.digests[data], "pointerSize": 134}}
                            for name, data in files.items()]
                self._send(200, json.dumps({"id": m["repo"], "sha": commit, "siblings": siblings}).encode(),
                           {"Content-Type": "application/json"}, body)
            return
        m = _RESOLVE.match(path)
        if not m:
            self._error(404, "RepoNotFound", body)
            return
        found = self._repo(m["repo"], m["rev"], body)
        if not found:
            return
        commit, files = found
        if m["file"] not in files:
            self._error(404, "EntryNotFound", body, {"X-Repo-Commit": commit})
            return
        self._file(commit, files[m["file"]], body)

    def _repo(self, repo: str, rev: str | None, body: bool = True) -> tuple[str, dict[str, bytes]] | None:
        if repo not in self.hub.repos:
            self._error(404, "RepoNotFound", body)
            return None
        if repo in self.hub.tokens and self.headers.get("Authorization") != f"Bearer {self.hub.tokens[repo]}":
            self._error(401, "RepoNotFound", body)
            return None
        commit, files = self.hub.repos[repo]
        if rev not in (None, "main", commit):
            self._error(404, "RevisionNotFound", body)
            return None
        return commit, files

    def _file(self, commit: str, data: bytes, body: bool) -> None:
        sha = self.hub.digests[data]
        headers = {"X-Repo-Commit": commit, "ETag": f'"{sha}"', "X-Linked-Etag": f'"{sha}"',
                   "X-Linked-Size": str(len(data)), "Accept-Ranges": "bytes", "Content-Type": "application/octet-stream"}
        start = 0
        wanted = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range") or "")
        if body and wanted and int(wanted[1]) < len(data):
            start = int(wanted[1])
            headers["Content-Range"] = f"bytes {start}-{len(data) - 1}/{len(data)}"
        if body and self.hub.cut > 0:
            self.hub.cut -= 1
            self.send_response(206 if start else 200)
            for key, value in {**headers, "Content-Length": str(len(data) - start)}.items():
                self.send_header(key, value)
            self.end_headers()
            self.wfile.write(data[start:start + int((len(data) - start) * self.hub.cut_at)])
            self.wfile.flush()
            self.close_connection = True  # the rest never comes
            return
        self._send(206 if start else 200, data[start:], headers, body)

    def _error(self, status: int, code: str, body: bool, extra: dict[str, str] | None = None) -> None:
        self._send(status, json.dumps({"error": code}).encode(),
                   {"X-Error-Code": code, "Content-Type": "application/json", **(extra or {})}, body)

    def _send(self, status: int, data: bytes, headers: dict[str, str], body: bool) -> None:
        self.send_response(status)
        for key, value in {**headers, "Content-Length": str(len(data))}.items():
            self.send_header(key, value)
        self.end_headers()
        if body:
            self.wfile.write(data)
