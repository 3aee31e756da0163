#!/usr/bin/env python3
"""Checks a live release host the way the setup program uses it.

    make_release.py check --base https://releases.example.com [--cacert CA.pem] [--skip-models]
                          [--release-key PUB.pem]

Fetches <base>/dist/latest.json, the payload its "url" names and the five models under
<base>/models/auraface/ with the setup program's user agent, over HTTPS with the system's trust
(or only the CA certificates of --cacert, for a private CA). It reads the manifest with the setup
program's own rules, checks the payload's SHA-256 digest against it and looks into the zip: its
only top-level folder must be TavrinStudio, holding version.txt with the manifest's version and
TavrinAI.exe or run_tavrin.bat. Each model whose digest the manifest carries ("digest:<model>")
is checked against it. With --release-key (the public key the setup program is built with) it
also fetches latest.json.sig and verifies it, every model must have its digest, and the manifest's
"expires" must lie ahead: it warns when less than 7 days are left and fails when it is past.

Prints one line per item, "OK", "WARN", "FAIL" or "SKIP", and a last line with the counts. On a
terminal, long downloads show their progress on stderr. The exit status is 0 when nothing failed;
otherwise the sum of the failed items' values:
     1  model digests   at least one model not the manifest's digest (or, with --release-key,
                        a model without one)
     4  manifest        missing, unreadable, or not usable by the setup program
     8  payload         not downloadable, or cut short
    16  payload digest  not the manifest's sha256
    32  app folder      the zip's layout is not what the setup program installs
    64  models          at least one model missing or cut short
   128  signature       latest.json.sig missing, malformed or not made by the release key
(2 is a usage error.)
"""

import argparse
import datetime
import hashlib
import http.client
import os
import re
import subprocess
import socket
import ssl
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
import zipfile

from layout import (APP_FOLDER_NAME, APP_PROGRAM_NAME, APP_SCRIPT_NAME, MANIFEST_URL_PATH, MODEL_NAMES,
                    MODEL_URL_PATH, USER_AGENT, VERSION_FILE_NAME)
from manifest_rules import (SIGNATURE_SIZE, SIGNATURE_SUFFIX, installed_version_of, read_expires, read_manifest,
                            read_model_digest, signature_to_der)

MANIFEST_PATH = "/" + MANIFEST_URL_PATH
MODEL_PATH = "/" + MODEL_URL_PATH
READ_CHUNK = 256 * 1024
TIMEOUT_SECONDS = 30          # the platform client's receive time-out
PROGRESS_INTERVAL = 0.2
EXPIRY_WARNING_DAYS = 7       # a signed manifest closer than this to its expiry is signed again soon

MANIFEST, PAYLOAD, DIGEST, APP_FOLDER, MODELS, SIGNATURE, MODEL_DIGESTS = 4, 8, 16, 32, 64, 128, 1


class Report:
    """The lines of the check, and the exit status they add up to."""

    def __init__(self, out=sys.stdout):
        self.out = out
        self.failed = 0
        self.counts = {"OK": 0, "WARN": 0, "FAIL": 0, "SKIP": 0}

    def line(self, verdict, item, text, bit=0):
        self.counts[verdict] += 1
        if verdict == "FAIL":
            self.failed |= bit
        self.out.write(f"{verdict:<4}  {item:<26} {text}\n")
        self.out.flush()

    def close(self):
        items = sum(self.counts.values())
        if self.counts["FAIL"]:
            self.out.write(f"check: {self.counts['FAIL']} of {items} items failed\n")
        else:
            counted = [f"{self.counts[v]} {word}" for v, word in (("OK", "ok"), ("WARN", "warned"), ("SKIP", "skipped"))
                       if self.counts[v]]
            self.out.write(f"check: passed ({', '.join(counted)})\n")
        return self.failed


class Progress:
    """A self-rewriting line on stderr while a download runs, only when stderr is a terminal."""

    def __init__(self, label, stream=sys.stderr):
        self.label = label
        self.stream = stream
        self.shown = stream.isatty()
        self.last = 0.0

    def update(self, received, expected):
        now = time.monotonic()
        if not self.shown or now - self.last < PROGRESS_INTERVAL:
            return
        self.last = now
        if expected:
            text = f"{self.label}  {received / 1048576:.1f} / {expected / 1048576:.1f} MB " \
                   f"({received * 100 // expected}%)"
        else:
            text = f"{self.label}  {received / 1048576:.1f} MB"
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()

    def done(self):
        if self.shown and self.last:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


