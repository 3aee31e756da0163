#!/usr/bin/env python3
"""Builds a release folder ready to upload to any static HTTPS host.

    make_release.py --app APP_FOLDER --version 2.4.1 --base https://releases.example.com \
                    --out OUT_FOLDER [--models MODEL_FOLDER]

    make_release.py ... --sign-pkcs12 CERT.p12 [--sign-password-file FILE] [--sign-timestamp URL]
                    signs TavrinAI.exe with sign.py before it is packed (the application folder
                    itself is left as it is); the password comes from the file or from
                    $TAVRIN_SIGN_PASSWORD, never from the command line

    make_release.py ... --manifest-key KEY.pem [--manifest-key-password-file FILE]
                    signs dist/latest.json with this ECDSA P-256 private key into
                    dist/latest.json.sig (64 raw bytes r||s); an encrypted key's password comes
                    from the file or from $TAVRIN_MANIFEST_KEY_PASSWORD, never from the command line

    make_release.py check --base https://releases.example.com [--cacert CA.pem] [--skip-models]
                    checks a live release host the way the setup program reads it (check_release.py)

OUT_FOLDER receives:
    dist/latest.json                  {"url": ..., "version": ..., "sha256": ..., "size": <payload bytes>,
                                       "expires": <UTC, --expires-days N after now, default 30>,
                                       "digest:<model>" and "size:<model>" for each model when
                                       --models is given}, every value a string
    dist/latest.json.sig              with --manifest-key
    dist/TavrinStudio-<version>.zip   the payload: one top-level folder "TavrinStudio"
    models/auraface/<five models>     when --models is given

The setup program reads the manifest without decoding JSON escapes and with fixed capacities,
so anything it would mishandle is refused here, before it reaches users.
"""

import argparse
import datetime
import hashlib
import os
import stat
import subprocess
import sys
import tempfile
import zipfile

import sign
from layout import (APP_FOLDER_NAME, APP_ICON_NAME, APP_PROGRAM_NAME, APP_SCRIPT_NAME, MANIFEST_URL_PATH,
                    MODEL_NAMES, MODEL_URL_PATH, VERSION_FILE_NAME)
from manifest_rules import (EXPIRES_FORMAT, EXPIRES_KEY, MANIFEST_READ_LIMIT, PAYLOAD_SIZE_KEY, SHA256_CAPACITY,
                            SIGNATURE_SUFFIX, URL_CAPACITY, VERSION_CAPACITY, installed_version_of,
                            model_digest_key, model_size_key, read_json_string, read_model_digest,
                            signature_from_der, utf16_units)

MANIFEST_KEY_PASSWORD_ENV = "TAVRIN_MANIFEST_KEY_PASSWORD"
DEFAULT_EXPIRES_DAYS = 30

class Refusal(Exception):
    pass


def check_version(version):
    if not version:
        raise Refusal("the version is empty")
    if utf16_units(version) > VERSION_CAPACITY - 1:
        raise Refusal(f"the version is longer than {VERSION_CAPACITY - 1} characters")
    for bad, name in ((" ", "a space"), ('"', "a double quote"), ("\\", "a backslash")):
        if bad in version:
            raise Refusal(f"the version holds {name}")
    if any(ord(c) < 0x20 or c == "\x7f" for c in version):
        raise Refusal("the version holds a control character")


def check_url(url):
    if not (url.startswith("https://") or url.startswith("http://")):
        raise Refusal("the payload URL must start with https:// (or http://)")
    if utf16_units(url) > URL_CAPACITY - 1:
        raise Refusal(f"the payload URL is longer than {URL_CAPACITY - 1} characters")
    if '"' in url or "\\" in url:
        raise Refusal("the payload URL holds a double quote or a backslash")
    if any(ord(c) <= 0x20 or c == "\x7f" for c in url):
        raise Refusal("the payload URL holds a space or a control character")


