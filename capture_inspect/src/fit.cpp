#include "fit.h"

#include <fftw3.h>
#include <sys/mman.h>
#include <unistd.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "capture_format.h"
#include "vector_clones.h"

namespace {

using Complex = std::complex<double>;

constexpr std::size_t kSpan = 256;  // frames a float dot product sums, with one phasor

// e^(-j theta n) for a frame number of any size: the turns are taken modulo
// one in long double first.
Complex turned(double theta, std::uint64_t n) {
    const long double turns = static_cast<long double>(theta) / (2 * M_PIl) * n;
    const double fraction = static_cast<double>(turns - std::floor(turns));
    return std::polar(1.0, -2 * M_PI * fraction);
}

// Each line's stream turned down by its coarse frequency and summed in
// blocks, kept in float: a block's rounding is far below its noise.
struct Zoom {
    std::uint64_t frames = 0, block = 0, blocks = 0;
    int channel = 0;
    double coarse = 0;                                   // the tone's, radians a frame
    std::vector<int> multiple;                           // per line, of the tone's frequency
    std::vector<double> theta;                           // per line, radians a frame
    std::vector<std::vector<std::complex<float>>> sums;  // [line][block]
};

constexpr std::size_t kReadFrames = 16384;  // frames a read takes
constexpr std::uint64_t kExactBlocks = 64;  // blocks whose turn comes from the one before

// Gives back the whole pages of the mapped capture from `from` up to `to`,
// and gives where the next call starts: they are read once, and the memory
// stays bounded. A page given back early would be read in again.
const char* release(const char* from, const char* to, bool last) {
    if (!last && to - from < (1 << 20)) return from;  // a megabyte at a time
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(from) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(to) / page * page;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    return end > start ? reinterpret_cast<const char*>(end) : from;
}

// Reads frames [first, first + count) into `out`, interleaved.
void read_frames(const FitSource& source, std::uint64_t first, std::size_t count,
                 std::int16_t* out) {
    if (source.kept != nullptr) {
        std::memcpy(out, source.kept->data() + kFrameValues * first, count * kFrameBytes);
        return;
    }
    char* bytes = reinterpret_cast<char*>(out);
    std::size_t done = 0;
    const std::size_t want = count * kFrameBytes;
    while (done < want) {
        const ssize_t n = pread(source.fd, bytes + done, want - done,
                                static_cast<off_t>(first * kFrameBytes + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::strerror(errno));
        if (n == 0) throw std::runtime_error("the capture grew shorter while it was read");
        done += static_cast<std::size_t>(n);
    }
}

constexpr int kMostMultiple = 6;  // the sixth harmonic's

// cos and sin of m theta i over a span, in float, for m = 1 .. 6, and the
// turn a whole span makes for each line.
struct Tables {
    std::vector<float> cos, sin;
    std::vector<Complex> span_turn;
    Tables(double coarse, const std::vector<double>& theta)
        : cos(kMostMultiple * kSpan), sin(kMostMultiple * kSpan), span_turn(theta.size()) {
        for (int m = 1; m <= kMostMultiple; ++m) {
            const double step = std::remainder(m * coarse, 2 * M_PI);
            for (std::size_t i = 0; i < kSpan; ++i) {
                const std::size_t at = static_cast<std::size_t>(m - 1) * kSpan + i;
                cos[at] = static_cast<float>(std::cos(step * static_cast<double>(i)));
                sin[at] = static_cast<float>(std::sin(step * static_cast<double>(i)));
            }
        }
        for (std::size_t k = 0; k < theta.size(); ++k)
            span_turn[k] = std::polar(1.0, -theta[k] * static_cast<double>(kSpan));
    }
};

// A span's sums for each m: A = sum xi cos, B = sum xq sin, C = sum xq cos,
// D = sum xi sin; with them (xi + j xq) e^(-+j m theta i) sums to
// (A +- B) + j (C -+ D): a line and its mirror from four products.
struct SpanSums {
    float a[kMostMultiple], b[kMostMultiple], c[kMostMultiple], d[kMostMultiple];
    float i, q;
};

typedef float Floats8 __attribute__((vector_size(32)));

// Eight lanes at a time: the compiler does not vectorise a sum of floats on
// its own.
ORLIX_VECTOR_CLONES void span_sums(const float* xi, const float* xq, const float* cos,
                                   const float* sin, SpanSums& out) {
    Floats8 si = {}, sq = {};
    for (std::size_t i = 0; i < kSpan; i += 8) {
        Floats8 a, q;
        std::memcpy(&a, xi + i, sizeof a);
        std::memcpy(&q, xq + i, sizeof q);
        si += a;
        sq += q;
    }
    out.i = out.q = 0;
    for (int l = 0; l < 8; ++l) out.i += si[l], out.q += sq[l];
    for (int m = 0; m < kMostMultiple; ++m) {
        Floats8 va = {}, vb = {}, vc = {}, vd = {};
        const float* c = cos + static_cast<std::size_t>(m) * kSpan;
        const float* s = sin + static_cast<std::size_t>(m) * kSpan;
        for (std::size_t i = 0; i < kSpan; i += 8) {
            Floats8 a, q, tc, ts;
            std::memcpy(&a, xi + i, sizeof a);
            std::memcpy(&q, xq + i, sizeof q);
            std::memcpy(&tc, c + i, sizeof tc);
            std::memcpy(&ts, s + i, sizeof ts);
            va += a * tc;
            vb += q * ts;
            vc += q * tc;
            vd += a * ts;
        }
        out.a[m] = out.b[m] = out.c[m] = out.d[m] = 0;
        for (int l = 0; l < 8; ++l) {
            out.a[m] += va[l], out.b[m] += vb[l], out.c[m] += vc[l], out.d[m] += vd[l];
        }
    }
}

// One channel's I and Q of `n` interleaved frames as floats, the span's rest
// zero.
ORLIX_VECTOR_CLONES void to_planes(const std::int16_t* v, std::size_t n, float* xi, float* xq) {
    if (n == kSpan) {
        for (std::size_t i = 0; i < kSpan; ++i) {
            xi[i] = v[kFrameValues * i];
            xq[i] = v[kFrameValues * i + 1];
        }
        return;
    }
    for (std::size_t i = 0; i < kSpan; ++i) {
        xi[i] = i < n ? v[kFrameValues * i] : 0.0f;
        xq[i] = i < n ? v[kFrameValues * i + 1] : 0.0f;
    }
}

// Adds a span of one channel's frames, turned down by each line, to `sums`.
void add_span(const float* xi, const float* xq, const Tables& t, const std::vector<int>& multiple,
              std::vector<Complex>& phasor, std::vector<Complex>& sums) {
    SpanSums s;
    span_sums(xi, xq, t.cos.data(), t.sin.data(), s);
    for (std::size_t k = 0; k < sums.size(); ++k) {
        const int m = multiple[k];
        Complex own(s.i, s.q);
        if (m != 0) {
            const std::size_t at = static_cast<std::size_t>(std::abs(m) - 1);
            const double a = s.a[at], b = s.b[at], c = s.c[at], d = s.d[at];
            own = m > 0 ? Complex(a + b, c - d) : Complex(a - b, c + d);
        }
        sums[k] += phasor[k] * own;
        phasor[k] *= t.span_turn[k];
    }
}

// The block sums of blocks [from, to) of every channel in `zooms`.
// The frames come from `mapped` where it is not null (the kept frames, or the
// capture mapped, whose pages are given back as they are read), else by
// reading.
void zoom_blocks(const FitSource& source, const std::int16_t* mapped, bool file, std::uint64_t from,
                 std::uint64_t to, std::vector<Zoom>& zooms) {
    std::vector<Tables> tables;
    for (const Zoom& z : zooms) tables.emplace_back(z.coarse, z.theta);
    const Zoom& shape = zooms.front();
    std::vector<std::int16_t> frames(mapped ? 0 : kFrameValues * kReadFrames);
    std::vector<float> xi(kSpan), xq(kSpan);
    // Per channel and line: the turn at the block's start, the turn from one
    // block to the next, and at the span's start.
    std::vector<std::vector<Complex>> phasor(zooms.size()), turn(zooms.size()), span(zooms.size()),
        sums(zooms.size());
    for (std::size_t c = 0; c < zooms.size(); ++c) {
        for (double theta : zooms[c].theta) {
            turn[c].push_back(turned(theta, shape.block));
            phasor[c].push_back(0.0);
        }
    }
    const char* given_back =
        reinterpret_cast<const char*>(mapped + kFrameValues * from * shape.block);
    for (std::uint64_t b = from; b < to; ++b) {
        const std::uint64_t start = b * shape.block;
        const std::uint64_t end = std::min(start + shape.block, shape.frames);
        for (std::size_t c = 0; c < zooms.size(); ++c) {
            sums[c].assign(zooms[c].theta.size(), 0.0);
            // Each block's turn from the one before, set anew every
            // kExactBlocks: the same on any number of threads.
            for (std::size_t k = 0; k < zooms[c].theta.size(); ++k) {
                phasor[c][k] = b % kExactBlocks == 0 ? turned(zooms[c].theta[k], start)
                                                     : phasor[c][k] * turn[c][k];
            }
            span[c] = phasor[c];
        }
        for (std::uint64_t piece = start; piece < end; piece += kReadFrames) {
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadFrames, end - piece));
            const std::int16_t* read = mapped + kFrameValues * piece;
            if (!mapped) {
                read_frames(source, piece, count, frames.data());
                read = frames.data();
            }
            for (std::size_t at = 0; at < count; at += kSpan) {
                const std::size_t n = std::min(kSpan, count - at);
                for (std::size_t c = 0; c < zooms.size(); ++c) {
                    to_planes(read + kFrameValues * at + 2 * zooms[c].channel, n, xi.data(),
                              xq.data());
                    add_span(xi.data(), xq.data(), tables[c], zooms[c].multiple, span[c], sums[c]);
                }
            }
        }
        if (mapped && file) {
            given_back =
                release(given_back, reinterpret_cast<const char*>(mapped + kFrameValues * end),
                        b + 1 == to);
        }
        for (std::size_t c = 0; c < zooms.size(); ++c) {
            for (std::size_t k = 0; k < sums[c].size(); ++k)
                zooms[c].sums[k][b] = std::complex<float>(sums[c][k]);
        }
    }
}

