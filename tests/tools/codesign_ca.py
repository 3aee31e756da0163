"""A throwaway code-signing CA for one test run, made with openssl: a root, a publisher's
code-signing certificate in a password-protected PKCS#12 file, and an RFC 3161 time-stamp
authority with a tiny loopback server, so that signatures can be made and checked without any
outside service."""

import http.server
import os
import subprocess
import tempfile
import threading
import time

PASSWORD = "Tavrin test 비밀 pass"  # a space and non-ASCII: both must survive the way to osslsigncode

CONFIG = """\
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
CN = {name}
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[code_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder}/tsa.serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def openssl(*args, **kwargs):
    subprocess.run(["openssl", *args], check=True, capture_output=True, **kwargs)


class CodeSigningCA:
    """Files of the CA under folder: ca.pem, publisher.p12 (PASSWORD), password.txt, tsa.pem."""

    def __init__(self, folder, name="Tavrin Test Code Signing Root"):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.config = os.path.join(folder, "ca.cnf")
        stamp = "%s-%d" % (time.strftime("%Y%m%d%H%M%S"), os.getpid())
        with open(self.config, "w") as f:
            f.write(CONFIG.format(name=f"{name} {stamp}", folder=folder))
        with open(os.path.join(folder, "tsa.serial"), "w") as f:
            f.write("01\n")
        self.ca = self.path("ca.pem")
        openssl("req", "-x509", "-config", self.config, "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-keyout", self.path("ca.key"), "-out", self.ca)
        self.publisher = self.issue("Tavrin Test Publisher", "code_ext")
        self.pkcs12 = self.path("publisher.p12")
        openssl("pkcs12", "-export", "-inkey", self.path("Tavrin Test Publisher.key"),
                "-in", self.publisher, "-certfile", self.ca, "-out", self.pkcs12, "-passout", "env:TAVRIN_P12_PASS",
                env=dict(os.environ, TAVRIN_P12_PASS=PASSWORD))
        self.password_file = self.path("password.txt")
        with open(self.password_file, "w", encoding="utf-8") as f:
            f.write(PASSWORD + "\n")
        self.tsa = self.issue("Tavrin Test Time Stamps", "tsa_ext")

    def path(self, name):
        return os.path.join(self.folder, name)

    def issue(self, subject, extensions):
        key, csr, cert = (self.path(subject + suffix) for suffix in (".key", ".csr", ".pem"))
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + subject, "-keyout", key, "-out", csr)
        openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.path("ca.key"),
                "-set_serial", "0x" + os.urandom(8).hex(), "-days", "2",
                "-extfile", self.config, "-extensions", extensions, "-out", cert)
        return cert

    def time_stamp_server(self, port):
        """An RFC 3161 server on 127.0.0.1:port answering with this CA's time-stamp authority;
        use as a context manager. Its requests counts the queries answered."""
        return TimeStampServer(self, port)


class TimeStampServer:
    def __init__(self, ca, port):
        self.ca = ca
        self.port = port
        self.url = f"http://127.0.0.1:{port}/"
        self.requests = 0

    def __enter__(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                with tempfile.TemporaryDirectory() as scratch:
                    query_file, reply_file = os.path.join(scratch, "query"), os.path.join(scratch, "reply")
                    with open(query_file, "wb") as f:
                        f.write(query)
                    openssl("ts", "-reply", "-config", server.ca.config, "-queryfile", query_file,
                            "-inkey", server.ca.path("Tavrin Test Time Stamps.key"), "-signer", server.ca.tsa,
                            "-chain", server.ca.ca, "-out", reply_file)
                    with open(reply_file, "rb") as f:
                        reply = f.read()
                server.requests += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, format, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()


def verify(program, ca, tsa_ca=None):
    """osslsigncode verify of program against the root ca; (exit status, output)."""
    command = ["osslsigncode", "verify", "-CAfile", ca]
    if tsa_ca:
        command += ["-TSA-CAfile", tsa_ca]
    result = subprocess.run(command + ["-in", program], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr
