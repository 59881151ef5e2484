"""An independent computation of capture_inspect's figures of merit, written
from the conventions its manual page states, with numpy and scipy; compared
with capture_inspect's JSON for the same capture. Where the window cannot
part the tone's lines, the lines come from a least-squares fit of complex
exponentials over the whole capture (numpy's lstsq), as the manual says.
Usage: check_figures.py CAPTURE JSON. Prints one line per figure compared
and the largest difference in dB; exit status 0 when every figure agrees
(dB figures within 0.1 dB, ENOB within 0.02 bit, frequency within 0.05 Hz,
phase imbalance within 0.1 degree)."""
import json
import math
import sys

import numpy as np
from scipy import optimize, signal

N = 4096          # samples a segment
HOP = N // 2      # segments overlap by half
LOBE = 2          # bins either side of a line's nearest bin
FULL = 2048.0 ** 2  # a full-scale complex tone's power


def hann_response(d):
    """The periodic Hann window's spectrum d bins from a bin, by direct sum."""
    n = np.arange(N)
    w = 0.5 - 0.5 * np.cos(2 * np.pi * n / N)
    return np.sum(w * np.exp(-2j * np.pi * d * n / N))


def lobe_gain(offset):
    return sum(abs(hann_response(offset - j)) ** 2 for j in range(-LOBE, LOBE + 1))


def lobe(p, k):
    return sum(p[(k + j) % N] for j in range(-LOBE, LOBE + 1))


def nearest(at):
    at = at % N
    b = int(round(at))
    return b % N, at - b


def power(p, at, noise_bin):
    """A line's power in sample units squared, its lobe's noise taken out."""
    b, offset = nearest(at)
    return (lobe(p, b) - (2 * LOBE + 1) * noise_bin) / lobe_gain(offset)


def reach(pw, noise_bin):
    """Bins either side a line's leakage stays above a hundredth of a bin's noise."""
    peak = max(pw, 0) * abs(hann_response(0)) ** 2
    e = LOBE + 1
    while e < 256:
        d = e - 0.5
        if peak / (math.pi ** 2 * d * d * (d * d - 1) ** 2) <= 0.01 * noise_bin:
            break
        e += 1
    return e


# DC, the tone, its image and the harmonics as they fall for I/Q data.
MULTIPLES = [0, 1, -1, 2, -2, -3, 4, -4, 5, 6, -6]


def window_parts(ats, powers, noise_bin):
    """False where a line's leakage reaches another's lobe (DC's own lobe is
    not read)."""
    for s_at, s_power in zip(ats, powers):
        e = reach(s_power, noise_bin) + LOBE
        for v_at in ats[1:]:
            if v_at is s_at:
                continue
            a, _ = nearest(s_at)
            b, _ = nearest(v_at)
            d = abs(a - b)
            if min(d, N - d) <= e:
                return False
    return True


def fit_lines(x, tone_at):
    """The lines' complex amplitudes by least squares at the tone's frequency;
    a line within one turn over the capture of one before it (in the order
    tone, DC, image, harmonics) falls on it and gets none."""
    n = np.arange(len(x))
    omega = 2 * np.pi * tone_at / N
    order = [1, 0] + list(range(2, len(MULTIPLES)))
    apart = []
    for k in order:
        gap = [abs(math.remainder((MULTIPLES[k] - MULTIPLES[a]) * omega, 2 * np.pi)) * len(x)
               for a in apart]
        if all(g >= 2 * np.pi for g in gap):
            apart.append(k)
    columns = np.array([np.exp(1j * MULTIPLES[k] * omega * n) for k in apart]).T
    solved, *_ = np.linalg.lstsq(columns, x, rcond=None)
    amplitudes = [0j] * len(MULTIPLES)
    for k, a in zip(apart, solved):
        amplitudes[k] = a
    return amplitudes


def fine_frequency(x, coarse_bin):
    """The tone where the transform of the whole capture, windowed, peaks: the
    largest of its bins near the coarse one, then between its neighbours."""
    n = np.arange(len(x))
    w = signal.windows.hann(len(x), sym=False)
    whole = np.abs(np.fft.fft(x * w)) ** 2
    scale = len(x) / N  # the whole capture's bins to a segment's bin
    near = np.arange(int((coarse_bin - 2) * scale), int((coarse_bin + 2) * scale) + 1)
    peak = near[np.argmax(whole[near % len(x)])]

    def minus_power(bins):
        return -abs(np.sum(x * w * np.exp(-2j * np.pi * bins / N * n))) ** 2

    found = optimize.minimize_scalar(minus_power, bounds=((peak - 1) / scale, (peak + 1) / scale),
                                     method="bounded", options={"xatol": 1e-10})
    return found.x