// The block sums of the channels asked for, in one more pass.
std::vector<Zoom> zoom(const FitSource& source, const std::vector<int>& channels,
                       const std::vector<double>& coarse, const std::vector<int>& multiple,
                       unsigned jobs) {
    std::vector<Zoom> zooms(channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c) {
        Zoom& z = zooms[c];
        z.frames = source.frames;
        z.block = std::max<std::uint64_t>(1, (z.frames + kFitBlocks - 1) / kFitBlocks);
        z.blocks = (z.frames + z.block - 1) / z.block;
        z.channel = channels[c];
        z.coarse = coarse[c];
        z.multiple = multiple;
        for (int m : multiple) z.theta.push_back(std::remainder(m * coarse[c], 2 * M_PI));
        z.sums.assign(z.theta.size(), std::vector<std::complex<float>>(z.blocks));
    }
    // Each block is summed on its own: the same sums on any number of threads.
    const std::uint64_t blocks = zooms.front().blocks;
    const std::uint64_t groups = (blocks + kExactBlocks - 1) / kExactBlocks;
    const auto threads = static_cast<unsigned>(std::clamp<std::uint64_t>(jobs, 1, groups));
    // The capture read again through a mapping, where it maps.
    const std::size_t bytes = source.frames * kFrameBytes;
    void* map =
        source.fd >= 0 ? mmap(nullptr, bytes, PROT_READ, MAP_SHARED, source.fd, 0) : MAP_FAILED;
    const std::int16_t* mapped = source.kept != nullptr ? source.kept->data()
                                 : map != MAP_FAILED    ? static_cast<const std::int16_t*>(map)
                                                        : nullptr;
    if (map != MAP_FAILED) madvise(map, bytes, MADV_SEQUENTIAL);
    std::vector<std::thread> started;
    std::vector<std::string> trouble(threads);
    auto part = [&](unsigned t) {
        try {
            zoom_blocks(source, mapped, map != MAP_FAILED,
                        std::min(blocks, groups * t / threads * kExactBlocks),
                        std::min(blocks, groups * (t + 1) / threads * kExactBlocks), zooms);
        } catch (const std::exception& e) {
            trouble[t] = e.what();
        }
    };
    for (unsigned t = 1; t < threads; ++t) {
        try {
            started.emplace_back(part, t);
        } catch (const std::system_error&) {
            part(t);  // the threads it is given do the work of those it is refused
        }
    }
    part(0);
    for (std::thread& t : started) t.join();
    if (map != MAP_FAILED) munmap(map, bytes);
    for (const std::string& why : trouble) {
        if (!why.empty()) throw std::runtime_error(why);
    }
    return zooms;
}

