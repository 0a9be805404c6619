// Spectral estimates and spectral features of one series; the computations
// are the kernels of src/kernels/tsa/spectral.
#include "frame/frame.hpp"
#include "kernels/tsa/spectral.hpp"

namespace ms {
namespace {

namespace tsa = kernels::tsa;

using Pair = std::tuple<Array1<double>, Array1<double>>;

Pair to_pair(tsa::Spectrum s) { return {std::move(s.freqs), std::move(s.power)}; }

Pair periodogram(Slice x) { return to_pair(tsa::periodogram_fft(x)); }
Pair welch_psd(Slice x, uint64_t nperseg, std::optional<uint64_t> noverlap) {
    return to_pair(tsa::welch_psd(x, nperseg, noverlap));
}
Pair bartlett_psd(Slice x, uint64_t nperseg) { return to_pair(tsa::welch_psd(x, nperseg, uint64_t{0})); }
Pair cumulative_periodogram(Slice x) { return to_pair(tsa::cumulative_periodogram(x)); }

double band_power(Slice x, double lo, double hi) { return tsa::band_power(x, lo, hi); }
Pair spectral_peaks(Slice x, uint64_t n_peaks, double min_height) {
    auto [f, p] = tsa::spectral_peaks(x, n_peaks, min_height);
    return {std::move(f), std::move(p)};
}
double spectral_entropy(Slice x) { return tsa::spectral_entropy(x); }
double spectral_rolloff(Slice x, double percentile) { return tsa::spectral_rolloff(x, percentile); }
double spectral_centroid(Slice x) { return tsa::spectral_centroid(x); }
double spectral_flatness(Slice x) { return tsa::spectral_flatness(x); }
double dominant_frequency(Slice x) { return tsa::dominant_frequency(x); }

Family family{
    fn<"periodogram", &periodogram>("(x)",
                                    "Raw periodogram (automatically chooses FFT or DFT)\n\n"
                                    "periodogram(x) -> (freqs, power)"),
    fn<"welch_psd", &welch_psd>("(x, nperseg=256, noverlap=None)",
                                "Welch's method for power spectral density estimation (FFT-based)\n\n"
                                "welch_psd(x, nperseg=256, noverlap=None) -> (freqs, psd)"),
    fn<"cumulative_periodogram", &cumulative_periodogram>(
        "(x)",
        "Cumulative periodogram (FFT-based)\n\n"
        "cumulative_periodogram(x) -> (freqs, cumulative_power)"),
    fn<"dominant_frequency", &dominant_frequency>("(x)",
                                                  "Dominant frequency detection (FFT-based)\n\n"
                                                  "dominant_frequency(x) -> float"),
    fn<"spectral_entropy", &spectral_entropy>("(x)",
                                              "Spectral entropy (FFT-based)\n\n"
                                              "spectral_entropy(x) -> float"),
    fn<"bartlett_psd", &bartlett_psd>(
        "(x, nperseg=256)",
        "Bartlett's method (non-overlapping segments, similar to Welch but simpler)\n\n"
        "bartlett_psd(x, nperseg=256) -> (freqs, psd)"),
    fn<"spectral_peaks", &spectral_peaks>("(x, n_peaks=5, min_height=0.0)",
                                          "Peak finding in spectrum (returns top N frequencies)\n\n"
                                          "spectral_peaks(x, n_peaks=5, min_height=0.0) -> (freqs, powers)"),
    fn<"spectral_flatness", &spectral_flatness>(
        "(x)",
        "Spectral flatness (geometric over arithmetic mean of the power spectrum; near 1 for white noise, "
        "near 0 for a tonal series)\n\n"
        "spectral_flatness(x) -> float"),
    fn<"band_power", &band_power>("(x, freq_low=0.0, freq_high=0.5)",
                                  "Band power (integrate power in frequency band)\n\n"
                                  "band_power(x, freq_low=0.0, freq_high=0.5) -> float"),
    fn<"spectral_centroid", &spectral_centroid>("(x)",
                                                "Spectral centroid (center of mass of spectrum)\n\n"
                                                "spectral_centroid(x) -> float"),
    fn<"spectral_rolloff", &spectral_rolloff>(
        "(x, percentile=0.85)",
        "Spectral rolloff (frequency below which X% of power is contained)\n\n"
        "spectral_rolloff(x, percentile=0.85) -> float"),
};

}  // namespace
}  // namespace ms