def collect_app_files(app):
    if not os.path.isdir(app):
        raise Refusal(f"the application folder {app} does not exist")
    entries = os.listdir(app)
    if entries == [APP_FOLDER_NAME] and os.path.isdir(os.path.join(app, APP_FOLDER_NAME)):
        raise Refusal(f"give the {APP_FOLDER_NAME} folder itself, not the folder that holds it "
                      f"(the payload would nest {APP_FOLDER_NAME}/{APP_FOLDER_NAME})")
    files = []
    real_app = os.path.realpath(app)
    for root, dirs, names in os.walk(app, followlinks=False):
        for name in sorted(dirs) + sorted(names):
            path = os.path.join(root, name)
            rel = os.path.relpath(path, app).replace(os.sep, "/")
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                target = os.path.realpath(path)
                if not (target == real_app or target.startswith(real_app + os.sep)):
                    raise Refusal(f"{rel} is a link that leads outside the application folder")
                raise Refusal(f"{rel} is a symbolic link; zip payloads carry plain files only")
            if ".." in rel.split("/") or rel.startswith("/"):
                raise Refusal(f"{rel} would land outside {APP_FOLDER_NAME}")
            if stat.S_ISDIR(mode):
                files.append((rel + "/", None))
            elif stat.S_ISREG(mode):
                files.append((rel, path))
            else:
                raise Refusal(f"{rel} is not a regular file")
        dirs.sort()
    return files


def check_app_files(files, version):
    names = {rel for rel, _ in files}
    if APP_PROGRAM_NAME not in names and APP_SCRIPT_NAME not in names:
        raise Refusal(f'the application folder has neither "{APP_PROGRAM_NAME}" nor "{APP_SCRIPT_NAME}"')
    if APP_ICON_NAME not in names:
        raise Refusal(f'the application folder has no "{APP_ICON_NAME}"')
    for rel, path in files:
        if rel == VERSION_FILE_NAME:
            with open(path, "rb") as f:
                data = f.read()
            if data.startswith(b"\xef\xbb\xbf"):
                raise Refusal(f'"{VERSION_FILE_NAME}" starts with a byte-order mark; the setup program would never match it')
            found = installed_version_of(data)
            if found != version:
                raise Refusal(f'"{VERSION_FILE_NAME}" says {found!r}, not the release version {version!r}')


def signed_app_files(files, signer, scratch):
    """files with the application program replaced by a signed copy in scratch."""
    program = [path for rel, path in files if rel == APP_PROGRAM_NAME]
    if not program:
        raise Refusal(f'signing was asked for, but the application folder has no "{APP_PROGRAM_NAME}"')
    signed = os.path.join(scratch, APP_PROGRAM_NAME)
    signer.sign(program[0], "Tavrin AI", out=signed)
    return [(rel, signed if rel == APP_PROGRAM_NAME else path) for rel, path in files]


def write_payload(files, version, zip_path):
    """The payload zip, with the app folder's version file as its last entry: tar extracts in
    order, so an extraction cut short never leaves a folder that claims the new version."""
    version_entry = None
    with zipfile.ZipFile(zip_path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(zipfile.ZipInfo(APP_FOLDER_NAME + "/"), b"")
        for rel, path in files:
            name = f"{APP_FOLDER_NAME}/{rel}"
            if path is None:
                archive.writestr(zipfile.ZipInfo(name), b"")
            elif rel.casefold() == VERSION_FILE_NAME.casefold():
                version_entry = (path, name)
            else:
                archive.write(path, name)
        if version_entry:
            archive.write(*version_entry)
        else:
            archive.writestr(f"{APP_FOLDER_NAME}/{VERSION_FILE_NAME}", (version + "\r\n").encode("utf-8"))


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class ManifestSigner:
    """Signs the manifest with the publisher's ECDSA P-256 private key through openssl; the key's
    password reaches openssl through a file or the environment, never through its command line."""

    def __init__(self, key, password_file=None, password_env=MANIFEST_KEY_PASSWORD_ENV):
        if not os.path.isfile(key):
            raise Refusal(f"the manifest key {key} does not exist")
        if password_file and not os.path.isfile(password_file):
            raise Refusal(f"the password file {password_file} does not exist")
        self.key = key
        self.passin = [f"file:{password_file}"] if password_file else \
            ([f"env:{password_env}"] if os.environ.get(password_env) else [])

    def sign(self, path):
        """Writes path + ".sig", the raw r||s of the SHA-256 signature over the file's bytes."""
        check_key_curve(self.key, self.passin)
        passin = ["-passin", self.passin[0]] if self.passin else []
        result = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.key, *passin, path],
                                capture_output=True, stdin=subprocess.DEVNULL)
        if result.returncode != 0 or not result.stdout:
            reason = result.stderr.decode("utf-8", errors="replace").strip().splitlines()
            raise Refusal(f"openssl cannot sign with {self.key}: {reason[0] if reason else 'no signature'}")
        try:
            raw = signature_from_der(result.stdout)
        except ValueError as error:
            raise Refusal(f"{self.key} is not an ECDSA P-256 key (its signature is {error})") from None
        with open(path + SIGNATURE_SUFFIX, "wb") as f:
            f.write(raw)
        return path + SIGNATURE_SUFFIX