// What the fit knows of one channel's block sums.
class Solver {
public:
    Solver(const Zoom& z, const std::vector<int>& multiple)
        : z_(z), multiple_(multiple), whole_(z.frames / z.block), last_(z.frames % z.block) {}

    // Which lines stand apart at `omega`: a line within one turn over the
    // capture of a line before it in the order tone, DC, image, harmonics
    // falls on that one.
    std::vector<std::size_t> falls_on(double omega) const {
        const std::size_t n = multiple_.size();
        std::vector<std::size_t> on(n);
        std::vector<std::size_t> order = {kToneLine, kDcLine};
        for (std::size_t k = kImageLine; k < n; ++k) order.push_back(k);
        std::vector<std::size_t> apart;
        for (std::size_t k : order) {
            on[k] = k;
            for (std::size_t a : apart) {
                const double gap =
                    std::fabs(std::remainder((multiple_[k] - multiple_[a]) * omega, 2 * M_PI));
                if (gap * static_cast<double>(z_.frames) < 2 * M_PI) {
                    on[k] = a;
                    break;
                }
            }
            if (on[k] == k) apart.push_back(k);
        }
        return on;
    }

    // Line l's part in line k's block sums at `omega`, summed after turning
    // each block back by line k's own offset: the fit's matrix.
    Complex response(std::size_t k, std::size_t l, double omega) const {
        const double phi = multiple_[l] * omega - z_.theta[k];
        const double step = (multiple_[l] - multiple_[k]) * omega;
        const double block = static_cast<double>(z_.block);
        Complex h = phasor_sum(phi, block) * phasor_sum(step * block, static_cast<double>(whole_));
        if (last_ > 0) {
            h += phasor_sum(phi, static_cast<double>(last_)) *
                 std::polar(1.0,
                            std::remainder(step * block * static_cast<double>(whole_), 2 * M_PI));
        }
        return h;
    }

