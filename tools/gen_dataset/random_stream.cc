#include "tools/gen_dataset/random_stream.h"

#include <cmath>

namespace {

uint64_t SplitMix64(uint64_t* x) {
  uint64_t z = (*x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t RotateLeft(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

constexpr double kTwoPi = 6.283185307179586476925286766559;

}  // namespace

RandomStream MakeRandomStream(std::initializer_list<uint64_t> words) {
  uint64_t mix = 0x6A09E667F3BCC909ULL;
  for (uint64_t word : words) {
    mix ^= word;
    mix = SplitMix64(&mix);
  }
  RandomStream stream;
  for (uint64_t& s : stream.state) s = SplitMix64(&mix);
  return stream;
}

uint64_t NextBits(RandomStream* stream) {
  uint64_t* s = stream->state;
  const uint64_t result = RotateLeft(s[1] * 5, 7) * 9;
  const uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = RotateLeft(s[3], 45);
  return result;
}

double Uniform01(RandomStream* stream) {
  // The top 53 bits fill a double's mantissa exactly.
  return static_cast<double>(NextBits(stream) >> 11) * 0x1.0p-53;
}

double Uniform(RandomStream* stream, double low, double high) {
  return low + (high - low) * Uniform01(stream);
}

double Gaussian(RandomStream* stream) {
  double u1 = Uniform01(stream);
  while (u1 <= 0.0) u1 = Uniform01(stream);
  const double u2 = Uniform01(stream);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

bool Chance(RandomStream* stream, double probability) { return Uniform01(stream) < probability; }

double RandomSign(RandomStream* stream) { return Chance(stream, 0.5) ? 1.0 : -1.0; }

int UniformInt(RandomStream* stream, int low, int high) {
  const uint64_t span = static_cast<uint64_t>(high - low) + 1;
  return low + static_cast<int>(NextBits(stream) % span);
}
