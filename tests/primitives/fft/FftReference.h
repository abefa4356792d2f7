// Independent references for the FFT tests: spectra computed in double precision, by a plain DFT
// for small sizes and by a plain radix-2 FFT for large ones.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/fft/FftSpec.h"

namespace fftref {

using Cd = std::complex<double>;
constexpr double PI = 3.14159265358979323846;

// Iterative radix-2 FFT in double; sign -1 forward, +1 inverse, unscaled. Its twiddles come
// from one table of exact sines and cosines for the full size.
inline void DoubleFft(std::vector<Cd>& a, int sign) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    std::vector<Cd> w(n / 2);
    for (size_t k = 0; k < n / 2; ++k)
        w[k] = std::polar(1.0, sign * 2.0 * PI * static_cast<double>(k) / static_cast<double>(n));
    for (size_t len = 2; len <= n; len *= 2) {
        const size_t step = n / len;
        for (size_t i = 0; i < n; i += len) {
            for (size_t k = 0; k < len / 2; ++k) {
                const Cd wk = w[k * step], x = a[i + k + len / 2];
                // Written out: the library's complex product guards against NaN at a high cost.
                const Cd t(wk.real() * x.real() - wk.imag() * x.imag(), wk.real() * x.imag() + wk.imag() * x.real());
                a[i + k + len / 2] = a[i + k] - t;
                a[i + k] += t;
            }
        }
    }
}

// Bins 0..N/2 of the DFT of N real samples: by the plain DFT up to dftLimit points, by the
// double FFT above.
inline std::vector<Cd> RealSpectrum(const std::vector<float>& x, size_t dftLimit = size_t{1} << 16) {
    const size_t N = x.size();
    std::vector<Cd> X(N / 2 + 1);
    if (N <= dftLimit) {
        std::vector<double> c(N), s(N);
        for (size_t i = 0; i < N; ++i) {
            c[i] = std::cos(2.0 * PI * static_cast<double>(i) / static_cast<double>(N));
            s[i] = std::sin(2.0 * PI * static_cast<double>(i) / static_cast<double>(N));
        }
        for (size_t k = 0; k <= N / 2; ++k) {
            double re = 0, im = 0;
            size_t idx = 0;
            for (size_t j = 0; j < N; ++j) {
                re += x[j] * c[idx];
                im -= x[j] * s[idx];
                idx = (idx + k) & (N - 1);
            }
            X[k] = Cd(re, im);
        }
        return X;
    }
    std::vector<Cd> a(x.begin(), x.end());
    DoubleFft(a, -1);
    for (size_t k = 0; k <= N / 2; ++k) X[k] = a[k];
    return X;
}

// The packed layout of a real spectrum: [X0] / [X0, X1] / [X0, X(N/2), Re X1, Im X1, ...].
inline std::vector<double> Pack(const std::vector<Cd>& X, size_t N) {
    std::vector<double> p(N);
    p[0] = X[0].real();
    if (N == 1) return p;
    p[1] = X[N / 2].real();
    for (size_t k = 1; k < N / 2; ++k) {
        p[2 * k] = X[k].real();
        p[2 * k + 1] = X[k].imag();
    }
    return p;
}

// The DFT of n complex values (interleaved floats) in double: directly up to dftLimit points, by
// the double FFT above.
inline std::vector<Cd> ComplexSpectrum(const std::vector<float>& interleaved, size_t dftLimit = 1024) {
    const size_t n = interleaved.size() / 2;
    std::vector<Cd> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = Cd(interleaved[2 * i], interleaved[2 * i + 1]);
    if (n > dftLimit) {
        DoubleFft(x, -1);
        return x;
    }
    std::vector<Cd> X(n);
    for (size_t k = 0; k < n; ++k) {
        Cd sum = 0;
        for (size_t j = 0; j < n; ++j)
            sum += x[j] * std::polar(1.0, -2.0 * PI * static_cast<double>((j * k) % n) / static_cast<double>(n));
        X[k] = sum;
    }
    return X;
}

inline std::vector<float> RandomSignal(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (auto& v : x) v = dist(gen);
    return x;
}

// Root-mean-square error of got against want, relative to the RMS of want.
inline double RelativeRmsError(const std::vector<float>& got, const std::vector<double>& want) {
    double err = 0, ref = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        err += (got[i] - want[i]) * (got[i] - want[i]);
        ref += want[i] * want[i];
    }
    return ref == 0 ? std::sqrt(err) : std::sqrt(err / ref);
}

// A created specification, destroyed at scope end.
class Spec {
public:
    Spec(int32_t order, int32_t flag) { m_status = CreateRealFft(&m_pSpec, order, flag, 0); }
    ~Spec() {
        if (m_pSpec != nullptr) DestroyRealFft(m_pSpec);
    }
    Spec(const Spec&) = delete;
    Spec& operator=(const Spec&) = delete;
    FftSpec* get() const { return m_pSpec; }
    PrimitiveStatus status() const { return m_status; }

private:
    FftSpec* m_pSpec = nullptr;
    PrimitiveStatus m_status;
};

}  // namespace fftref
