"""The outside programs under Wine: Pellit.dll against loopback HTTP and HTTPS servers, Go.dll with
a recording mail program, CloseKREV.exe between two Krevs, and Krev with the real Pellit.dll."""
import http.server
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

import wine_env
from wine_env import Recording, wait_until, write_card_script

WM_COMMAND = 0x111
ID_EXIT = 57665
# A big page whose record stands in the middle: Pellit.dll keeps the record, not the page.
PAGE = (b"<html>\r\n" + b"<p>filler line</p>\r\n" * 400 + b"<p>VersionCheck000=003.002.000.002</p>\r\n" +
        b"<p>filler line</p>\r\n" * 400 + b"</html>\r\n")
NO_RECORD = b"The version page could not be fetched.\r\n"


class PageServer(http.server.ThreadingHTTPServer):
    """Serves PAGE at /version/check.htm, a redirect to `moved_to` at /moved.htm and 404 elsewhere,
    on a free loopback port; over TLS with `certificate` (a PEM file holding the key too)."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.server.requests += 1
            if self.path == "/version/check.htm":
                self.send_response(200)
                self.send_header("Content-Length", str(len(PAGE)))
                self.end_headers()
                self.wfile.write(PAGE)
            elif self.path == "/moved.htm" and self.server.moved_to:
                self.send_response(302)
                self.send_header("Location", self.server.moved_to)
                self.send_header("Content-Length", "0")
                self.end_headers()
            else:
                self.send_error(404)

        def log_message(self, *args):
            pass

    def __init__(self, certificate=None, moved_to=None):
        super().__init__(("127.0.0.1", 0), PageServer.Handler)
        self.moved_to = moved_to
        self.requests = 0
        self.tls = None
        if certificate:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(certificate)
        # A client that connects and is gone before its connection is taken must not leave the
        # serving loop waiting in accept(): the listening socket never blocks.
        self.socket.setblocking(False)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def get_request(self):
        connection, address = self.socket.accept()
        connection.setblocking(True)
        return connection, address

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the request's own thread, with a time limit: a client that
        # stalls in it holds up no other request and no shutdown.
        if self.tls:
            request.settimeout(15)
            request = self.tls.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # a client that refuses the certificate ends the handshake


class TestAuthorities:
    """A test authority that the Wine prefix trusts, one that it does not, and server certificates
    that they signed (each PEM file holding its key too)."""

    def __init__(self, folder):
        self.folder = folder
        self.trusted = self._authority("trusted")
        self.untrusted = self._authority("untrusted")

    def _openssl(self, *args):
        subprocess.run(["openssl"] + list(args), cwd=self.folder, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def _authority(self, name):
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".pem",
                      "-days", "2", "-subj", "/CN=Vyx test authority " + name)
        self._openssl("x509", "-in", name + ".pem", "-outform", "der", "-out", name + ".der")
        return name

    def server(self, authority, host):
        """A certificate for `host` signed by `authority`."""
        name = "%s-%s" % (authority, host)
        with open(os.path.join(self.folder, name + ".ext"), "w") as extensions:
            kind = "IP" if host.replace(".", "").isdigit() else "DNS"
            extensions.write("subjectAltName=%s:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n" % (kind, host))
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                      "-subj", "/CN=" + host)
        self._openssl("x509", "-req", "-in", name + ".csr", "-CA", authority + ".pem", "-CAkey", authority + ".key",
                      "-CAcreateserial", "-out", name + ".crt", "-days", "2", "-extfile", name + ".ext")
        path = os.path.join(self.folder, name + ".pem")
        with open(path, "wb") as both:
            for part in (".crt", ".key"):
                with open(os.path.join(self.folder, name + part), "rb") as pem:
                    both.write(pem.read())
        return path


class SilentServer:
    """Accepts connections and never answers."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.held.append(self.listener.accept()[0])
            except OSError:
                return

    def close(self):
        self.listener.close()
        for connection in self.held:
            connection.close()


