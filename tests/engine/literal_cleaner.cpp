#include "literal_cleaner.h"

#include "engine/cleaner.h"
#include "engine/real_fft.h"

#include <cmath>
#include <numbers>

namespace taln::literal {

std::vector<Section> sections(double sr, float s, std::uint16_t notches) {
    std::vector<Section> out;
    const double pi = std::numbers::pi;
    const double fc = static_cast<double>(s) * 80.0 + 40.0;
    const double w0 = fc * 2.0 * pi / sr;
    const double sn = std::sin(w0);
    const double cs = std::cos(w0);
    for (double d : {1.0824, 2.6132}) {
        const double alpha = sn / d;
        const double a0 = 1.0 + alpha;
        const double b0 = ((1.0 + cs) * 0.5) / a0;
        out.push_back({b0, -(1.0 + cs) / a0, b0, (-2.0 * cs) / a0, (1.0 - alpha) / a0});
    }
    if (s > 0.05f) {
        int bit = 0;
        for (double base : {50.0, 60.0}) {
            for (int h = 1; h <= 8; ++h, ++bit) {
                const double f = base * h;
                if ((notches >> bit & 1) != 0 && f < 1000.0 && f < 0.45 * sr) {
                    const double w = f * 2.0 * pi / sr;
                    const double alpha = std::sin(w) / 60.0;
                    const double a0 = 1.0 + alpha;
                    const double b1 = (-2.0 * std::cos(w)) / a0;
                    out.push_back({1.0 / a0, b1, 1.0 / a0, b1, (1.0 - alpha) / a0});
                }
            }
        }
    }
    return out;
}

std::vector<float> prefilter(std::span<const float> x, double sr, float s, std::uint16_t notches) {
    return filter(x, sections(sr, s, notches));
}

std::vector<float> filter(std::span<const float> x, const std::vector<Section>& sections) {
    std::vector<double> v(x.begin(), x.end());
    for (const Section& c : sections) {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (double& sample : v) {
            const double x0 = sample;
            const double y = ((c.b2 * x2 + (c.b1 * x1 + c.b0 * x0)) - c.a1 * y1) - c.a2 * y2;
            x2 = x1;
            x1 = x0;
            y2 = y1;
            y1 = y;
            sample = y;
        }
    }
    return std::vector<float>(v.begin(), v.end());
}

std::vector<float> clean(std::span<const float> x, std::span<const float> noise, float s, double sr,
                         std::uint16_t notches) {
    if (!(s > 0.0f) || x.empty()) {
        return std::vector<float>(x.begin(), x.end());
    }
    const std::int64_t n = static_cast<std::int64_t>(x.size());
    const std::int64_t r = ((-(n + 2048)) % 512 + 512) % 512;
    const std::int64_t len = n + 4096 + r;
    const std::int64_t frames = (len - 2048) / 512 + 1;

    const std::vector<float> y = prefilter(x, sr, s, notches);
    std::vector<float> e(static_cast<std::size_t>(len), 0.0f);
    std::copy(y.begin(), y.end(), e.begin() + 2048);
    std::vector<float> out(static_cast<std::size_t>(len), 0.0f);
    std::vector<float> frame(2048, 0.0f), p(1025, 0.0f), g(1025, 0.0f), sm(1025, 1.0f);
    std::vector<std::vector<float>> ring(5, std::vector<float>(1025, 0.0f));
    const float gMin = ::exp10f((s * -40.0f) / 20.0f);
    const float beta = s * 2.5f + 1.0f;
    const float lambda = s * 1.5f;
    const float qMin = s * -0.6f + 1.0f;
    RealFFT fft(2048);
    const auto& w = Cleaner::window();

    for (std::int64_t t = 0; t < frames; ++t) {
        for (int i = 0; i < 2048; ++i) {
            frame[i] = e[512 * t + i] * w[i];
        }
        fft.forward(frame.data());
        float* re = fft.re();
        float* im = fft.im();
        p[0] = re[0] * re[0];
        p[1024] = im[0] * im[0];
        for (int k = 1; k < 1024; ++k) {
            p[k] = re[k] * re[k] + im[k] * im[k];
        }
        for (int k = 0; k <= 1024; ++k) {
            const float d = p[k] + 1e-20f;
            const float a = 1.0f - (beta * noise[k]) / d;
            float gain = std::sqrt(std::isnan(a) ? 0.0f : std::max(a, 0.0f));
            if (gain <= gMin) {
                gain = gMin;
            }
            if (t >= 4) {
                const float q = (lambda * (ring[(t + 1) % 5][k] * -0.28f)) / d + 1.0f;
                gain = gain * std::sqrt(std::isnan(q) ? qMin : std::max(q, qMin));
            }
            g[k] = gain;
        }
        for (int k = 0; k <= 1024; ++k) {
            const float m =
                (0.25f * g[std::max(k - 1, 0)] + 0.5f * g[k]) + 0.25f * g[std::min(k + 1, 1024)];
            const float c = sm[k] < m ? 0.8f : 0.2f;
            sm[k] = sm[k] + (m - sm[k]) * c;
            ring[t % 5][k] = (sm[k] * sm[k]) * p[k];
        }
        re[0] = re[0] * sm[0];
        im[0] = im[0] * sm[1024];
        for (int k = 1; k < 1024; ++k) {
            re[k] = re[k] * sm[k];
            im[k] = im[k] * sm[k];
        }
        fft.inverse(frame.data());
        for (int i = 0; i < 2048; ++i) {
            out[512 * t + i] += (frame[i] * w[i]) * 0.5f;
        }
    }
    return std::vector<float>(out.begin() + 2048, out.begin() + 2048 + n);
}

} // namespace taln::literal