    // Line k's block sums turned back by its offset at `omega`, summed.
    Complex projection(std::size_t k, double omega) const {
        return turned_sum(z_.sums[k], multiple_[k] * omega - z_.theta[k]);
    }

    // The amplitudes of the lines that stand apart at `omega`; zero for the
    // others.
    std::vector<Complex> amplitudes(double omega, const std::vector<std::size_t>& on) const {
        std::vector<std::size_t> apart;
        for (std::size_t k = 0; k < on.size(); ++k) {
            if (on[k] == k) apart.push_back(k);
        }
        const auto n = static_cast<Eigen::Index>(apart.size());
        Eigen::MatrixXcd h(n, n);
        Eigen::VectorXcd p(n);
        for (Eigen::Index r = 0; r < n; ++r) {
            p(r) = projection(apart[r], omega);
            for (Eigen::Index c = 0; c < n; ++c) h(r, c) = response(apart[r], apart[c], omega);
        }
        const Eigen::VectorXcd a = h.partialPivLu().solve(p);
        std::vector<Complex> out(on.size(), 0.0);
        for (Eigen::Index r = 0; r < n; ++r) out[apart[r]] = a(r);
        return out;
    }

    // The tone's block sums with every other line's part at `omega` taken out.
    std::vector<Complex> tone_alone(double omega, const std::vector<Complex>& a) const {
        std::vector<Complex> c(z_.sums[kToneLine].begin(), z_.sums[kToneLine].end());
        const double block = static_cast<double>(z_.block);
        for (std::size_t l = 0; l < a.size(); ++l) {
            if (l == kToneLine || a[l] == 0.0) continue;
            const double phi = multiple_[l] * omega - z_.theta[kToneLine];
            const Complex whole = a[l] * phasor_sum(phi, block);
            const Complex step = std::polar(1.0, std::remainder(phi * block, 2 * M_PI));
            Complex turn = 1;
            for (std::uint64_t b = 0; b < z_.blocks; ++b) {
                const Complex part =
                    b < whole_ ? whole : a[l] * phasor_sum(phi, static_cast<double>(last_));
                c[b] -= part * turn;
                turn *= step;
                if (b % 1024 == 1023) turn /= std::abs(turn);
            }
        }
        return c;
    }

