#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws one frame of a press as an SVG timing diagram, from the simulated pins' call log.

    docs/frame-diagram.py build/teruna [-g REMOTE] [-n BUTTON] > docs/frame.svg

Runs the tool on the virtual clock, reads back its calls and draws the first frame and the
start of the second: the levels, the symbol boundaries, each symbol's bit and duration.
"""
import os
import subprocess
import sys
import tempfile

WIDTH, LEFT, RIGHT = 1400, 20, 20
HIGH_Y, LOW_Y = 70, 130


def run(tool, args):
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "press.log")
        env = dict(os.environ, TERUNA_SIM_CLOCK="virtual", TERUNA_SIM_LOG=log)
        summary = subprocess.run([tool, *args], env=env, check=True, capture_output=True, text=True).stdout.strip()
        with open(log) as lines:
            return summary, [line.split() for line in lines]


def symbols(calls):
    """(kind, start_us, end_us) of each symbol, and the (time_us, level) of each write."""
    found, writes, pending, last_write = [], [], [], 0
    for fields in calls:
        time, call = int(fields[0]), fields[1]
        if call == "delayMicroseconds":
            pending.append(int(fields[2]))
        elif call == "digitalWrite":
            writes.append((time, int(fields[3])))
            if pending == [520]:
                found.append(("start", time - 520, time))
            elif pending == [300]:
                found.append(("1", last_write, time))
            elif pending == [110, 110]:
                found.append(("0", time - 220, time))
            if pending and pending != [110]:
                pending = []
            last_write = time
    return found, writes


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    summary, calls = run(sys.argv[1], sys.argv[2:])
    found, writes = symbols(calls)
    frame_us = next(s[1] for s in found[1:] if s[0] == "start")
    end_us = frame_us + 520 + 150
    scale = (WIDTH - LEFT - RIGHT) / end_us
    x = lambda us: LEFT + us * scale
    bits = "".join(kind for kind, start, _ in found if kind != "start" and start < frame_us)

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="230" font-family="sans-serif" '
           f'font-size="12"><rect width="100%" height="100%" fill="white"/>',
           f'<text x="{LEFT}" y="22" font-size="15">{summary}: code word 0x{int(bits, 2):06X}, '
           f'bits {bits}, one frame {frame_us} us, then the next start symbol</text>']
    level, path = 0, [f"M{x(0):.1f},{LOW_Y}"]
    for time, value in writes:
        if time > end_us:
            break
        y = HIGH_Y if level else LOW_Y
        path.append(f"L{x(time):.1f},{y}")
        level = value
        path.append(f"L{x(time):.1f},{HIGH_Y if level else LOW_Y}")
    path.append(f"L{x(end_us):.1f},{HIGH_Y if level else LOW_Y}")
    out.append(f'<path d="{" ".join(path)}" fill="none" stroke="#1a5fb4" stroke-width="2"/>')
    for kind, start, stop in found:
        if start >= end_us:
            break
        out.append(f'<line x1="{x(start):.1f}" y1="40" x2="{x(start):.1f}" y2="165" stroke="#999" '
                   f'stroke-dasharray="3,3"/>')
        middle = x((start + min(stop, end_us)) / 2)
        out.append(f'<text x="{middle:.1f}" y="55" text-anchor="middle" font-weight="bold">{kind}</text>')
        out.append(f'<text x="{middle:.1f}" y="182" text-anchor="middle" font-size="10">{stop - start}</text>')
    out.append(f'<text x="{LEFT}" y="210">Durations in microseconds. A one holds the level 300 us and then '
               f'changes it; a zero holds it 110 us, then pulses the opposite level for 110 us. This frame ends '
               f'{"high, so the next start symbol begins without a rising edge" if level else "low"}.</text>')
    out.append("</svg>")
    print("\n".join(out))


if __name__ == "__main__":
    main()
