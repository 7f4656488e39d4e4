"""Tests of the private-network fixture's own reckoning: the time period of a
consensus and the shared random value its consensus file carries."""

import base64

import pytest

import testnet

HEADER = """network-status-version 3 microdesc
valid-after {va}
fresh-until {fu}
params hsdir-interval=24
{srv}r relay1 AAAA 2026-12-06 17:00:00 127.0.0.1 3 4
s Fast HSDir Running Valid
"""
CUR, PREV = "Q1VSUkVOVA==", "UFJFVklPVVM="
BOTH = f"shared-rand-previous-value 5 {PREV}\nshared-rand-current-value 4 {CUR}\n"
DISASTER = base64.b64encode(testnet.disaster_srv(24, 1247623)).decode()


@pytest.mark.parametrize("va, fu, params, want", [  # want: length, period, into, offset
    ("2026-12-05 18:00:00", "2026-12-05 19:00:00", "", (1440, 20792, 360, 720)),
    ("2026-12-05 11:00:00", "2026-12-05 12:00:00", "", (1440, 20791, 1380, 720)),
    ("2026-12-05 12:00:00", "2026-12-05 13:00:00", "", (1440, 20792, 0, 720)),
    # The test network: 60 s voting interval, 24-minute periods, 12-minute offset.
    ("2026-12-06 17:24:00", "2026-12-06 17:25:00", "hsdir-interval=24", (24, 1247623, 0, 12)),
    ("2026-12-06 17:47:00", "2026-12-06 17:48:00", "hsdir-interval=24", (24, 1247623, 23, 12)),
    ("1970-01-01 00:05:00", "1970-01-01 00:06:00", "hsdir-interval=24", (24, 0, 5, 12)),
])
def test_consensus_period(va, fu, params, want):
    # Only the header counts, not a later line of the same name.
    doc = (f"valid-after {va}\nfresh-until {fu}\nparams {params}\n"
           "r x\nvalid-after 1999-01-01 00:00:00\n")
    assert testnet.consensus_period(doc) == want


@pytest.mark.parametrize("va, srv_lines, source, value", [
    # Until the next shared-random run begins (12 minutes before the period's
    # end) the current value places the descriptor; after, the previous one.
    ("2026-12-06 17:35:00", BOTH, "current", f"4 {CUR}"),
    ("2026-12-06 17:36:00", BOTH, "previous", f"5 {PREV}"),
    # A young network has neither: the disaster value of the period.
    ("2026-12-06 17:24:00", "", "disaster", f"0 {DISASTER}"),
    ("2026-12-06 17:40:00", f"shared-rand-current-value 0 {CUR}\n", "disaster", f"0 {DISASTER}"),
])
def test_with_period_srv(va, srv_lines, source, value):
    fu = va[:-5] + "%02d:00" % (int(va[-5:-3]) + 1)
    text, got_source = testnet.with_period_srv(HEADER.format(va=va, fu=fu, srv=srv_lines))
    # One value line, right after "params", the rest of the document unchanged.
    assert (got_source, text) == (source, HEADER.format(
        va=va, fu=fu, srv=f"shared-rand-current-value {value}\n"))