class FetchError(Exception):
    pass


class NoDowngradeRedirects(urllib.request.HTTPRedirectHandler):
    """Follows redirects as the platform's HTTP client does by default: never from HTTPS to HTTP."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        if req.full_url.lower().startswith("https:") and newurl.lower().startswith("http:"):
            raise FetchError(f"the server redirects from HTTPS to {newurl}, which the setup program does not follow")
        return super().redirect_request(req, fp, code, msg, headers, newurl)


def content_length(text):
    """The Content-Length as the setup program reads it: leading white space skipped, digits up to
    the first other character, saturated at 64 bits; 0 when absent or without digits."""
    if text is None:
        return 0
    digits = re.match(r"\s*(\d*)", text).group(1)
    return min(int(digits), (1 << 64) - 1) if digits else 0


def fetch(opener, url, sink, label):
    """GETs url and hands the body to sink(bytes) chunk by chunk. Returns the byte count; raises
    FetchError with the reason the setup program would fail for."""
    request = urllib.request.Request(url, headers={"User-Agent": USER_AGENT})
    try:
        response = opener.open(request, timeout=TIMEOUT_SECONDS)
    except urllib.error.HTTPError as error:
        raise FetchError(f"the server answered {error.code}") from None
    except urllib.error.URLError as error:
        reason = error.reason
        if isinstance(reason, ssl.SSLCertVerificationError):
            raise FetchError(f"the server's certificate is not trusted ({reason.verify_message})") from None
        raise FetchError(f"cannot connect ({reason})") from None
    except (OSError, http.client.HTTPException) as error:
        raise FetchError(f"cannot connect ({error})") from None
    with response:
        if response.status != 200:
            raise FetchError(f"the server answered {response.status}")
        expected = content_length(response.headers.get("Content-Length"))
        received = 0
        progress = Progress(label)
        try:
            while True:
                chunk = response.read1(READ_CHUNK)
                if not chunk:
                    break
                sink(chunk)
                received += len(chunk)
                progress.update(received, expected)
        except socket.timeout:
            raise FetchError(f"the server sent nothing for {TIMEOUT_SECONDS} s after {received} bytes") from None
        except (OSError, http.client.HTTPException):
            raise FetchError(f"the transfer broke off after {received} bytes"
                             + (f" of {expected}" if expected else "")) from None
        finally:
            progress.done()
    if expected and received != expected:
        raise FetchError(f"the transfer broke off after {received} of {expected} bytes")
    return received


def layout_problems(archive, version):
    """(what keeps the zip from installing as the app folder of version, empty when nothing;
    the program it starts, TavrinAI.exe or run_tavrin.bat). Names compare as Windows compares
    file names, without regard to letter case."""
    problems = []
    tops = set()
    inside = {}
    for info in archive.infolist():
        name = info.filename.replace("\\", "/")
        parts = name.split("/")
        if name.startswith("/") or ".." in parts or re.match(r"^[A-Za-z]:", name):
            problems.append(f"{name} would land outside the install folder")
        tops.add(parts[0])
        if len(parts) > 1 and parts[0].casefold() == APP_FOLDER_NAME.casefold():
            inside["/".join(parts[1:]).casefold()] = info
    others = sorted(top for top in tops if top.casefold() != APP_FOLDER_NAME.casefold())
    if others:
        problems.append(f"the top level holds {', '.join(others)} besides {APP_FOLDER_NAME}")
    if len(tops) == len(others):
        problems.append(f"there is no {APP_FOLDER_NAME} folder")
    if VERSION_FILE_NAME.casefold() not in inside:
        problems.append(f"there is no {APP_FOLDER_NAME}/{VERSION_FILE_NAME}")
    else:
        data = archive.read(inside[VERSION_FILE_NAME.casefold()])
        found = installed_version_of(data)
        if data.startswith(b"\xef\xbb\xbf"):
            problems.append(f"{VERSION_FILE_NAME} starts with a byte-order mark, so it never matches")
        elif found != version:
            problems.append(f"{VERSION_FILE_NAME} says {found!r}, the manifest {version!r}")
    program = next((name for name in (APP_PROGRAM_NAME, APP_SCRIPT_NAME) if name.casefold() in inside), None)
    if not program:
        problems.append(f"{APP_FOLDER_NAME} holds neither {APP_PROGRAM_NAME} nor {APP_SCRIPT_NAME}")
    return problems, program


def check_payload(report, opener, url, version, sha256):
    with tempfile.TemporaryFile(prefix="tavrin-check-") as payload:
        digest = hashlib.sha256()

        def keep(chunk):
            digest.update(chunk)
            payload.write(chunk)

        try:
            size = fetch(opener, url, keep, "payload")
        except FetchError as error:
            report.line("FAIL", "payload", f"{url}: {error}", PAYLOAD)
            report.line("SKIP", "payload digest", "no payload")
            report.line("SKIP", "app folder", "no payload")
            return
        report.line("OK", "payload", f"{url}: {size} bytes")
        actual = digest.hexdigest()
        if sha256 is None:
            report.line("WARN", "payload digest", f"{actual}: the manifest names no sha256, "
                        "so the setup program installs the payload unverified")
        elif actual == sha256.lower():
            report.line("OK", "payload digest", f"{actual} as the manifest says")
        else:
            report.line("FAIL", "payload digest", f"{actual}, the manifest says {sha256}", DIGEST)
        payload.seek(0)
        try:
            with zipfile.ZipFile(payload) as archive:
                problems, program = layout_problems(archive, version)
                last = archive.infolist()[-1].filename.replace("\\", "/") if archive.infolist() else ""
        except (zipfile.BadZipFile, OSError, EOFError) as error:
            report.line("FAIL", "app folder", f"the payload is not a readable zip archive ({error})", APP_FOLDER)
            return
        if problems:
            report.line("FAIL", "app folder", "; ".join(problems), APP_FOLDER)
        else:
            report.line("OK", "app folder", f"{APP_FOLDER_NAME}/ with {VERSION_FILE_NAME} {version} and {program}")
            if last.casefold() != f"{APP_FOLDER_NAME}/{VERSION_FILE_NAME}".casefold():
                report.line("WARN", "version file order",
                            f"{VERSION_FILE_NAME} is not the payload's last entry ({last} is): an extraction cut "
                            "short can leave an app folder that claims this version")


def verify_signature(manifest, signature, release_key):
    """Why signature is not release_key's ECDSA P-256 / SHA-256 signature of manifest, or None."""
    if len(signature) != SIGNATURE_SIZE:
        return f"{len(signature)} bytes, not the {SIGNATURE_SIZE} bytes r||s the setup program reads"
    with tempfile.TemporaryDirectory(prefix="tavrin-check-") as scratch:
        data_path = os.path.join(scratch, "manifest")
        der_path = os.path.join(scratch, "signature.der")
        with open(data_path, "wb") as f:
            f.write(manifest)
        with open(der_path, "wb") as f:
            f.write(signature_to_der(signature))
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", release_key, "-signature", der_path,
                                 data_path], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        return "does not verify with the release key, so a setup program built with it refuses the release"
    return None


