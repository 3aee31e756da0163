#!/usr/bin/env python3
"""Times the native Linux tools beside the Windows contenders, for context only.

    native_times.py ROUNDS HTTP_URL HTTPS_URL CA_FILE TARGET BODY

Prints "sample native <tool> <seconds>" lines, the format of tavrin_bench: curl fetching the
same URLs into TARGET (deleted after each run), then sha256sum and openssl over BODY (read
once beforehand, so that both hash from memory).
"""

import os
import subprocess
import sys
import time


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, timeout=300, **kwargs)
    return time.perf_counter() - start


def main():
    if len(sys.argv) != 7:
        sys.stderr.write(__doc__)
        return 2
    rounds = int(sys.argv[1])
    http_url, https_url, ca_file, target, body = sys.argv[2:]
    with open(body, "rb") as warm:
        while warm.read(1 << 22):
            pass
    for _ in range(rounds):
        for name, extra, url in (("curl.http", [], http_url), ("curl.https", ["--cacert", ca_file], https_url)):
            seconds = timed(["curl", "-sSf", "-o", target] + extra + [url])
            os.remove(target)
            print("sample native %s %.6f" % (name, seconds), flush=True)
        print("sample native sha256sum %.6f" % timed(["sha256sum", body]), flush=True)
        print("sample native openssl %.6f" % timed(["openssl", "dgst", "-sha256", body]), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
