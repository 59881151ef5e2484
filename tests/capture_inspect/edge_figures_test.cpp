// capture_inspect's figures where a 4096-point window cannot part the lines
// (a tone near DC or +-rate/2, a harmonic beside the tone, DC beside it), on
// channels without a tone, and its continuity check on lost blocks: captures
// written directly with exact content, every figure held to what was put in.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "checks.h"
#include "fit.h"
#include "scan.h"
#include "simulated_captures.h"
#include "written_captures.h"

namespace {

using test_support::WrittenChannel;

constexpr double kRate = 2e6;
constexpr double kBin = kRate / 4096;
constexpr std::uint64_t kFrames = 1 << 19;

double db(double ratio) {
    return 10 * std::log10(ratio);
}

// A capture in memory, its one pass, and the figures with a fit where needed.
struct Inspected {
    int fd = -1;
    ScanResult scan;
    CaptureFigures figures;

    explicit Inspected(const std::vector<std::int16_t>& samples) {
        fd = memfd_create("capture", MFD_CLOEXEC);
        const std::size_t bytes = samples.size() * sizeof(std::int16_t);
        EXPECT_EQ(write(fd, samples.data(), bytes), static_cast<ssize_t>(bytes));
        lseek(fd, 0, SEEK_SET);
        scan = scan_capture(fd, 2, false);
        figures = figures_from(scan.sums, {}, source(), 2);
    }
    ~Inspected() { close(fd); }
    FitSource source() const { return {fd, nullptr, scan.sums.frames}; }
    std::vector<Check> checks() const {
        std::vector<double> limits;
        for (const CheckRule& rule : check_rules()) limits.push_back(rule.fallback);
        return run_checks(limits, false, figures);
    }
    bool passed(const std::string& name) const {
        for (const Check& c : checks()) {
            if (c.name == name) return c.passed;
        }
        ADD_FAILURE() << "no check " << name;
        return false;
    }
};

// A line is measured to 0.1 dB where its power over the noise, summed over
// the capture, leaves its estimate's spread well under that.
bool measurable(double power, const WrittenChannel& ch) {
    return power / ch.noise_power() * static_cast<double>(kFrames) > 2e5;
}

// Every figure of channel 0 against what was put in.
void expect_truth(const ChannelFigures& f, const WrittenChannel& ch) {
    ASSERT_TRUE(f.tone_offset_hz.has_value()) << "no tone found";
    EXPECT_NEAR(*f.tone_offset_hz, ch.tone_hz, 0.1);
    EXPECT_NEAR(*f.tone_dbfs, ch.tone_dbfs(), 0.1);
    EXPECT_NEAR(*f.snr_db, ch.snr_db(), 0.1);
    EXPECT_NEAR(*f.sinad_db, ch.sinad_db(), 0.1);
    EXPECT_NEAR(*f.enob_bits, ch.enob_bits(), 0.02);
    EXPECT_EQ(f.unresolved, "");
    if (measurable(ch.image_power(), ch)) {
        ASSERT_TRUE(f.image_dbc.has_value());
        EXPECT_FALSE(f.image_below_floor);
        EXPECT_NEAR(*f.image_dbc, db(ch.image_power() / ch.tone_power()), 0.1);
        const std::complex<double> z = ch.imbalance();
        EXPECT_NEAR(*f.iq_gain_imbalance_db, 20 * std::log10(std::abs(z)), 0.1);
        EXPECT_NEAR(*f.iq_phase_imbalance_deg, -std::arg(z) * 180 / M_PI, 0.1);
    }
    if (measurable(ch.harmonic_power(), ch)) {
        ASSERT_TRUE(f.thd_dbc.has_value());
        EXPECT_NEAR(*f.thd_dbc, db(ch.harmonic_power() / ch.tone_power()), 0.1);
    }
    if (measurable(std::norm(ch.dc), ch)) {
        ASSERT_TRUE(f.lo_leakage_dbc.has_value());
        EXPECT_NEAR(*f.lo_leakage_dbc, db(std::norm(ch.dc) / ch.tone_power()), 0.1);
    }
    double worst = ch.image_power();
    for (const WrittenChannel::Harmonic& h : ch.harmonics) worst = std::max(worst, std::norm(h.a));
    if (measurable(worst, ch) && !f.sfdr_below_floor) {
        EXPECT_NEAR(*f.sfdr_dbc, db(ch.tone_power() / worst), 0.1);
    }
}

struct Edge {
    std::string name;
    WrittenChannel channel;
};

// A tone `at` Hz with an image at -45 dBc, DC at -50 dBc, a second harmonic
// at -55 dBc and a third at -60 dBc, at SNR `snr` dB.
WrittenChannel receiver(double at, double snr) {
    WrittenChannel ch;
    const double amplitude = snr >= 60 ? 1000 : snr >= 20 ? 800 : 300;
    ch.tone_hz = at;
    ch.u = std::polar(amplitude, 0.3);
    ch.v = std::polar(amplitude * std::pow(10, -45 / 20.0), 1.1);
    ch.dc = std::polar(amplitude * std::pow(10, -50 / 20.0), -0.7);
    ch.harmonics = {{2, std::polar(amplitude * std::pow(10, -55 / 20.0), 2.0)},
                    {-3, std::polar(amplitude * std::pow(10, -60 / 20.0), -2.5)}};
    ch.noise = amplitude * amplitude / std::pow(10, snr / 10) - 1.0 / 6;
    return ch;
}

std::vector<Edge> edges(double snr) {
    std::vector<Edge> out;
    for (double bins : {2.3, 5.3, 10.3}) {
        out.push_back({"above DC", receiver(bins * kBin, snr)});
        out.push_back({"below DC", receiver(-bins * kBin, snr)});
        out.push_back({"below +rate/2", receiver(kRate / 2 - bins * kBin, snr)});
        out.push_back({"above -rate/2", receiver(-kRate / 2 + bins * kBin, snr)});
    }
    // A second harmonic 3 bins from the tone: -2 f0 wraps next to f0 at rate/3.
    WrittenChannel hd2 = receiver(kRate / 3 + kBin, snr);
    hd2.harmonics = {{-2, hd2.u * 0.01}};
    out.push_back({"second harmonic beside the tone", hd2});
    // DC at -20 dBc two bins from the tone.
    WrittenChannel dc = receiver(2 * kBin, snr);
    dc.dc = dc.u * 0.1;
    out.push_back({"DC beside the tone", dc});
    return out;
}

TEST(EdgeFigures, EveryFigureHoldsWhereTheWindowCannotPartTheLines) {
    int fitted = 0;
    for (double snr : {60.0, 20.0, 3.0}) {
        for (const Edge& e : edges(snr)) {
            SCOPED_TRACE(e.name + " at " + std::to_string(e.channel.tone_hz) + " Hz, SNR " +
                         std::to_string(snr));
            WrittenChannel both[2] = {e.channel, e.channel};
            const Inspected in(test_support::written_capture(both, kFrames));
            const ChannelFigures& f = in.figures.channels[0];
            expect_truth(f, e.channel);
            fitted += f.method != nullptr && std::string(f.method) == "fit";
            EXPECT_EQ(f.fit_frames, f.method && std::string(f.method) == "fit" ? kFrames : 0u);
            // The verdicts follow: the tone is there, the SNR against 30 dB
            // and the SFDR against 30 dBc as the truth has them.
            EXPECT_TRUE(in.passed("ch0 tone"));
            EXPECT_EQ(in.passed("ch0 snr"), e.channel.snr_db() >= 30);
            EXPECT_TRUE(in.passed("ch0 sfdr"));
            EXPECT_EQ(in.passed("ch0 dc"), db(std::norm(e.channel.dc) / (2048.0 * 2048.0)) <= -30);
        }
    }
    // At the edges the fit decides; at 3 dB a tone's leakage reaches less far,
    // and the window parts some.
    EXPECT_GE(fitted, 2 * 14);
}

// Where the window parts the lines, a fit forced on the same capture finds
// the same lines.
TEST(EdgeFigures, SpectrumAndFitAgreeWhereBothApply) {
    for (double snr : {60.0, 20.0}) {
        SCOPED_TRACE(snr);
        WrittenChannel ch = receiver(200.3 * kBin, snr);
        ch.v = ch.u * 0.01;  // an image at -40 dBc, measurable at either SNR
        WrittenChannel both[2] = {ch, ch};
        const Inspected in(test_support::written_capture(both, kFrames));
        const ChannelFigures& f = in.figures.channels[0];
        ASSERT_NE(f.method, nullptr);
        EXPECT_EQ(std::string(f.method), "spectrum");
        std::array<FitStart, 2> start;
        start[0] = {true, 2 * M_PI * *f.tone_offset_hz / kRate, {f.dc_i, f.dc_q}};
        const auto fits = fit_channels(in.source(), start, 1);
        ASSERT_TRUE(fits[0]);
        const double tone = std::norm(fits[0]->amplitude[kToneLine]);
        const double image = std::norm(fits[0]->amplitude[kImageLine]);
        EXPECT_NEAR(db(tone / (2048.0 * 2048.0)), *f.tone_dbfs, 0.05);
        EXPECT_NEAR(db(image / tone), *f.image_dbc, 0.05);
        EXPECT_NEAR(fits[0]->omega / (2 * M_PI) * kRate, *f.tone_offset_hz, 0.01);
    }
}

// A line that falls on another within the capture's resolution is no figure:
// at exactly rate/4 the third harmonic falls on the tone.
TEST(EdgeFigures, LinesNoMethodCanPartAreNamedNotMeasured) {
    WrittenChannel ch = receiver(kRate / 4, 60);
    WrittenChannel both[2] = {ch, ch};
    const Inspected in(test_support::written_capture(both, kFrames));
    const ChannelFigures& f = in.figures.channels[0];
    EXPECT_NE(f.unresolved.find("hd3 falls on the tone"), std::string::npos) << f.unresolved;
    EXPECT_FALSE(f.thd_dbc.has_value());
    ASSERT_TRUE(f.snr_db.has_value());
    EXPECT_NEAR(*f.snr_db, ch.snr_db(), 0.1);
    EXPECT_NEAR(*f.image_dbc, -45, 0.1);
}

// Dead, stuck and noise-only channels have no tone, so no figure of one, and
// fail the tone and SNR checks; a tone just above the floor has no ENOB
// beyond the converter's bits.
TEST(EdgeFigures, NoFigureWithoutItsTone) {
    std::vector<std::pair<std::string, WrittenChannel>> dead;
    WrittenChannel zero;
    zero.tone = false;
    zero.dead = true;
    dead.push_back({"all zero", zero});
    WrittenChannel stuck;
    stuck.tone = false;
    stuck.dc = {-2048, -2048};
    stuck.noise = 0;
    dead.push_back({"stuck at -2048", stuck});
    for (double noise : {1.0, 100.0, 1e4}) {
        WrittenChannel n;
        n.tone = false;
        n.noise = noise;
        n.dc = {3, -2};
        dead.push_back({"noise of power " + std::to_string(noise), n});
    }
    for (const auto& [name, ch] : dead) {
        SCOPED_TRACE(name);
        WrittenChannel both[2] = {ch, receiver(20.3 * kBin, 60)};
        const Inspected in(test_support::written_capture(both, kFrames));
        const ChannelFigures& f = in.figures.channels[0];
        for (const Figure* figure :
             {&f.tone_offset_hz, &f.tone_dbfs, &f.snr_db, &f.sinad_db, &f.enob_bits, &f.sfdr_dbc,
              &f.thd_dbc, &f.image_dbc, &f.iq_gain_imbalance_db, &f.iq_phase_imbalance_deg,
              &f.lo_leakage_dbc}) {
            EXPECT_FALSE(figure->has_value());
        }
        EXPECT_EQ(f.method, nullptr);
        EXPECT_FALSE(in.passed("ch0 tone"));
        EXPECT_FALSE(in.passed("ch0 snr"));
        EXPECT_FALSE(in.figures.gain_match_db.has_value());
        EXPECT_TRUE(in.figures.channels[1].snr_db.has_value());
    }
    // Three units of tone over the rounding alone: SINAD carried to full
    // scale would pass twelve bits.
    WrittenChannel small;
    small.tone_hz = 20.3 * kBin;
    small.u = 3;
    small.noise = 0.3;
    WrittenChannel both[2] = {small, small};
    const Inspected in(test_support::written_capture(both, kFrames));
    ASSERT_TRUE(in.figures.channels[0].enob_bits.has_value());
    EXPECT_LE(*in.figures.channels[0].enob_bits, 12.0);
}

// A lost block turns the tone's phase by its frames' share of a period:
// continuity fails wherever that turn stands clear of the noise's, at the
// simulated device's tone (rate/100) and at the one the manual recommends
// (rate/96), and a whole capture passes.
TEST(EdgeFigures, LostBlocksFailContinuityWhereTheSamplesCanShowIt) {
    int shown = 0;
    for (double tone : {kRate / 100, kRate / 96}) {
        for (std::uint64_t lost : {0, 100, 777, 4096, 8192}) {
            SCOPED_TRACE(std::to_string(tone) + " Hz, " + std::to_string(lost) + " frames lost");
            orlix_sim::SignalSettings s;
            for (auto& ch : s.channels) ch.tone_hz = tone;
            if (lost > 0) s.drop_frame = 300000, s.drop_count = lost;
            const Inspected in(test_support::capture(s, kFrames));
            double turn = 360 * std::fmod(tone / kRate * static_cast<double>(lost), 1.0);
            turn = std::min(turn, 360 - turn);
            const ChannelFigures& f = in.figures.channels[0];
            ASSERT_TRUE(f.noise_phase_jump_deg.has_value());
            const double allowed = 2 * *f.noise_phase_jump_deg;
            EXPECT_LT(allowed, 5);  // the noise, not the 30 degrees, sets the limit
            if (turn > allowed + 1) {
                ++shown;
                EXPECT_FALSE(in.passed("ch0 continuity"));
                EXPECT_FALSE(in.passed("ch1 continuity"));
                EXPECT_NEAR(*f.largest_phase_jump_deg, turn, 1.5);
            } else {
                EXPECT_LT(turn, allowed - 1) << "too near the limit to tell";
                EXPECT_TRUE(in.passed("ch0 continuity"));
            }
        }
    }
    // Only the default tone's 100 frames, a whole period, stay unseen.
    EXPECT_EQ(shown, 7);
}

// A capture read only once (a pipe) is fitted over the frames kept from
// its one pass.
TEST(EdgeFigures, ACaptureReadOnceIsFittedOverItsFirstFrames) {
    const WrittenChannel ch = receiver(kRate / 2 - 2.3 * kBin, 60);
    WrittenChannel both[2] = {ch, ch};
    const std::vector<std::int16_t> samples = test_support::written_capture(both, kFrames);
    const int fd = memfd_create("capture", MFD_CLOEXEC);
    ASSERT_EQ(write(fd, samples.data(), samples.size() * 2),
              static_cast<ssize_t>(samples.size() * 2));
    lseek(fd, 0, SEEK_SET);
    const ScanResult scan = scan_capture(fd, 2, false, true);
    close(fd);
    ASSERT_EQ(scan.kept.size(), 4 * kFitHeadFrames);
    EXPECT_TRUE(std::equal(scan.kept.begin(), scan.kept.end(), samples.begin()));
    const CaptureFigures f = figures_from(scan.sums, {}, {-1, &scan.kept, kFitHeadFrames}, 2);
    EXPECT_EQ(std::string(f.channels[0].method), "fit");
    EXPECT_EQ(f.channels[0].fit_frames, kFitHeadFrames);
    EXPECT_NEAR(*f.channels[0].snr_db, ch.snr_db(), 0.1);
    EXPECT_NEAR(*f.channels[0].image_dbc, -45, 0.1);
}

// The manual lists the checks' options as the table has them.
TEST(EdgeFigures, ManualListsEveryCheckAsTheTableHasIt) {
    std::ifstream file(SOURCE_DIR "/doc/capture_inspect.1.scd");
    const std::string manual((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(manual.find(checks_manual()), std::string::npos) << checks_manual();
    for (const CheckRule& rule : check_rules()) {
        EXPECT_NE(checks_usage().find(std::string("--") + rule.option + " <" + rule.argument + ">"),
                  std::string::npos);
    }
}

}  // namespace