def check_signature(report, opener, manifest_url, manifest, release_key):
    url = manifest_url + SIGNATURE_SUFFIX
    signature = bytearray()
    try:
        fetch(opener, url, signature.extend, "signature")
    except FetchError as error:
        report.line("FAIL", "signature", f"{url}: {error}", SIGNATURE)
        return
    problem = verify_signature(manifest, bytes(signature), release_key)
    if problem:
        report.line("FAIL", "signature", f"{url}: {problem}", SIGNATURE)
    else:
        report.line("OK", "signature", f"{url}: made by {os.path.basename(release_key)}")


def check_expiry(report, manifest, now=None):
    """A key-built setup program refuses a manifest past its expiry, or without one."""
    expires = read_expires(manifest)
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if expires is None:
        report.line("FAIL", "expiry", "the signed manifest has no readable \"expires\": a setup program built "
                    "with the release key refuses it", MANIFEST)
    elif expires <= now:
        report.line("FAIL", "expiry", f"the manifest expired at {expires:%Y-%m-%d %H:%M} UTC: sign it again", MANIFEST)
    elif expires - now < datetime.timedelta(days=EXPIRY_WARNING_DAYS):
        report.line("WARN", "expiry", f"the manifest expires at {expires:%Y-%m-%d %H:%M} UTC, in less than "
                    f"{EXPIRY_WARNING_DAYS} days: sign it again soon")
    else:
        report.line("OK", "expiry", f"the manifest expires at {expires:%Y-%m-%d %H:%M} UTC")