    // The power of the tone alone at an offset `delta` from its coarse
    // frequency: largest at the tone's own.
    double tone_power(const std::vector<Complex>& c, double delta) const {
        return std::norm(turned_sum(c, delta));
    }

private:
    // The sum of s[b] e^(-j delta b B).
    template <typename T>
    Complex turned_sum(const std::vector<std::complex<T>>& s, double delta) const {
        const Complex step =
            std::polar(1.0, -std::remainder(delta * static_cast<double>(z_.block), 2 * M_PI));
        Complex turn = 1, sum = 0;
        for (std::size_t b = 0; b < s.size(); ++b) {
            sum += Complex(s[b]) * turn;
            turn *= step;
            if (b % 1024 == 1023) turn /= std::abs(turn);
        }
        return sum;
    }

    const Zoom& z_;
    const std::vector<int>& multiple_;
    const std::uint64_t whole_, last_;  // whole blocks, and the frames of a last part block
};

// Where a function on [lo, hi] that rises to one peak has it, within
// `tolerance`.
template <typename F>
double golden_peak(F f, double lo, double hi, double tolerance) {
    const double g = (std::sqrt(5.0) - 1) / 2;
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double fa = f(a), fb = f(b);
    while (hi - lo > tolerance) {
        if (fa < fb) {
            lo = a, a = b, fa = fb;
            b = lo + g * (hi - lo), fb = f(b);
        } else {
            hi = b, b = a, fb = fa;
            a = hi - g * (hi - lo), fa = f(a);
        }
    }
    return (lo + hi) / 2;
}

