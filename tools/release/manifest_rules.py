"""The rules by which the setup program reads a manifest and an installed version file.

The release tool refuses what these rules would mishandle, and the live-host check reads a host's
manifest with them, so both ask this one module. The capacities are the setup program's buffers,
in UTF-16 units with the terminator.
"""

import re
import urllib.parse

MANIFEST_READ_LIMIT = 16383   # bytes of the manifest the setup program reads
VERSION_CAPACITY = 32
URL_CAPACITY = 2048
SHA256_CAPACITY = 80
HOST_CAPACITY = 256
PATH_CAPACITY = 2048


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def installed_version_of(data):
    """The version as the setup program reads version.txt: 63 bytes, cut at CR, LF or space."""
    text = data[:63].split(b"\0", 1)[0].decode("utf-8", errors="replace")
    for i, c in enumerate(text):
        if c in "\r\n ":
            return text[:i]
    return text


def read_json_string(text, key, capacity):
    """The setup program's manifest reader: first quoted key, colon, next quoted text, no escapes."""
    start = text.find(b'"' + key + b'"')
    if start < 0:
        return None
    colon = text.find(b":", start + len(key) + 2)
    if colon < 0:
        return None
    open_quote = text.find(b'"', colon)
    if open_quote < 0:
        return None
    close_quote = text.find(b'"', open_quote + 1)
    if close_quote < 0:
        return None
    value = text[open_quote + 1:close_quote].decode("utf-8", errors="replace")
    if not value or utf16_units(value) > capacity - 1:
        return ""
    return value


def url_problem(url):
    """Why the setup program could not download url, or None."""
    if any(ord(c) <= 0x20 or c == "\x7f" for c in url):
        return "holds a space or a control character"
    if "\\" in url:
        return "holds a backslash (the setup program does not decode JSON escapes)"
    parts = urllib.parse.urlsplit(url)
    if parts.scheme.lower() not in ("http", "https"):
        return "is not an http:// or https:// URL"
    try:
        parts.port
    except ValueError:
        return "names no valid port"
    host = parts.hostname or ""
    if not host:
        return "names no host"
    if utf16_units(host) > HOST_CAPACITY - 1:
        return f"has a host name longer than {HOST_CAPACITY - 1} characters"
    path = url[len(parts.scheme) + 3 + len(parts.netloc):]
    if utf16_units(path) > PATH_CAPACITY - 1:
        return f"has a path longer than {PATH_CAPACITY - 1} characters"
    return None


def read_manifest(data):
    """(url, version, sha256 or None) as the setup program reads the manifest; raises ValueError
    with the reason the manifest is invalid."""
    text = data[:MANIFEST_READ_LIMIT].split(b"\0", 1)[0]
    values = {}
    for key, capacity in (("url", URL_CAPACITY), ("version", VERSION_CAPACITY)):
        value = read_json_string(text, key.encode(), capacity)
        if value is None:
            raise ValueError(f'it has no "{key}" member')
        if not value:
            raise ValueError(f'its "{key}" is empty or longer than {capacity - 1} characters')
        values[key] = value
    problem = url_problem(values["url"])
    if problem:
        raise ValueError(f'its "url" {values["url"]!r} {problem}')
    sha256 = read_json_string(text, b"sha256", SHA256_CAPACITY)
    if sha256 is not None and not re.fullmatch(r"[0-9A-Fa-f]{64}", sha256):
        raise ValueError(f'its "sha256" {sha256[:80]!r} is not 64 hexadecimal digits')
    return values["url"], values["version"], sha256


# A model's digest is a member of its own, "digest:<model file name>": the reader above finds the
# first quoted "url", "version" or "sha256" anywhere in the text, and none of these names is one
# of those quoted words, so the setup program reads both without confusing them.
MODEL_DIGEST_KEY_PREFIX = "digest:"   # engine/layout.h's MODEL_DIGEST_KEY_PREFIX
# The published sizes, decimal text: a download that runs past its size stops at once.
PAYLOAD_SIZE_KEY = "size"             # engine/layout.h's PAYLOAD_SIZE_KEY
MODEL_SIZE_KEY_PREFIX = "size:"       # engine/layout.h's MODEL_SIZE_KEY_PREFIX
# When the signed manifest stops being valid, UTC: a setup program built with the release key
# refuses a manifest past it, or without it.
EXPIRES_KEY = "expires"               # engine/layout.h's MANIFEST_EXPIRES_KEY
EXPIRES_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
EXPIRES_CAPACITY = 32
SIGNATURE_SUFFIX = ".sig"
SIGNATURE_SIZE = 64           # r and s of an ECDSA P-256 signature, 32 bytes each, big-endian


def model_digest_key(name):
    return MODEL_DIGEST_KEY_PREFIX + name


def read_model_digest(data, name):
    """The model's SHA-256 digest as the setup program reads it: None when the manifest has none;
    raises ValueError when the member is there but is not 64 hexadecimal digits."""
    text = data[:MANIFEST_READ_LIMIT].split(b"\0", 1)[0]
    digest = read_json_string(text, model_digest_key(name).encode(), SHA256_CAPACITY)
    if digest is None:
        return None
    if not re.fullmatch(r"[0-9A-Fa-f]{64}", digest):
        raise ValueError(f'its "{model_digest_key(name)}" {digest[:80]!r} is not 64 hexadecimal digits')
    return digest


def _der_length(data, at):
    first = data[at]
    if first < 0x80:
        return first, at + 1
    count = first & 0x7F
    return int.from_bytes(data[at + 1:at + 1 + count], "big"), at + 1 + count


def signature_from_der(der):
    """The 64 raw bytes r||s of a DER ECDSA-Sig-Value (what openssl writes); raises ValueError."""
    try:
        if der[0] != 0x30:
            raise ValueError("not a DER sequence")
        _, at = _der_length(der, 1)
        numbers = []
        for _ in range(2):
            if der[at] != 0x02:
                raise ValueError("not a DER integer")
            length, at = _der_length(der, at + 1)
            value = int.from_bytes(der[at:at + length], "big")
            at += length
            if value >= 1 << 256:
                raise ValueError("an integer longer than 32 bytes")
            numbers.append(value)
    except IndexError:
        raise ValueError("cut short") from None
    return b"".join(n.to_bytes(32, "big") for n in numbers)


def signature_to_der(raw):
    """The DER ECDSA-Sig-Value of the raw r||s, for tools that verify DER."""
    def integer(value):
        body = value.to_bytes(33, "big").lstrip(b"\0") or b"\0"
        if body[0] & 0x80:
            body = b"\0" + body
        return b"\x02" + bytes([len(body)]) + body
    body = integer(int.from_bytes(raw[:32], "big")) + integer(int.from_bytes(raw[32:64], "big"))
    return b"\x30" + bytes([len(body)]) + body


def model_size_key(name):
    return MODEL_SIZE_KEY_PREFIX + name


def read_expires(data):
    """The manifest's expiry as an aware UTC datetime as the setup program reads it; None when the
    member is missing or not of the form YYYY-MM-DDTHH:MM:SSZ."""
    import datetime
    text = data[:MANIFEST_READ_LIMIT].split(b"\0", 1)[0]
    value = read_json_string(text, EXPIRES_KEY.encode(), EXPIRES_CAPACITY)
    if not value or not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", value):
        return None
    try:
        return datetime.datetime.strptime(value, EXPIRES_FORMAT).replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None