class PellitUnderWine(unittest.TestCase):
    def setUp(self):
        self.wine = wine_env.machine()
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=("Pellit.dll",), default_check=False)
        self.version_file = os.path.join(self.folder, "Ver.chk")

    def fetch(self, address):
        """Runs Pellit.dll as Krev does; returns Ver.chk's bytes and the seconds it took."""
        started = time.monotonic()
        answer = self.wine.probe("run", "Pellit.dll " + address, folder=self.folder)
        if answer == "":
            # The probe printed nothing, not even a failed start: Wine did not run the probe
            # itself (seen once in a loaded run by emulation). Pellit's answer is Ver.chk, so it
            # is asked again, from the start.
            started = time.monotonic()
            answer = self.wine.probe("run", "Pellit.dll " + address, folder=self.folder)
        self.assertEqual(answer, "exit 0")
        with open(self.version_file, "rb") as version:
            return version.read(), time.monotonic() - started

    def test_a_served_page_leaves_only_its_version_record_in_ver_chk(self):
        server = PageServer()
        try:
            content, _ = self.fetch("http://127.0.0.1:%d/version/check.htm" % server.server_address[1])
        finally:
            server.shutdown()
        self.assertEqual(content, b" VersionCheck000=003.002.000.002")
        self.assertEqual(os.listdir(self.folder).count("Ver.chk.part"), 0)

    def test_an_http_error_leaves_a_ver_chk_without_a_version_record(self):
        server = PageServer()
        try:
            content, _ = self.fetch("http://127.0.0.1:%d/missing.htm" % server.server_address[1])
        finally:
            server.shutdown()
        self.assertEqual(content, NO_RECORD)

    def test_a_server_that_never_answers_is_given_up_within_a_few_seconds(self):
        server = SilentServer()
        try:
            content, seconds = self.fetch("http://127.0.0.1:%d/version/check.htm" % server.port)
        finally:
            server.close()
        self.assertEqual(content, NO_RECORD)
        self.assertLess(seconds, 9.5, "Krev stops waiting for Ver.chk after about ten seconds")

    def test_an_https_page_is_taken_only_under_a_trusted_authoritys_certificate_for_its_host(self):
        folder = tempfile.mkdtemp(prefix="krev-tls-", dir=self.folder)
        authorities = TestAuthorities(folder)
        self.assertEqual(self.wine.probe("trust", wine_env.windows_path(os.path.join(folder, "trusted.der"))),
                         "trusted")
        plain = PageServer()
        servers = {"trusted": PageServer(authorities.server("trusted", "localhost")),
                   "untrusted": PageServer(authorities.server("untrusted", "localhost")),
                   "another host": PageServer(authorities.server("trusted", "another.example")),
                   "to http": PageServer(authorities.server("trusted", "localhost"),
                                         moved_to="http://127.0.0.1:%d/version/check.htm" % plain.server_address[1])}
        # Redirects: within the host, and to another https host whose certificate is good.
        elsewhere = PageServer(authorities.server("trusted", "127.0.0.1"))
        servers["within the host"] = PageServer(authorities.server("trusted", "localhost"),
                                                moved_to="/version/check.htm")
        servers["to another https host"] = PageServer(
            authorities.server("trusted", "localhost"),
            moved_to="https://127.0.0.1:%d/version/check.htm" % elsewhere.server_address[1])
        try:
            taken = {}
            for name, server in servers.items():
                path = "moved.htm" if name.startswith(("to ", "within")) else "version/check.htm"
                taken[name] = self.fetch("https://localhost:%d/%s" % (server.server_address[1], path))[0]
        finally:
            for server in list(servers.values()) + [plain, elsewhere]:
                server.shutdown()
        self.assertEqual(taken, {"trusted": b" VersionCheck000=003.002.000.002", "untrusted": NO_RECORD,
                                 "another host": NO_RECORD, "to http": NO_RECORD,
                                 "within the host": b" VersionCheck000=003.002.000.002",
                                 "to another https host": NO_RECORD})
        # No request was sent where a redirect was refused.
        self.assertEqual((plain.requests, elsewhere.requests), (0, 0))

    def test_nothing_listening_gives_a_ver_chk_without_a_record_at_once(self):
        unused = socket.socket()
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
        unused.close()
        content, seconds = self.fetch("http://127.0.0.1:%d/version/check.htm" % port)
        self.assertEqual(content, NO_RECORD)
        self.assertLess(seconds, 9.5)


