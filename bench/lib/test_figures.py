#!/usr/bin/python3
"""Checks of the benchmark table's readers: a wrong unit or a missed crash
here would print a wrong figure or a failure as a success."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from figures import (  # noqa: E402
    Row, parse_app_receive, parse_cli_receiver, parse_fuzz, parse_soak, lift_delivery, lift_gauge,
    lift_chart, lift_run_log)

CLIENT_OUTPUT = """\
Connecting to host 127.0.0.1, port 5201
[  5] local 127.0.0.1 port 41234 connected to 127.0.0.1 port 5201
[ ID] Interval           Transfer     Bitrate         Retr  Cwnd
[  5]   0.00-1.00   sec  4.20 GBytes  36.1 Gbits/sec    0   3.18 MBytes
[  5]   1.00-2.00   sec  4.11 GBytes  35.3 Gbits/sec    0   3.18 MBytes
- - - - - - - - - - - - - - - - - - - - - - - - -
[ ID] Interval           Transfer     Bitrate         Retr
[  5]   0.00-2.00   sec  8.31 GBytes  35.7 Gbits/sec    0             sender
[  5]   0.00-2.04   sec  8.30 GBytes  34.9 Gbits/sec                  receiver

iperf Done.
"""


class RatesAreReadInMbitPerSecond(unittest.TestCase):
    def test_cli_summary_gives_the_receiver_line_not_the_sender_or_an_interval(self):
        self.assertAlmostEqual(parse_cli_receiver(CLIENT_OUTPUT), 34900.0)

    def test_cli_units_are_powers_of_a_thousand(self):
        line = "[  5]   0.00-3.00   sec   375 KBytes  {} {}                  receiver\n"
        for number, unit, mbps in (("1.02", "Mbits/sec", 1.02), ("941", "Kbits/sec", 0.941),
                                   ("0.00", "bits/sec", 0.0), ("1.50", "Tbits/sec", 1.5e6)):
            self.assertAlmostEqual(parse_cli_receiver(line.format(number, unit)), mbps)

    def test_cli_output_without_a_summary_gives_nothing(self):
        self.assertIsNone(parse_cli_receiver("iperf3: error - unable to connect to server\n"))
        self.assertIsNone(parse_cli_receiver(CLIENT_OUTPUT.split("- - -")[0]))

    def test_app_result_text_gives_the_receive_figure(self):
        self.assertAlmostEqual(
            parse_app_receive("Result — send: 12.70 Gbit/s · receive: 12.69 Gbit/s"), 12690.0)
        self.assertAlmostEqual(
            parse_app_receive("Result — send: 1.0 Mbit/s · receive: 950 Kbit/s"), 0.95)

    def test_other_status_texts_give_nothing(self):
        for text in ("Measuring… peak 950.0 Mbit/s", "iperf3 error: the server is busy",
                     "Result — send: 12.70 Gbit/s", ""):
            self.assertIsNone(parse_app_receive(text), text)


class FailuresAreNeverReportedAsSuccess(unittest.TestCase):
    def test_a_crashing_fuzz_worker_counts_as_a_crash_whatever_the_others_did(self):
        good = "#5000000\tDONE   cov: 529 ft: 2884\nDone 5000000 runs in 140 second(s)\n"
        crash = "==77== ERROR: libFuzzer: deadly signal\nSUMMARY: libFuzzer: deadly signal\n"
        executions, crashes = parse_fuzz("t", [0, 1], [good, crash], 10_000_000, 150)
        self.assertIs(crashes.met, False)
        self.assertIs(executions.met, False)  # 5 M of the 10 M asked for
        _, crashes = parse_fuzz("t", [0, 0], [good, good], 10_000_000, 150, ["w0-crash-1234"])
        self.assertIs(crashes.met, False)

    def test_clean_fuzz_workers_add_up_their_executions(self):
        good = "Done 5000000 runs in 140 second(s)\n"
        executions, crashes = parse_fuzz("t", [0, 0], [good, good], 10_000_000, 150)
        self.assertEqual(executions.measured, 10_000_000)
        self.assertIs(executions.met, True)
        self.assertIs(crashes.met, True)

    def test_soak_with_a_leftover_child_or_a_bad_ending_fails(self):
        out = ("start fds=3 threads=1 zombies=0 children=0 rss_kb=4500\n"
               "end   fds=3 threads=1 zombies=0 children=1 rss_kb=4600\n"
               "cycles=100 seconds=1.0 rate=100/s events=250 bad_endings=2\n")
        rows = {r.figure: r for r in parse_soak(out, 100)}
        self.assertIs(rows["Soak: zombie and leftover children at the end"].met, False)
        self.assertIs(rows["Soak: runs not ending with exactly one Exited, last"].met, False)
        self.assertIs(rows["Soak: descriptors, end ÷ start"].met, True)

    def test_a_soak_that_did_not_finish_fails(self):
        (row,) = parse_soak("start fds=3 threads=1 zombies=0 children=0 rss_kb=4500\n", 100)
        self.assertIs(row.met, False)


class GoalsCompareTheRatio(unittest.TestCase):
    def test_upper_lower_and_two_sided_goals(self):
        self.assertIs(Row("x", 11, 10, "", goal_max=1.1).met, True)
        self.assertIs(Row("x", 11.5, 10, "", goal_max=1.1).met, False)
        self.assertIs(Row("x", 97, 100, "", goal_min=0.98).met, False)
        self.assertIs(Row("x", 1.03, 1.0, "", goal_min=0.98, goal_max=1.02).met, False)
        self.assertIsNone(Row("x", 5, None, "", goal_max=1.0).met)  # nothing to compare

    def test_a_goal_on_the_difference_holds_against_a_reference_of_zero(self):
        self.assertIs(Row("x", 20, 0, "ms", goal_diff_max=20).met, True)
        self.assertIs(Row("x", 30, 5, "ms", goal_diff_max=20).met, False)
        self.assertIsNone(Row("x", 30, 0, "ms", goal_diff_max=20).ratio)

    def test_worst_gauge_scene_per_size_and_paced_delivery_carry_the_goals(self):
        text = ("gauge frame   360x240  idle            283.8 us/frame  ( 1.70 % of a 16.7 ms frame)\n"
                "gauge frame   360x240  full scale      351.5 us/frame  ( 2.11 % of a 16.7 ms frame)\n"
                "gauge frame  3840x2160 idle           1255.3 us/frame  ( 7.53 % of a 16.7 ms frame)\n"
                "paint_gauge   360x240  full scale     3326.6 us/frame  (19.96 % of a 16.7 ms frame)\n"
                "delivery (one line every 200 us, 10000 lines): p50 16.5 us, p99 46.0 us, max 90 us\n"
                "delivery (burst, 20000 lines): p50 483.8 us, p99 6243.1 us, max 10158.7 us\n")
        small, big = lift_gauge(text)
        self.assertAlmostEqual(small.measured, 0.3515)
        self.assertIs(small.met, False)  # 2.11 % against 2 %
        self.assertIn("plain painter (paint_gauge) 3.33 ms", small.note)
        self.assertIs(big.met, True)
        paced, burst = lift_delivery(text)
        self.assertIs(paced.met, True)
        self.assertIsNone(burst.met)

    def test_chart_frame_is_held_to_2_ms_of_processor_time_at_scale_1(self):
        # As bench-chart printed it on a loaded machine.
        text = ("chart data   86400 readings added one by one     30.1 ms in all\n"
                "chart frame  86400 readings  1200x400 at scale 1    1.359 ms/frame of processor time "
                "(goal 2 ms),  3.030 ms on the clock\n"
                "chart frame  86400 readings  1200x400 at scale 2    3.156 ms/frame of processor time "
                "(goal 2 ms),  6.186 ms on the clock\n")
        one, two = lift_chart(text)
        self.assertAlmostEqual(one.measured, 1.359)
        self.assertIs(one.met, True)
        self.assertIn("3.03 ms on the clock", one.note)
        self.assertIsNone(two.met)

    def test_run_log_memory_is_set_against_the_text_it_came_from(self):
        (row,) = lift_run_log(
            "run log: 100 runs x 3600 intervals: 81.9 MB on the heap (228 B per interval), resident +80.5 MB; "
            "iperf3 printed 30.5 MB of lines for them; filled in 252 ms\n")
        self.assertEqual((row.measured, row.reference, row.unit), (81.9, 30.5, "MB"))
        self.assertIn("228 B per interval", row.note)
        self.assertIsNone(lift_run_log("")[0].measured)


if __name__ == "__main__":
    unittest.main()
