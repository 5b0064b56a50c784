// Random numbers for human-like input, from the system's secure source.
#pragma once

#include <cstdint>

namespace kest {

// Draws for jitter, pauses and path shapes. Tests substitute a scripted one.
// Threading: request thread only.
class Randomness {
public:
    static constexpr std::uint64_t TWO_POW_53 = std::uint64_t{1} << 53;

    virtual ~Randomness() = default;
    // k uniform in 0 … 2^53, both ends included.
    virtual std::uint64_t draw53() = 0;
    // True or false with equal chance.
    virtual bool coin() = 0;
    // False when draws cannot be made (the source failed): a caller then
    // does nothing rather than go on with draws that are not random.
    virtual bool available() { return true; }

    // a + (b − a) × k / 2^53: uniform in [a, b], both ends included.
    double uniform(double a, double b) { return a + (b - a) * static_cast<double>(draw53()) / static_cast<double>(TWO_POW_53); }
    double sign() { return coin() ? 1.0 : -1.0; }
};

// getrandom(2): nothing is seeded, nothing can be predicted from earlier draws.
class SystemRandomness final : public Randomness {
public:
    std::uint64_t draw53() override;
    bool coin() override;
    // Draws once; false from the first draw that failed on.
    bool available() override;

private:
    std::uint64_t draw64();
    bool failed_ = false;
};

}  // namespace kest