def channel_figures(x, rate):
    # The Welch spectrum: |X|^2 a segment, averaged (scipy scales it by the
    # window's sum squared; that is undone).
    w = signal.windows.hann(N, sym=False)
    _, p = signal.welch(x, fs=rate, window=w, nperseg=N, noverlap=HOP, detrend=False,
                        return_onesided=False, scaling="spectrum", average="mean")
    p = p * np.sum(w) ** 2
    window_sq = np.sum(w ** 2)
    search = np.arange(LOBE + 1, N - LOBE)
    k = int(search[np.argmax(p[search])])
    coarse = k if k < N / 2 else k - N
    tone_at = fine_frequency(x, coarse)
    dc = np.mean(x)
    parts = [("dc", 0.0), ("tone", tone_at), ("image", -tone_at)]
    for h in range(2, 7):
        sides = [1, -1] if h % 2 == 0 else [1 if ((h - 1) // 2) % 2 == 0 else -1]
        for side in sides:
            parts.append(("hd%d" % h, side * h * tone_at))
    srt = np.sort(p)
    segments = 1 + (len(x) - N) // HOP
    noise_bin = srt[N // 2] / (1 - 1 / (9 * segments)) ** 3

    def measure(nb):
        return [abs(dc) ** 2 if name == "dc" else power(p, at, nb) for name, at in parts]

    def exclude(pws, nb):
        excluded = np.zeros(N, bool)
        for pw, (_, at) in zip(pws, parts):
            b, _ = nearest(at)
            e = reach(pw, nb)
            excluded[[(b + j) % N for j in range(-e, e + 1)]] = True
        return excluded

    powers = measure(noise_bin)
    fitted = not window_parts([at for _, at in parts], powers, noise_bin)
    if fitted:
        amplitudes = fit_lines(x, tone_at)
        powers = [abs(a) ** 2 for a in amplitudes]
        dc = amplitudes[0]
        excluded = exclude(powers, noise_bin)
        noise_bin = np.mean(p[~excluded])
    else:
        excluded = exclude(powers, noise_bin)
        noise_bin = np.mean(p[~excluded])
        powers = measure(noise_bin)
    tone = powers[1]
    noise = noise_bin / window_sq
    image = max(powers[2], 0)
    harmonics = sum(max(pw, 0) for pw in powers[3:])
    tone_dbfs = 10 * math.log10(tone / FULL)
    sinad = 10 * math.log10(tone / (noise + image + harmonics))
    floor = (2 * LOBE + 1) * noise_bin / lobe_gain(0)
    loudest = int(np.argmax(np.where(excluded, -np.inf, p)))
    spurs = powers[2:] + [power(p, loudest, noise_bin)]
    spur = max(max(spurs), floor)
    # The tone against its image: v / conj(u), from the fit or over the
    # segments as X[k] X[-k] / |X[k]|^2.
    starts = range(0, len(x) - N + 1, HOP)
    xs = np.array([np.fft.fft(x[s:s + N] * w) for s in starts])
    b, _ = nearest(tone_at)
    lobe_bins = [(b + j) % N for j in range(-LOBE, LOBE + 1)]
    product = sum(np.sum(xs[:, j] * xs[:, (N - j) % N]) for j in lobe_bins) / len(xs)
    own = sum(p[j] - noise_bin for j in lobe_bins)
    r = amplitudes[2] / np.conj(amplitudes[1]) if fitted else product / own
    z = (1 - r) / (1 + r)
    offset = tone_at % N
    if offset >= N / 2:
        offset -= N
    return {
        "tone_offset_hz": offset * rate / N,
        "tone_dbfs": tone_dbfs,
        "snr_db": 10 * math.log10(tone / noise),
        "sinad_db": sinad,
        "thd_dbc": 10 * math.log10(harmonics / tone) if harmonics > 0 else -200.0,
        "sfdr_dbc": 10 * math.log10(tone / spur),
        "enob_bits": (sinad - tone_dbfs - 1.76) / 6.02,
        "nsd_dbfs_hz": 10 * math.log10(noise / FULL) - 10 * math.log10(rate),
        "iq_gain_imbalance_db": 20 * math.log10(abs(z)),
        "iq_phase_imbalance_deg": -math.degrees(np.angle(z)),
        "lo_leakage_dbc": 10 * math.log10(abs(dc) ** 2 / tone) if abs(dc) > 0 else -200.0,
    }


def main():
    raw = np.fromfile(sys.argv[1], dtype="<i2").astype(np.float64).reshape(-1, 4)
    got = json.load(open(sys.argv[2]))
    rate = got["sample_rate"]
    worst = 0.0
    ok = True
    for c in range(2):
        x = raw[:, 2 * c] + 1j * raw[:, 2 * c + 1]
        mine = channel_figures(x, rate)
        theirs = got["channels"][c]
        for key, value in mine.items():
            other = theirs[key]
            diff = other - value
            if key in ("thd_dbc", "lo_leakage_dbc") and max(value, other) < -100:
                continue  # no harmonics or DC to speak of: both at their floors
            limit = {"enob_bits": 0.02, "tone_offset_hz": 0.05,
                     "iq_phase_imbalance_deg": 0.1}.get(key, 0.1)
            if key.endswith("_db") or key.endswith("_dbc") or key.endswith("_dbfs") \
                    or key.endswith("_dbfs_hz"):
                worst = max(worst, abs(diff))
            agrees = abs(diff) <= limit
            ok = ok and agrees
            print("ch%d %-24s python %14.6f capture_inspect %14.6f  %s" %
                  (c, key, value, other, "" if agrees else "DISAGREES"))
    print("largest difference in dB: %.6f" % worst)
    return 0 if ok else 1


sys.exit(main())
