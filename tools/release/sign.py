#!/usr/bin/env python3
"""Signs Windows programs with an Authenticode signature (SHA-256) through osslsigncode.

    sign.py --pkcs12 CERT.p12 [--password-file FILE] [--timestamp URL] [--name TEXT]
            [--delete-on-failure] PROGRAM.exe [PROGRAM.exe ...]

Each program is signed in place: the signed copy is written beside it and replaces it only once
osslsigncode has succeeded, so a failed run leaves the program as it was (or, with
--delete-on-failure, removes it, for a build that must not leave an unsigned program where the
signed one is expected).

The PKCS#12 password comes from --password-file or from the environment variable
TAVRIN_SIGN_PASSWORD (another name with --password-env), never from the command line: command
lines are visible to every user of the machine. osslsigncode gets it through -readpass, from a
file that only this user can read.

--timestamp names an RFC 3161 time-stamp server, so that the signature stays valid after the
certificate expires.

Exit status: 0 signed, 2 refused (no certificate, no password, no osslsigncode, no program),
1 osslsigncode failed (wrong password, unreadable program, unreachable time-stamp server).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

PASSWORD_ENV = "TAVRIN_SIGN_PASSWORD"


class Refusal(Exception):
    pass


class SigningFailed(Exception):
    pass


class Signer:
    """What signing needs besides the program: the certificate, its password and the options."""

    def __init__(self, pkcs12, password_file=None, password_env=PASSWORD_ENV, timestamp=None,
                 osslsigncode=None):
        if not pkcs12:
            raise Refusal("signing was asked for, but no PKCS#12 certificate was given")
        if not os.path.isfile(pkcs12):
            raise Refusal(f"the certificate {pkcs12} does not exist")
        self.pkcs12 = pkcs12
        self.password_file = password_file
        self.password = None
        if password_file:
            if not os.path.isfile(password_file) or os.path.getsize(password_file) == 0:
                raise Refusal(f"the password file {password_file} does not exist or is empty")
        else:
            self.password = os.environ.get(password_env, "")
            if not self.password:
                raise Refusal(f"no password for {pkcs12}: set the environment variable {password_env} "
                              "or give a password file")
        if timestamp and not timestamp.startswith(("http://", "https://")):
            raise Refusal(f"the time-stamp server {timestamp} is not an http:// or https:// URL")
        self.timestamp = timestamp
        self.osslsigncode = osslsigncode or shutil.which("osslsigncode")
        if not self.osslsigncode:
            raise Refusal("osslsigncode is not installed (Debian package osslsigncode)")

    def sign(self, program, name=None, out=None):
        """Signs program into out (default: program itself). Raises SigningFailed; out is then
        untouched."""
        if not os.path.isfile(program):
            raise Refusal(f"there is no program {program} to sign")
        target = out or program
        with tempfile.TemporaryDirectory(prefix="tavrin-sign-") as private:  # mode 0700
            password_file = self.password_file or self._write_password(private)
            signed = target + ".signing"
            command = [self.osslsigncode, "sign", "-pkcs12", self.pkcs12, "-readpass", password_file,
                       "-h", "sha256"]
            if name:
                command += ["-n", name]
            if self.timestamp:
                command += ["-ts", self.timestamp]
            command += ["-in", program, "-out", signed]
            try:
                result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
                if result.returncode != 0 or not os.path.isfile(signed):
                    detail = (result.stderr or result.stdout).strip().splitlines()
                    raise SigningFailed(f"osslsigncode could not sign {program}: "
                                        + (detail[-1] if detail else f"exit status {result.returncode}"))
                os.replace(signed, target)
            finally:
                if os.path.exists(signed):
                    os.remove(signed)

    def _write_password(self, private):
        path = os.path.join(private, "password")
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w", encoding="utf-8") as f:
            f.write(self.password)
        return path


def main(argv=None):
    parser = argparse.ArgumentParser(description="Authenticode-sign Windows programs (SHA-256) with osslsigncode.")
    parser.add_argument("programs", nargs="+", metavar="PROGRAM", help="the .exe files to sign in place")
    parser.add_argument("--pkcs12", required=True, help="the code-signing certificate and key (PKCS#12)")
    parser.add_argument("--password-file", help=f"file holding the PKCS#12 password (default: ${PASSWORD_ENV})")
    parser.add_argument("--password-env", default=PASSWORD_ENV, help="environment variable holding the password")
    parser.add_argument("--timestamp", help="RFC 3161 time-stamp server URL")
    parser.add_argument("--name", help="program description shown by Windows")
    parser.add_argument("--osslsigncode", help="the osslsigncode program (default: from PATH)")
    parser.add_argument("--delete-on-failure", action="store_true",
                        help="remove a program that could not be signed")
    args = parser.parse_args(argv)
    status = 0
    signed = []
    try:
        signer = Signer(args.pkcs12, args.password_file, args.password_env, args.timestamp, args.osslsigncode)
        for program in args.programs:
            signer.sign(program, args.name)
            signed.append(program)
            print(f"signed    {program}")
    except Refusal as refusal:
        print(f"sign: refused: {refusal}", file=sys.stderr)
        status = 2
    except (SigningFailed, OSError) as error:
        print(f"sign: {error}", file=sys.stderr)
        status = 1
    if status and args.delete_on_failure:
        for program in args.programs:
            if program not in signed and os.path.isfile(program):
                os.remove(program)
                print(f"sign: removed the unsigned {program}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
