"""bench/figures.py as bench/run.sh uses it: the figures and the JSON from
recorded samples, and the copy's check and timing when rotation has dropped
the beginning of the volume."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.path.join(HERE, "..", "..", "bench", "figures.py")


def run(*args):
    return subprocess.run([sys.executable, "-B", PROGRAM, *args], capture_output=True, text=True)


class Figures(unittest.TestCase):
    def test_report_from_recorded_samples(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "figures.json")
            self.assertEqual(run("report", os.path.join(HERE, "samples.txt"), path).returncode, 0)
            with open(path) as f:
                document = json.load(f)
        figures, details = document["figures"], document["details"]
        # Each: talvex, reference, met.  The idle figure pairs each round's
        # windows (20, 20, 0 over the plain reference: 20); the medians of
        # the kinds' windows taken apart would give 5.
        expected = {
            "copy_100_ratio": (1.213, 1.425, False),
            "copy_8192_ratio": (2.25, 1.0, True),
            "stop_ms": (11.0, 0.0, False),
            "restart_ms": (10.0, 0.0, True),
            # Talvex's dump over the keep-alive reference's, round by round
            # (3, 4, 4); the dump itself took 6 ms.
            "dump_ms": (4.0, 0.0, True),
            "idle_cpu_ms_per_min": (20.0, 14.0, None),
            # Talvex's stop over the keep-alive reference's, round by round
            # (5, 7, 8); its Wine-server calls against the keep-alive
            # reference's (730 and 730 a minute), not the plain one's (600).
            "stop_over_event_reference_ms": (7.0, 0.0, False),
            "idle_server_calls_per_min": (730.0, 730.0, True),
            "memory_mib": (1.465, 0.0, True),
            # A resting service's growth after its first timed wake: the
            # largest of 0 and -4.
            "idle_growth_kib": (0.0, 0.0, True),
            "start_ms": (15.0, 0.0, True),
            "cpu_per_mib_ratio": (1.15, 1.0, False),
            "copy_100_rotation_ratio": (0.9, 1.0, False),
            "copy_100_compressed_ratio": (None, 1.0, None),
            "idle_scale_ratio": (1.0, 1.0, True),
        }
        self.assertEqual(set(figures), set(expected))
        for key, (talvex, reference, met) in expected.items():
            got = figures[key]
            self.assertEqual((got["talvex"], got["reference"], got["met"]), (talvex, reference, met), key)
        for key in ("keepalive_reference_idle_cpu_ms_per_min", "copy_100_lazy_reader_ratio", "talvex_rss_kib",
                    "reference_rss_kib", "keepalive_reference_rss_kib", "talvex_own_ms_per_min", "reference_server_ms_per_min",
                    "restart_cycles_growth_kib", "container_stop_ms"):
            self.assertIsNotNone(details[key], key)
        self.assertEqual(details["keepalive_reference_idle_cpu_ms_per_min"], 14.0)
        self.assertEqual((details["dump_control_to_attempt_ms"], details["keepalive_reference_dump_ms"]), (6.0, 2.0))
        # 730 calls a minute a service with 24 as with six.
        self.assertEqual(details["scale_server_calls_ratio"], 1.0)
        self.assertEqual(figures["idle_server_calls_per_min"]["spread"], [-7.0, 5.0])
        self.assertEqual(document["focus"], {"keys": ["start_ms", "copy_100_ratio"], "rounds": 7, "minutes": 25})

    def test_volume_after_rotation_dropped_its_beginning(self):
        volume = bytes(b"0123456789"[i % 10] for i in range(1000))
        stream = (b"talvex line\n\b" + volume[:400] + b"NT Service starting input flusher thread\r\n" +
                  volume[400:] + b"bench container: ending by itself\r\n\a0\a")
        with tempfile.TemporaryDirectory() as scratch:
            log, reference, samples = (os.path.join(scratch, n) for n in ("s.out", "ref.out", "samples"))
            with open(reference, "wb") as f:
                f.write(b"\b" + volume + b"bench container: ending by itself\r\n")
            # The first 300 bytes went with a generation beyond the count.
            for name, part in ((log + ".1", stream[300:800]), (log, stream[800:])):
                with open(name, "wb") as f:
                    f.write(part)
            with open(samples, "w") as f:
                sizes = list(range(100, len(stream), 100)) + [len(stream)]
                f.writelines(f"{size / 1000:.3f} {size}\n" for size in sizes)
            # From the sample that holds the volume's first byte, counted a
            # volume before its end (byte 55, in the sample of 100 bytes), to
            # the one that holds its last (byte 1054, in that of 1093).
            result = run("volume", samples, log, "1000", reference)
            self.assertEqual((result.returncode, result.stdout), (0, "bytes=1000 seconds=0.993000\n"))
            with open(log + ".1", "r+b") as f:
                f.write(b"X")
            result = run("volume", samples, log, "1000", reference)
            self.assertEqual(result.returncode, 1)
            self.assertIn("not the end of the reference", result.stdout)

    def test_watch_counts_the_bytes_of_rotated_files(self):
        with tempfile.TemporaryDirectory() as scratch:
            log, samples = os.path.join(scratch, "s.out"), os.path.join(scratch, "samples")
            watch = subprocess.Popen([sys.executable, "-B", PROGRAM, "watch", log, samples, "60"])

            def last_size():
                with open(samples) as f:
                    lines = f.read().split("\n")[:-1]
                return int(lines[-1].split()[1]) if lines else None

            def await_size(size):
                for _ in range(200):
                    if os.path.exists(samples) and last_size() == size:
                        return True
                    time.sleep(0.05)
                return False

            try:
                while not os.path.exists(samples):
                    time.sleep(0.05)
                with open(log, "wb") as f:
                    f.write(b"x" * 100)
                self.assertTrue(await_size(100))
                os.rename(log, log + ".1")
                with open(log, "wb") as f:
                    f.write(b"y" * 30)
                self.assertTrue(await_size(130))
            finally:
                watch.send_signal(signal.SIGTERM)
                watch.wait()


if __name__ == "__main__":
    unittest.main()