def check_models(report, opener, base, manifest, release_key):
    for name in MODEL_NAMES:
        url = base + MODEL_PATH + name
        digest = hashlib.sha256()
        try:
            size = fetch(opener, url, digest.update, name)
        except FetchError as error:
            report.line("FAIL", f"model {name}", f"{url}: {error}", MODELS)
            continue
        report.line("OK", f"model {name}", f"{size} bytes")
        check_model_digest(report, name, digest.hexdigest(), manifest, release_key)


def check_model_digest(report, name, actual, manifest, release_key):
    item = f"model digest {name}"
    try:
        expected = read_model_digest(manifest, name) if manifest is not None else None
    except ValueError as error:
        report.line("FAIL", item, f"the manifest's digest is unusable: {error}", MODEL_DIGESTS)
        return
    if expected is None:
        if release_key:
            report.line("FAIL", item, "the manifest carries no digest, so a setup program built with the key "
                        "does not install it", MODEL_DIGESTS)
        return
    if actual == expected.lower():
        report.line("OK", item, f"{actual} as the manifest says")
    else:
        report.line("FAIL", item, f"{actual}, the manifest says {expected}", MODEL_DIGESTS)


def check(base, cacert=None, skip_models=False, out=sys.stdout, release_key=None):
    """Checks the release host at base; returns the exit status."""
    base = base.rstrip("/")
    context = ssl.create_default_context(cafile=cacert)
    opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context), NoDowngradeRedirects())
    report = Report(out)
    manifest_url = base + MANIFEST_PATH
    data = bytearray()
    manifest = None
    try:
        fetch(opener, manifest_url, data.extend, "manifest")
        url, version, sha256 = read_manifest(bytes(data))
    except FetchError as error:
        report.line("FAIL", "manifest", f"{manifest_url}: {error}", MANIFEST)
    except ValueError as error:
        report.line("FAIL", "manifest", f"{manifest_url}: the setup program cannot use it: {error}", MANIFEST)
    else:
        manifest = bytes(data)
        report.line("OK", "manifest", f"{manifest_url}: version {version}, payload {url}")
        if release_key:
            check_signature(report, opener, manifest_url, manifest, release_key)
            check_expiry(report, manifest)
            if sha256 is None:
                report.line("FAIL", "manifest", "a signed manifest must carry the payload's sha256", MANIFEST)
        check_payload(report, opener, url, version, sha256)
    if manifest is None:
        for item in ("signature",) * bool(release_key) + ("payload", "payload digest", "app folder"):
            report.line("SKIP", item, "no usable manifest")
    if skip_models:
        report.line("SKIP", "models", "--skip-models")
    else:
        check_models(report, opener, base, manifest, release_key)
    return report.close()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="make_release.py check",
                                     description="Check a live release host the way the setup program uses it.")
    parser.add_argument("--base", required=True, help="base URL of the release host, e.g. https://releases.example.com")
    parser.add_argument("--cacert", help="trust only the CA certificates in this PEM file (a private CA)")
    parser.add_argument("--skip-models", action="store_true", help="do not fetch the five models")
    parser.add_argument("--release-key", help="verify latest.json.sig with this ECDSA P-256 public key (PEM)")
    args = parser.parse_args(argv)
    if not args.base.lower().startswith(("https://", "http://")):
        parser.error("--base must be an http:// or https:// URL")
    if args.cacert and not os.path.isfile(args.cacert):
        parser.error(f"--cacert {args.cacert} does not exist")
    if args.release_key and not os.path.isfile(args.release_key):
        parser.error(f"--release-key {args.release_key} does not exist")
    return check(args.base, args.cacert, args.skip_models, release_key=args.release_key)


if __name__ == "__main__":
    sys.exit(main())
