"""A `zentrel serve` started for a test on a free loopback port, and plain
HTTP requests to it. ZENTREL_TOOL names the binary."""

from __future__ import annotations

import http.client
import json
import os
import re
import signal
import subprocess
import urllib.parse
from pathlib import Path
from typing import Dict, List, Optional, Tuple

TOOL = os.environ.get("ZENTREL_TOOL", "zentrel")


class Reply:
    def __init__(self, status: int, headers: Dict[str, str], body: bytes) -> None:
        self.status = status
        self.headers = headers
        self.body = body

    def json(self) -> dict:
        return json.loads(self.body)

    def __repr__(self) -> str:
        return f"Reply({self.status}, {self.body[:200]!r})"


class Server:
    """Runs `zentrel serve --root ROOT --port 0 ARGS...` until stop()."""

    def __init__(self, root: Path, *arguments: str, temp: Optional[Path] = None) -> None:
        """`temp`: the folder the server makes its temporary folder in."""
        environment = dict(os.environ)
        if temp is not None:
            environment["TMPDIR"] = str(temp)
        self.process = subprocess.Popen(
            [TOOL, "serve", "--root", str(root), "--port", "0", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
        self.url = ""
        for line in self.process.stdout:
            match = re.search(r"(http://\S+)", line)
            if match:
                self.url = match.group(1)
                break
        if not self.url:
            self.process.wait(10)
            raise RuntimeError(f"serve did not start: {self.process.stderr.read()}")
        parsed = urllib.parse.urlsplit(self.url)
        self.port = parsed.port
        self.token = urllib.parse.parse_qs(parsed.query)["token"][0]

    def stop(self) -> Tuple[int, str]:
        """SIGTERM, as a service manager stops it; its exit status and stderr."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        _, errors = self.process.communicate(timeout=30)
        return self.process.returncode, errors

    def request(self, method: str, path: str, params: Optional[dict] = None,
                body: Optional[bytes] = None, headers: Optional[dict] = None,
                token: Optional[str] = "") -> Reply:
        """`token`: "" for this run's, None for none, or any other text."""
        query = dict(params or {})
        if token is not None:
            query["token"] = token or self.token
        target = path + ("?" + urllib.parse.urlencode(query) if query else "")
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request(method, target, body=body, headers=headers or {})
            response = connection.getresponse()
            return Reply(response.status, {k.lower(): v for k, v in response.getheaders()},
                         response.read())
        finally:
            connection.close()

    def get(self, path: str, **params: str) -> Reply:
        return self.request("GET", path, params)

    def post(self, path: str, body: Optional[bytes] = None, **params: str) -> Reply:
        return self.request("POST", path, params, body=body)

    def worker_ids(self) -> List[int]:
        """The worker processes: the children of the server's child, the keeper."""
        children = _children(self.process.pid)
        return [pid for keeper in children for pid in _children(keeper)]


def _children(parent: int) -> List[int]:
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        # pid (comm) state ppid ...: comm may hold spaces, so split after it.
        if int(stat.rsplit(")", 1)[1].split()[1]) == parent:
            found.append(int(entry))
    return found


def cpu_ticks(pid: int) -> int:
    """User and system time of a process, in clock ticks."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])