// Where the tone's power peaks near its coarse frequency, by a transform of
// its block sums padded fourfold: `reach` radians a frame either way.
double first_offset(const std::vector<Complex>& c, std::uint64_t block, double reach) {
    const std::size_t n = 4 * c.size();
    fftwf_complex* data = fftwf_alloc_complex(n);
    if (data == nullptr) throw std::bad_alloc();
    std::unique_ptr<fftwf_complex, decltype(&fftwf_free)> owned(data, &fftwf_free);
    for (std::size_t b = 0; b < n; ++b) {
        data[b][0] = b < c.size() ? static_cast<float>(c[b].real()) : 0.0f;
        data[b][1] = b < c.size() ? static_cast<float>(c[b].imag()) : 0.0f;
    }
    fftwf_plan plan =
        fftwf_plan_dft_1d(static_cast<int>(n), data, data, FFTW_FORWARD, FFTW_ESTIMATE);
    fftwf_execute(plan);
    fftwf_destroy_plan(plan);
    // Bin j holds the sum turned by 2 pi j / n a block.
    const double per_bin = 2 * M_PI / static_cast<double>(n) / static_cast<double>(block);
    double best = 0, best_power = -1;
    for (std::size_t j = 0; j < n; ++j) {
        const double delta =
            (j < n / 2 ? static_cast<double>(j) : static_cast<double>(j) - n) * per_bin;
        if (std::fabs(delta) > reach) continue;
        const double power = static_cast<double>(data[j][0]) * data[j][0] +
                             static_cast<double>(data[j][1]) * data[j][1];
        if (power > best_power) best_power = power, best = delta;
    }
    return best;
}

FitResult fit_one(const Zoom& z, const std::vector<int>& multiple, double coarse, Complex mean) {
    const Solver solver(z, multiple);
    const double frames = static_cast<double>(z.frames);
    // First the tone alone, with only DC (known from the mean) taken out:
    // anywhere within a bin and a half of its coarse place, as the block
    // rate allows.
    std::vector<Complex> a(multiple.size(), 0.0);
    a[kDcLine] = mean;
    const double bin = 2 * M_PI / 4096;
    const double reach = std::min(1.5 * bin, M_PI / static_cast<double>(z.block));
    const double resolution = 2 * M_PI / frames;
    double omega = coarse + first_offset(solver.tone_alone(coarse, a), z.block, reach);
    // Then in turn: every line's amplitude at that frequency, and the tone's
    // peak with the other lines taken out, until the frequency stays put.
    std::vector<std::size_t> on;
    for (int round = 0; round < 12; ++round) {
        on = solver.falls_on(omega);
        a = solver.amplitudes(omega, on);
        const std::vector<Complex> alone = solver.tone_alone(omega, a);
        const double offset = omega - coarse;
        const double found =
            golden_peak([&](double d) { return solver.tone_power(alone, d); },
                        offset - resolution / 2, offset + resolution / 2, resolution * 1e-7);
        omega = coarse + found;
        if (std::fabs(found - offset) * frames < 1e-5) break;
    }
    on = solver.falls_on(omega);
    return {omega, z.frames, solver.amplitudes(omega, on), on};
}

}  // namespace

const std::vector<FitLine>& fit_lines() {
    static const std::vector<FitLine> lines = {{"dc", 0},   {"tone", 1}, {"image", -1}, {"hd2", 2},
                                               {"hd2", -2}, {"hd3", -3}, {"hd4", 4},    {"hd4", -4},
                                               {"hd5", 5},  {"hd6", 6},  {"hd6", -6}};
    return lines;
}

Complex phasor_sum(double phi, double n) {
    phi = std::remainder(phi, 2 * M_PI);
    const double half = std::sin(phi / 2);
    if (half == 0) return n;
    return std::polar(std::sin(n * phi / 2) / half, phi * (n - 1) / 2);
}

std::array<std::optional<FitResult>, 2> fit_channels(const FitSource& source,
                                                     const std::array<FitStart, 2>& start,
                                                     unsigned jobs) {
    std::vector<int> multiple, channels;
    std::vector<double> coarse;
    for (const FitLine& l : fit_lines()) multiple.push_back(l.multiple);
    for (int c = 0; c < 2; ++c) {
        if (!start[c].wanted) continue;
        channels.push_back(c);
        coarse.push_back(start[c].coarse);
    }
    std::array<std::optional<FitResult>, 2> out;
    if (channels.empty() || source.frames == 0) return out;
    const std::vector<Zoom> zooms = zoom(source, channels, coarse, multiple, jobs);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const FitStart& s = start[channels[i]];
        out[channels[i]] = fit_one(zooms[i], multiple, s.coarse, s.mean);
    }
    return out;
}
