"""A vendor's signing, made at test time: a throwaway certificate authority, a code-signing
certificate in a PKCS#12 file and another for a key made on a SoftHSM2 token, an RFC 3161
time-stamp server on loopback (openssl ts behind a small HTTP server), and the signed build made
with them by scripts/build.sh in build/signed (the usual build stays as it is)."""
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
import time

import wine_env

ROOT = wine_env.ROOT
BUILD = os.path.join(ROOT, "build", "signed")
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
EXTENSIONS = """
[req]
distinguished_name = name
prompt = no
[name]
CN = Krev Test Authority
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[code_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[time_stamping]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""
TSA_CONFIG = """
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder}/tsa.serial
signer_cert = {folder}/tsa.pem
signer_key = {folder}/tsa.key
certs = {folder}/authority.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def openssl(*args, env=None):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)


class TestAuthority:
    """The authority, its code-signing and time-stamping certificates, and a token with a key."""

    def __init__(self, folder):
        self.folder = folder
        self.path = lambda name: os.path.join(folder, name)
        with open(self.path("extensions.cnf"), "w") as config:
            config.write(EXTENSIONS)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.path("authority.key"),
                "-out", self.path("authority.pem"), "-days", "30", "-config", self.path("extensions.cnf"),
                "-extensions", "authority")
        openssl("x509", "-in", self.path("authority.pem"), "-outform", "DER", "-out", self.path("authority.cer"))
        self.password = os.urandom(12).hex()
        with open(self.path("password"), "w") as password:
            password.write(self.password)
        self._certify("signing", "/CN=Quenby Test Signing/O=Quenby", "code_signing")
        openssl("pkcs12", "-export", "-inkey", self.path("signing.key"), "-in", self.path("signing.pem"),
                "-certfile", self.path("authority.pem"), "-out", self.path("signing.p12"),
                "-passout", "file:" + self.path("password"))
        os.remove(self.path("signing.key"))
        self._certify("tsa", "/CN=Krev Test Time Stamps", "time_stamping")
        with open(self.path("tsa.cnf"), "w") as config:
            config.write(TSA_CONFIG.format(folder=folder))
        with open(self.path("tsa.serial"), "w") as serial:
            serial.write("01\n")
        self._make_token()

    def _certify(self, name, subject, extensions, key_options=None, env=None):
        request = self.path(name + ".csr")
        openssl("req", "-new", *(key_options or ["-newkey", "rsa:2048", "-nodes", "-keyout", self.path(name + ".key")]),
                "-subj", subject, "-out", request, env=env)
        openssl("x509", "-req", "-in", request, "-CA", self.path("authority.pem"), "-CAkey", self.path("authority.key"),
                "-CAcreateserial", "-out", self.path(name + ".pem"), "-days", "30",
                "-extfile", self.path("extensions.cnf"), "-extensions", extensions)

    def _make_token(self):
        """A SoftHSM2 token whose key is made on the token and never leaves it."""
        tokens = self.path("tokens")
        os.mkdir(tokens)
        with open(self.path("softhsm2.conf"), "w") as config:
            config.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n" % tokens)
        self.token_env = dict(os.environ, SOFTHSM2_CONF=self.path("softhsm2.conf"))
        self.pin = "%06d" % (int.from_bytes(os.urandom(3), "big") % 1000000)
        with open(self.path("pin"), "w") as pin:
            pin.write(self.pin)
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=self.token_env)
        subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", "krev-test", "--pin", self.pin,
                        "--so-pin", "12345678"], **quiet)
        subprocess.run(["pkcs11-tool", "--module", SOFTHSM_MODULE, "--token-label", "krev-test", "--login",
                        "--pin", self.pin, "--keypairgen", "--key-type", "rsa:2048", "--id", "01",
                        "--label", "signing"], **quiet)
        self.token_key = "pkcs11:token=krev-test;object=signing;type=private"
        self._certify("token", "/CN=Quenby Token Signing/O=Quenby", "code_signing",
                      ["-engine", "pkcs11", "-keyform", "engine", "-key", self.token_key + ";pin-value=" + self.pin],
                      env=self.token_env)
        with open(self.path("token-chain.pem"), "w") as chain:
            for name in ("token.pem", "authority.pem"):
                with open(self.path(name)) as part:
                    chain.write(part.read())

    def file_route(self, timestamps):
        return dict(os.environ, KREV_SIGNING_PKCS12=self.path("signing.p12"),
                    KREV_SIGNING_PASSWORD_FILE=self.path("password"), KREV_TIMESTAMP_URL=timestamps)

    def token_route(self, timestamps):
        return dict(self.token_env, KREV_SIGNING_PKCS11_MODULE=SOFTHSM_MODULE, KREV_SIGNING_KEY=self.token_key,
                    KREV_SIGNING_CERT=self.path("token-chain.pem"), KREV_SIGNING_PASSWORD_FILE=self.path("pin"),
                    KREV_TIMESTAMP_URL=timestamps)

    def verify(self, path):
        """osslsigncode's verdict with the test authority: (accepted, its report)."""
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", self.path("authority.pem"),
                                 "-TSA-CAfile", self.path("authority.pem"), "-in", path],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return result.returncode == 0, result.stdout.decode("utf-8", "replace")