class GoUnderWine(unittest.TestCase):
    def test_the_mail_address_reaches_the_registered_mail_program(self):
        wine = wine_env.machine()
        folder = wine.run_folder("go", programs=("Go.dll",), default_check=False)
        mailer = os.path.join(wine.helpers, "mailer.exe")
        shutil.copy(os.path.join(wine.helpers, "recorder.exe"), mailer)
        wine.register_handler("mailto", None, mailer)
        self.assertEqual(wine.probe("run", "Go.dll mailto:service@quenby.example", folder=folder), "exit 0")
        log = Recording(os.path.join(folder, "record.log"))
        starts = wait_until(log.entries)
        self.assertEqual(len(starts), 1)
        self.assertTrue(starts[0]["program"].endswith("mailer.exe"))
        self.assertIn(b"mailto:service@quenby.example", starts[0]["command"])
        self.assertEqual(wine.probe("run", "Go.dll", folder=folder), "exit 0")


class CloseKrevUnderWine(unittest.TestCase):
    def test_a_second_krev_ends_the_first_and_one_icon_remains(self):
        wine = wine_env.machine()
        folder = wine.run_folder("close", programs=("Krev.exe", "Farrow.exe", "SC.dll", "CloseKREV.exe"))
        write_card_script(folder, ["empty Quenby USB Reader"])
        first = wine.start("Krev.exe", folder)
        self.assertTrue(wait_until(lambda: wine.find_window("About Vyx")))
        first_pid = wine.find_window("About Vyx")[3]
        second = wine.start("Krev.exe", folder)
        try:
            self.assertEqual(first.wait(timeout=30), 0, "the first Krev ended through its exit command")
            self.assertTrue(wait_until(lambda: wine.find_window("About Vyx")))
            self.assertNotEqual(wine.find_window("About Vyx")[3], first_pid)
            time.sleep(1.0)
            self.assertEqual(wine.probe("count", "About Vyx"), "1")
            self.assertEqual(wine.probe("count", "CSystemTray Dummy Window"), "1")
            self.assertIsNone(second.poll())
        finally:
            wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
            second.wait(timeout=30)


class KrevWithTheRealPellit(unittest.TestCase):
    def test_an_unreachable_version_server_means_no_newer_version_and_no_message(self):
        wine = wine_env.machine()
        folder = wine.run_folder("real-pellit", programs=("Krev.exe", "Farrow.exe", "SC.dll", "Pellit.dll"))
        with open(os.path.join(folder, "Reader.ini"), "wb") as settings:
            settings.write(b"[Register]\r\nCheck=OK\r\n")
        write_card_script(folder, ["empty Quenby USB Reader"])
        krev = wine.start("Krev.exe", folder)
        try:
            self.assertTrue(wait_until(lambda: wine.find_window("About Vyx")))
            time.sleep(0.5)
            write_card_script(folder, ["present Quenby USB Reader"])
            version_file = os.path.join(folder, "Ver.chk")
            self.assertTrue(wait_until(lambda: os.path.exists(version_file)), "Pellit.dll wrote no Ver.chk")
            with open(version_file, "rb") as version:
                self.assertEqual(version.read(), NO_RECORD)
            time.sleep(2.0)
            self.assertIsNone(wine.find_window("Krev"), "no message box about damaged files")
        finally:
            wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
            self.assertEqual(krev.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
