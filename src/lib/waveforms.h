// The per-sample formulas of the five waveforms.
//
// Every sample follows one fixed order of IEEE-754 double operations, each
// rounded on its own, and calls the C library's scalar exp, sin, cos and
// fmod, so two builds on the same libm agree bit for bit. The build keeps it
// that way: -ffp-contract=off (no fused multiply-add), never -ffast-math (no
// reassociation, no vectorised approximations of the library functions).
// Write each expression in the order of its operations and leave it alone.
#pragma once

#include <cmath>
#include <cstdint>

namespace ondulix::waveforms {

// exp(t * gamma) * amplitude: the product, then exp, then the factor.
inline double envelope(double t, double amplitude, double gamma) {
    const double g = t * gamma;
    const double e = std::exp(g);
    return e * amplitude;
}

// cos((t + phi) * omega) * envelope + y.
struct HarmonicOscillator {
    double amplitude, gamma, omega, phi, y;

    double operator()(double t) const {
        const double envelope_value = envelope(t, amplitude, gamma);
        const double u = t + phi;
        const double p = u * omega;
        const double k = std::cos(p);
        const double v = k * envelope_value;
        return v + y;
    }
};

// (sin θ + sin(θ * 3.0) * 0.5) * envelope + y with θ = (t + phi) * omega.
struct PseudoSquareWave {
    double amplitude, gamma, omega, phi, y;

    double operator()(double t) const {
        const double envelope_value = envelope(t, amplitude, gamma);
        const double u = t + phi;
        const double theta = u * omega;
        const double s1 = std::sin(theta);
        const double theta3 = theta * 3.0;
        const double s3 = std::sin(theta3);
        const double h = s3 * 0.5;
        const double b = s1 + h;
        const double v = b * envelope_value;
        return v + y;
    }
};

// envelope * ((0.0 + r(1) + r(3) + ... + r(2N - 1)) + 1.0) + y with
// r(n) = (sin((n * omega) * (t + phi)) * 4/π) / n, summed left to right.
struct FourierSquareWave {
    static constexpr double four_over_pi = 1.2732395447351628;

    double amplitude, gamma, omega, phi, y;
    std::uint64_t num_harmonics;

    double operator()(double t) const {
        const double envelope_value = envelope(t, amplitude, gamma);
        const double u = t + phi;
        double sum = 0.0;
        // Counting terms rather than comparing n with 2N keeps every count
        // exact: 2N would wrap for N >= 2^63.
        for (std::uint64_t k = 0; k < num_harmonics; ++k) {
            const double m = static_cast<double>(2 * k + 1);
            const double w = m * omega;
            const double x = w * u;
            const double s = std::sin(x);
            const double q = s * four_over_pi;
            const double r = q / m;
            sum = sum + r;
        }
        const double a = sum + 1.0;
        const double v = envelope_value * a;
        return v + y;
    }
};

// (cos((omega + omega) * u) - 2 cos(u * omega)) * envelope + y with
// u = t + phi; the doubled frequency is formed once per call.
struct PseudoCycloidWave {
    double amplitude, gamma, omega, phi, y;
    double doubled_omega;

    static PseudoCycloidWave from_arguments(double amplitude_, double gamma_,
                                            double omega_, double phi_, double y_) {
        return {amplitude_, gamma_, omega_, phi_, y_, omega_ + omega_};
    }

    double operator()(double t) const {
        const double envelope_value = envelope(t, amplitude, gamma);
        const double u = t + phi;
        const double a2 = doubled_omega * u;
        const double c2 = std::cos(a2);
        const double a1 = u * omega;
        const double c1 = std::cos(a1);
        const double d = c1 + c1;
        const double b = c2 - d;
        const double v = b * envelope_value;
        return v + y;
    }
};

// A one-sided Gaussian pulse, starting at the onset (period / 24) * 2π of a
// cycle 6.283185297179586 long: pulse * amplitude + equilibrium.
struct TransientImpulse {
    static constexpr double two_pi = 6.283185307179586;
    // The double nearest 2π - 1e-8: the cycle is slightly shorter than the
    // 2π of the onset, and the two are distinct on purpose.
    static constexpr double cycle_length = 6.283185297179586;

    double amplitude, width, equilibrium;
    double onset;

    static TransientImpulse from_arguments(double amplitude_, double period,
                                           double width_, double equilibrium_) {
        return {amplitude_, width_, equilibrium_, (period / 24.0) * two_pi};
    }

    double operator()(double t) const {
        const double position = std::fmod(t, cycle_length);
        const double lag = position - onset;
        double pulse = 0.0;
        // An ordered comparison: a NaN lag gives no pulse, -0.0 passes.
        if (lag >= 0.0) {
            const double q = lag / width;
            const double square = q * q;
            pulse = std::exp(square * -0.5);
        }
        // A zero pulse still multiplies the amplitude.
        const double scaled = pulse * amplitude;
        return scaled + equilibrium;
    }
};

} // namespace ondulix::waveforms