class TimeStampServer:
    """openssl ts behind HTTP on loopback; the first `refuse` requests get 503, as a busy server's."""

    def __init__(self, authority, refuse=0):
        self.requests = 0
        self.refused = 0
        lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with lock:
                    server.requests += 1
                    busy = server.refused < refuse
                    server.refused += busy
                if busy:
                    self.send_response(503)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                with tempfile.NamedTemporaryFile(dir=authority.folder) as request:
                    request.write(query)
                    request.flush()
                    with lock:  # openssl ts counts its serial numbers in one file
                        reply = subprocess.run(["openssl", "ts", "-reply", "-config", authority.path("tsa.cnf"),
                                                "-queryfile", request.name, "-out", "/dev/stdout"],
                                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.http.server_address[1]
        self.thread = threading.Thread(target=self.http.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.http.shutdown()
        self.http.server_close()


class CommandLineWatch:
    """Reads every process's command line while it runs, looking for the secrets."""

    def __init__(self, secrets):
        self.secrets = [secret.encode() for secret in secrets]
        self.found = []
        self.signers_seen = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        seen = set()
        while not self.done.wait(0.005):
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as command:
                        line = command.read()
                except OSError:
                    continue
                if b"osslsigncode" in line and (pid, line) not in seen:
                    seen.add((pid, line))
                    self.signers_seen += 1
                if any(secret in line for secret in self.secrets) and line not in self.found:
                    self.found.append(line)

    def stop(self):
        self.done.set()
        self.thread.join()


def shipped_files(build, dist):
    """Every file we ship, by a name that says where it lies: the programs of both widths, both
    packages, and the CD's files (extracted from its image)."""
    files = {}
    for width in ("win32", "win64"):
        for name in sorted(os.listdir(os.path.join(dist, width))):
            files["%s/%s" % (width, name)] = os.path.join(dist, width, name)
    files["KrevSetup.msi (i686)"] = os.path.join(dist, "KrevSetup.msi")
    files["KrevSetup.msi (x86_64)"] = os.path.join(build, "x86_64", "KrevSetup.msi")
    for image, tree in ((os.path.join(dist, "krev-cd.iso"), "i686"),
                        (os.path.join(build, "x86_64", "krev-cd.iso"), "x86_64")):
        for name in ("autorun.exe", "Runlatch.exe", "PortalLaunch.exe", "KrevSetup.msi"):
            extracted = os.path.join(build, "cd-" + tree, name)
            os.makedirs(os.path.dirname(extracted), exist_ok=True)
            subprocess.run(["xorriso", "-osirrox", "on", "-indev", image, "-extract", "/" + name, extracted],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            files["CD (%s) %s" % (tree, name)] = extracted
    return files


def packed_programs(package, folder):
    """The programs that a package installs and the programs of its custom actions (its Binary
    table), unpacked into `folder`: {name: path}."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    subprocess.run(["msiextract", "-C", folder, package], check=True, stdout=subprocess.DEVNULL)
    programs = {}
    for directory, _, names in os.walk(folder):
        for name in names:
            programs[name] = os.path.join(directory, name)
    for binary in ("CloseKREV", "SetupKREV"):
        path = os.path.join(folder, "Binary." + binary)
        with open(path, "wb") as stream:
            stream.write(subprocess.run(["msiinfo", "extract", package, "Binary." + binary], check=True,
                                        stdout=subprocess.PIPE).stdout)
        programs["Binary." + binary] = path
    return programs


class SignedBuild:
    """The signed build and what each step of it showed, made once for the run."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="krev-signing-")
        self.authority = TestAuthority(self.folder)
        self.timestamps = TimeStampServer(self.authority, refuse=2)
        self.dist = os.path.join(BUILD, "dist")

    def build(self, env, trees="i686 x86_64"):
        """scripts/build.sh into build/signed; (exit code, what it printed, seconds). At a lower
        priority than this process: the command-line watch keeps its pace while the compilers fill
        every core, and sees the signer's short runs."""
        started = time.monotonic()
        result = subprocess.run(["nice", "-n", "10", "bash", os.path.join(ROOT, "scripts", "build.sh")], cwd=ROOT,
                                env=dict(env, KREV_BUILD_DIR=BUILD, KREV_DIST_DIR=self.dist, KREV_BUILD_TREES=trees),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return result.returncode, result.stdout.decode("utf-8", "replace"), time.monotonic() - started

    def snapshot(self, name):
        """A copy of every shipped file as it is now, by the names of shipped_files."""
        copies = os.path.join(self.folder, name)
        os.makedirs(copies)
        taken = {}
        for label, path in shipped_files(BUILD, self.dist).items():
            taken[label] = os.path.join(copies, label.replace("/", "_").replace(" ", "_"))
            shutil.copy2(path, taken[label])
        return taken

    def close(self):
        self.timestamps.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def _modified_times(files):
    return {label: os.stat(path).st_mtime_ns for label, path in files.items() if "/" in label}


class SignedBuildRun(SignedBuild):
    """Every step of the signed build, each on the one before: by the PKCS#12 file with time
    stamps from a server that is busy twice first; the same build again; one program changed;
    a password that is wrong; then by the token. Each step's outcome is kept for the tests."""

    def __init__(self):
        super().__init__()
        authority, url = self.authority, self.timestamps.url
        self.watch = CommandLineWatch([authority.password, authority.pin])
        try:
            self.file_build = self.build(authority.file_route(url))
            self.file_signed = self.snapshot("file") if self.file_build[0] == 0 else {}
            before, requests = _modified_times(shipped_files(BUILD, self.dist)), self.timestamps.requests
            self.again_build = self.build(authority.file_route(url))
            self.again = (before, _modified_times(shipped_files(BUILD, self.dist)), self.timestamps.requests - requests)
            source = os.path.join(ROOT, "farrow", "url_launcher.cpp")
            os.utime(source)
            self.changed_build = self.build(authority.file_route(url))
            self.changed = (before, _modified_times(shipped_files(BUILD, self.dist)))
            wrong = os.path.join(self.folder, "wrong-password")
            with open(wrong, "w") as password:
                password.write("not the password")
            self.failed_build = self.build(dict(authority.file_route(url), KREV_SIGNING_PASSWORD_FILE=wrong),
                                           trees="i686")
            self.after_failure = {name: os.path.join(self.dist, "win32", name)
                                  for name in os.listdir(os.path.join(self.dist, "win32"))}
            self.after_failure = {name: authority.verify(path)[0] for name, path in self.after_failure.items()}
            self.token_build = self.build(authority.token_route(url))
            self.token_signed = self.snapshot("token") if self.token_build[0] == 0 else {}
        except BaseException:
            self.watch.stop()
            self.close()
            raise
        self.watch.stop()

    def kept_texts(self):
        """Every file the build keeps that could hold a secret: logs, caches, the signer."""
        found = {}
        for folder, _, names in os.walk(BUILD):
            for name in names:
                if name in ("build.log", "CMakeCache.txt", "sign_pe", "signing_settings.txt", ".ninja_log"):
                    with open(os.path.join(folder, name), "rb") as text:
                        found[os.path.relpath(os.path.join(folder, name), BUILD)] = text.read()
        return found


_run = None


def signed_build():
    """The run's one signed build, made on first use (about two minutes more than the build)."""
    global _run
    if _run is None:
        _run = SignedBuildRun()
    return _run


def close_signed_build():
    global _run
    if _run is not None:
        _run.close()
        _run = None