def check_key_curve(key, passin):
    passin = ["-passin", passin[0]] if passin else []
    result = subprocess.run(["openssl", "pkey", "-in", key, *passin, "-noout", "-text"],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        reason = result.stderr.strip().splitlines()
        raise Refusal(f"openssl cannot read {key}: {reason[0] if reason else 'unreadable'} "
                      f"(an encrypted key needs its password in ${MANIFEST_KEY_PASSWORD_ENV} or a file)")
    if "prime256v1" not in result.stdout and "P-256" not in result.stdout:
        raise Refusal(f"{key} is not an ECDSA P-256 key, the only kind the setup program verifies")


def model_digests_of(models):
    digests = {}
    for name in MODEL_NAMES:
        source = os.path.join(models, name)
        if not os.path.isfile(source):
            raise Refusal(f'the model folder has no "{name}"')
        digests[name] = sha256_of(source)
    return digests


def verify_manifest(manifest_path, url, version, sha256, model_digests):
    with open(manifest_path, "rb") as f:
        text = f.read(MANIFEST_READ_LIMIT).split(b"\0", 1)[0]
    read = {
        "url": read_json_string(text, b"url", URL_CAPACITY),
        "version": read_json_string(text, b"version", VERSION_CAPACITY),
        "sha256": read_json_string(text, b"sha256", SHA256_CAPACITY),
    }
    expected = {"url": url, "version": version, "sha256": sha256}
    for key, value in expected.items():
        if read[key] != value:
            raise Refusal(f"the written manifest reads back {key}={read[key]!r}, expected {value!r}")
    for name, digest in model_digests.items():
        if read_model_digest(text, name) != digest:
            raise Refusal(f"the written manifest reads back another digest for {name}")


def copy_models(models, out):
    target = os.path.join(out, *MODEL_URL_PATH.strip("/").split("/"))
    os.makedirs(target, exist_ok=True)
    for name in MODEL_NAMES:
        source = os.path.join(models, name)
        if not os.path.isfile(source):
            raise Refusal(f'the model folder has no "{name}"')
        with open(source, "rb") as src, open(os.path.join(target, name), "wb") as dst:
            for block in iter(lambda: src.read(1 << 20), b""):
                dst.write(block)


def payload_name_of(version):
    """The payload's file name in dist/."""
    return f"{APP_FOLDER_NAME}-{version}.zip"


def expiry_of(days, now=None):
    """The expires member's text: days after now, UTC, to the second."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return (now + datetime.timedelta(days=days)).strftime(EXPIRES_FORMAT)


def make_release(app, version, base, out, models=None, payload_url=None, signer=None, manifest_signer=None,
                 expires_days=DEFAULT_EXPIRES_DAYS):
    check_version(version)
    if expires_days <= 0:
        raise Refusal("--expires-days must be at least 1: a manifest that has expired already is refused")
    if manifest_signer and not models:
        raise Refusal("--manifest-key needs --models: a setup program built with the public key installs "
                      "only models whose digest the signed manifest carries")
    model_digests = model_digests_of(models) if models else {}
    base = base.rstrip("/")
    payload_name = payload_name_of(version)
    url = payload_url or f"{base}/dist/{payload_name}"
    check_url(url)
    files = collect_app_files(app)
    check_app_files(files, version)

    with tempfile.TemporaryDirectory(prefix="tavrin-release-") as scratch:
        if signer:
            files = signed_app_files(files, signer, scratch)
        dist = os.path.join(out, "dist")
        os.makedirs(dist, exist_ok=True)
        zip_path = os.path.join(dist, payload_name)
        write_payload(files, version, zip_path)
    sha256 = sha256_of(zip_path)
    manifest_path = os.path.join(out, *MANIFEST_URL_PATH.split("/"))
    members = [f'"version": "{version}"', f'"url": "{url}"', f'"sha256": "{sha256}"',
               f'"{PAYLOAD_SIZE_KEY}": "{os.path.getsize(zip_path)}"', f'"{EXPIRES_KEY}": "{expiry_of(expires_days)}"']
    members += [f'"{model_digest_key(name)}": "{digest}"' for name, digest in model_digests.items()]
    members += [f'"{model_size_key(name)}": "{os.path.getsize(os.path.join(models, name))}"'
                for name in model_digests]
    manifest = "{\n  " + ",\n  ".join(members) + "\n}\n"
    with open(manifest_path, "wb") as f:
        f.write(manifest.encode("utf-8"))
    verify_manifest(manifest_path, url, version, sha256, model_digests)
    signature = None
    if manifest_signer:
        signature = manifest_signer.sign(manifest_path)
    elif os.path.exists(manifest_path + SIGNATURE_SUFFIX):
        os.remove(manifest_path + SIGNATURE_SUFFIX)   # a stale signature would fail every key-built setup
    if models:
        copy_models(models, out)
    return {"manifest": manifest_path, "payload": zip_path, "url": url, "sha256": sha256, "signature": signature}


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["check"]:
        import check_release
        return check_release.main(argv[1:])
    parser = argparse.ArgumentParser(description="Build a Tavrin AI release folder for the release host.")
    parser.add_argument("--app", required=True, help="the application folder (becomes TavrinStudio/)")
    parser.add_argument("--version", required=True, help="the release version, e.g. 2.4.1")
    parser.add_argument("--base", required=True, help="base URL of the release host, e.g. https://releases.example.com")
    parser.add_argument("--out", required=True, help="output folder (dist/ and models/ are written into it)")
    parser.add_argument("--models", help="folder holding the five model files")
    parser.add_argument("--payload-url", help="serve the payload from this URL instead of <base>/dist/")
    parser.add_argument("--sign-pkcs12", help="sign TavrinAI.exe with this code-signing certificate (PKCS#12)")
    parser.add_argument("--sign-password-file",
                        help=f"file holding the certificate's password (default: ${sign.PASSWORD_ENV})")
    parser.add_argument("--sign-timestamp", help="RFC 3161 time-stamp server for the signature")
    parser.add_argument("--manifest-key", help="sign latest.json with this ECDSA P-256 private key (PEM)")
    parser.add_argument("--manifest-key-password-file",
                        help=f"file holding the manifest key's password (default: ${MANIFEST_KEY_PASSWORD_ENV})")
    parser.add_argument("--expires-days", type=int, default=DEFAULT_EXPIRES_DAYS,
                        help=f"the manifest expires this many days after it is made (default {DEFAULT_EXPIRES_DAYS})")
    args = parser.parse_args(argv)
    asked_to_sign = args.sign_pkcs12 is not None or args.sign_password_file or args.sign_timestamp
    try:
        signer = None
        if asked_to_sign:
            signer = sign.Signer(args.sign_pkcs12, args.sign_password_file, timestamp=args.sign_timestamp)
        manifest_signer = None
        if args.manifest_key or args.manifest_key_password_file:
            if not args.manifest_key:
                raise Refusal("--manifest-key-password-file without --manifest-key")
            manifest_signer = ManifestSigner(args.manifest_key, args.manifest_key_password_file)
        result = make_release(args.app, args.version, args.base, args.out, args.models, args.payload_url, signer,
                              manifest_signer, args.expires_days)
    except (Refusal, sign.Refusal) as refusal:
        print(f"make_release: refused: {refusal}", file=sys.stderr)
        return 2
    except sign.SigningFailed as error:
        print(f"make_release: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"make_release: {error}", file=sys.stderr)
        return 1
    print(f"manifest  {result['manifest']}")
    print(f"payload   {result['payload']}")
    print(f"url       {result['url']}")
    print(f"sha256    {result['sha256']}")
    if result["signature"]:
        print(f"signature {result['signature']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
