// Spectral estimates (raw periodogram, Welch/Bartlett densities, cumulative
// periodogram) and the features read off the one-sided periodogram. The
// sampling frequency is 1: frequencies are in cycles per sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/result.hpp"

namespace ms::kernels::tsa {

// Frequencies k / L and one-sided power for k = 0, ..., L/2; empty for L = 0.
struct Spectrum {
    Buf<double> freqs;
    Buf<double> power;
};

Spectrum periodogram_fft(std::span<const double> x);

// Hann-windowed, mean-removed segments of length nperseg overlapping by
// noverlap (default nperseg / 2), averaged; a series too short for one
// segment, or an overlap that leaves no step, gives the plain periodogram.
Spectrum welch_psd(std::span<const double> x, uint64_t nperseg, std::optional<uint64_t> noverlap);

// The periodogram's running sum, divided by its total when that is positive.
Spectrum cumulative_periodogram(std::span<const double> x);

double band_power(std::span<const double> x, double freq_low, double freq_high);
// The strongest local maxima among bins 2 .. m-2, by power.
struct Peaks {
    Buf<double> freqs, powers;
};
Peaks spectral_peaks(std::span<const double> x, uint64_t n_peaks, double min_height);
double spectral_entropy(std::span<const double> x);
double spectral_rolloff(std::span<const double> x, double percentile);
double spectral_centroid(std::span<const double> x);
double spectral_flatness(std::span<const double> x);
double dominant_frequency(std::span<const double> x);

}  // namespace ms::kernels::tsa
