"""The signed build (signing_rig): every file we ship carries the vendor's signature and a time
stamp, by a PKCS#12 file and by a key on a token; the secrets stay out of sight; a failure leaves
no unsigned file; and Windows' own judge, WinVerifyTrust, takes a signed program under Wine."""
import os
import shutil
import subprocess
import unittest

import signing_rig
import wine_env
from wine_env import windows_path

SHIPPED_NAMES = ["CloseKREV.exe", "Farrow.exe", "Go.dll", "Krev.exe", "Pellit.dll", "PortalLaunch.exe", "Runlatch.exe",
                 "SC.dll", "SetupKREV.exe", "autorun.exe"]
PACKED = ["Binary.CloseKREV", "Binary.SetupKREV", "CloseKREV.exe", "DefaultCheck.htm", "Farrow.exe", "Go.dll",
          "Krev.exe", "Pellit.dll", "PortalLaunch.exe", "SC.dll", "SetupKREV.exe"]
TRUST_E_NOSIGNATURE = "0x800B0100"
TRUST_E_BAD_DIGEST = "0x80096010"


def changed_copy(signed, copy):
    """A copy of a signed program with one bit of its code changed after signing."""
    shutil.copy(signed, copy)
    with open(copy, "r+b") as program:
        program.seek(0x600)
        byte = program.read(1)
        program.seek(0x600)
        program.write(bytes([byte[0] ^ 0x01]))
    return copy


class SignedBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.signed = signing_rig.signed_build()
        cls.authority = cls.signed.authority

    def assertBuilt(self, step):
        code, output, _ = step
        self.assertEqual(code, 0, output)
        self.assertIn("Every shipped file is signed and time-stamped.", output)

    def test_every_shipped_file_carries_the_vendors_signature_and_a_time_stamp_by_file_and_by_token(self):
        self.assertBuilt(self.signed.file_build)
        self.assertBuilt(self.signed.token_build)
        # The first two time-stamp requests met a busy server: asked again, they were answered.
        self.assertEqual(self.signed.timestamps.refused, 2)
        for route, signer, files in (("file", "/CN=Quenby Test Signing/O=Quenby", self.signed.file_signed),
                                     ("token", "/CN=Quenby Token Signing/O=Quenby", self.signed.token_signed)):
            expected = ["win32/" + name for name in SHIPPED_NAMES] + ["win64/" + name for name in SHIPPED_NAMES]
            self.assertEqual(sorted(label for label in files if "/" in label), sorted(expected))
            self.assertEqual(len(files), len(expected) + 2 + 8)
            for label, path in files.items():
                with self.subTest(route=route, file=label):
                    accepted, report = self.authority.verify(path)
                    self.assertTrue(accepted, report)
                    self.assertIn("Subject: " + signer, report)
                    self.assertRegex(report, r"Message digest algorithm\s+: SHA256")
                    self.assertIn("Text description: Vyx", report)
                    self.assertIn("URL description: %swww.quenby.example/" % wine_env.PAGE_SCHEME, report)
                    self.assertIn("Timestamp Server Signature verification: ok", report)
        # The CD holds the very files of the build.
        for tree, dist in (("i686", "win32"), ("x86_64", "win64")):
            for name in ("autorun.exe", "Runlatch.exe", "PortalLaunch.exe", "KrevSetup.msi"):
                built = self.signed.file_signed[("%s/%s" % (dist, name)) if name != "KrevSetup.msi"
                                                else "KrevSetup.msi (%s)" % tree]
                with open(self.signed.file_signed["CD (%s) %s" % (tree, name)], "rb") as on_cd, \
                        open(built, "rb") as from_build:
                    self.assertEqual(on_cd.read(), from_build.read(), "%s %s" % (tree, name))
        # Every program that the signed package installs or runs during the install is signed.
        for tree in ("i686", "x86_64"):
            packed = signing_rig.packed_programs(self.signed.file_signed["KrevSetup.msi (%s)" % tree],
                                                 os.path.join(self.signed.folder, "packed-" + tree))
            self.assertEqual(sorted(packed), PACKED)
            for name, path in packed.items():
                if name.endswith(".htm"):
                    continue
                with self.subTest(package=tree, file=name):
                    accepted, report = self.authority.verify(path)
                    self.assertTrue(accepted, report)
                    self.assertIn("Subject: /CN=Quenby Test Signing/O=Quenby", report)

    def test_a_file_changed_after_signing_is_refused(self):
        changed = changed_copy(self.signed.file_signed["win32/Krev.exe"],
                               os.path.join(self.signed.folder, "changed-Krev.exe"))
        accepted, report = self.authority.verify(changed)
        self.assertFalse(accepted, report)
        self.assertIn("MISMATCH", report)

    def test_no_password_or_pin_on_a_command_line_in_the_output_or_in_what_the_build_keeps(self):
        self.assertGreater(self.signed.watch.signers_seen, 40, "the watch saw too few of the signer's runs to tell")
        self.assertEqual(self.signed.watch.found, [])
        secrets = [self.authority.password.encode(), self.authority.pin.encode()]
        steps = (self.signed.file_build, self.signed.again_build, self.signed.changed_build, self.signed.failed_build,
                 self.signed.token_build)
        for step in steps:
            for secret in secrets:
                self.assertNotIn(secret.decode(), step[1])
        kept = self.signed.kept_texts()
        self.assertIn("i686/CMakeCache.txt", kept)
        self.assertIn("build.log", kept)
        for name, text in kept.items():
            for secret in secrets:
                self.assertNotIn(secret, text, name)

    def test_a_rebuild_signs_nothing_again_and_a_changed_program_is_signed_afresh(self):
        self.assertBuilt(self.signed.again_build)
        before, again, requests = self.signed.again
        self.assertEqual(again, before)
        self.assertEqual(requests, 0, "a rebuild asked for time stamps")
        self.assertBuilt(self.signed.changed_build)
        before, after = self.signed.changed
        renewed = sorted(label for label in after if after[label] != before[label])
        self.assertEqual(renewed, ["win32/Farrow.exe", "win64/Farrow.exe"])

    def test_a_signing_failure_stops_the_build_and_leaves_no_unsigned_file(self):
        code, output, _ = self.signed.failed_build
        self.assertNotEqual(code, 0)
        self.assertIn("osslsigncode could not sign it", output)
        # osslsigncode's own words stand in the build's output.
        self.assertIn("Failed", output)
        # Each shipped file is either signed (by the earlier settings, not yet made again) or gone.
        self.assertTrue(self.signed.after_failure)
        self.assertLess(len(self.signed.after_failure), len(SHIPPED_NAMES))
        self.assertEqual([name for name, signed in self.signed.after_failure.items() if not signed], [])

    def test_a_time_stamp_server_that_never_answers_stops_signing_after_its_attempts(self):
        program = os.path.join(self.signed.folder, "Go.dll")
        shutil.copy(os.path.join(wine_env.ROOT, "dist", "win32", "Go.dll"), program)
        closed = "http://127.0.0.1:%d/" % self.unused_port()
        env = dict(self.authority.file_route(closed), KREV_TIMESTAMP_ATTEMPTS="3")
        result = subprocess.run(["bash", os.path.join(wine_env.ROOT, "scripts", "sign_pe.sh"), program], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = result.stdout.decode()
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("did not give a time stamp (3 attempts)", output)
        self.assertIn("RFC 3161 timestamping failed", output)  # osslsigncode's own words
        self.assertFalse(os.path.exists(program), "an unsigned file was left where a signed one was asked for")
        self.assertEqual([name for name in os.listdir(self.signed.folder) if name.startswith(".signing")], [])

    @staticmethod
    def unused_port():
        import socket
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            return probe.getsockname()[1]

    def test_win_verify_trust_takes_a_signed_program_and_refuses_a_changed_or_unsigned_one(self):
        machine = wine_env.machine()
        self.assertEqual(machine.probe("trust", windows_path(self.authority.path("authority.cer"))), "trusted")
        width = "win32" if wine_env.SHIPPED else "win64"
        signed = os.path.join(machine.helpers, "signed-Krev.exe")
        shutil.copy(self.signed.token_signed[width + "/Krev.exe"], signed)
        changed = changed_copy(signed, os.path.join(machine.helpers, "changed-Krev.exe"))
        unsigned = os.path.join(machine.helpers, "unsigned-Krev.exe")
        shutil.copy(os.path.join(wine_env.DIST, "Krev.exe"), unsigned)
        self.assertEqual(machine.probe("verify", windows_path(signed)), "trusted")
        self.assertEqual(machine.probe("verify", windows_path(changed)), "untrusted " + TRUST_E_BAD_DIGEST)
        self.assertEqual(machine.probe("verify", windows_path(unsigned)), "untrusted " + TRUST_E_NOSIGNATURE)
        # The package itself, as Windows checks it before it installs anything.
        package = os.path.join(machine.helpers, "signed-KrevSetup.msi")
        shutil.copy(self.signed.token_signed["KrevSetup.msi (%s)" % wine_env.ARCH], package)
        self.assertEqual(machine.probe("verify", windows_path(package)), "trusted")
