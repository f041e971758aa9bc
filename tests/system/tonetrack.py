"""Reading what tone_track (lib.sh) printed, for the tests' own checks."""
import statistics


def read(path):
    """The decoded length and the windows: [start, level1, level2, ...]."""
    lines = open(path).read().split("\n")
    return float(lines[0]), [list(map(float, l.split())) for l in lines[1:] if l]


def median_level(windows, col, start=0.0, end=1e9):
    """The median level of tone `col` (0-based) over windows in [start, end)."""
    return statistics.median(w[1 + col] for w in windows if start <= w[0] < end)


def weak_spans(windows, col, floor):
    """The spans (start, end) of the windows where tone `col` is below `floor`."""
    spans = []
    for w in windows:
        if w[1 + col] < floor:
            if spans and abs(spans[-1][1] - w[0]) < 0.05:
                spans[-1][1] = w[0] + 0.1
            else:
                spans.append([w[0], w[0] + 0.1])
    return [(round(a, 1), round(b, 1)) for a, b in spans]
