#ifndef TOOLS_GEN_DATASET_RANDOM_STREAM_H
#define TOOLS_GEN_DATASET_RANDOM_STREAM_H

#include <cstdint>
#include <initializer_list>

// A self-contained generator (xoshiro256** seeded through splitmix64), so a
// seed gives the same data set whatever standard library the tool is built
// with; std distributions differ between implementations.
struct RandomStream {
  uint64_t state[4];
};

// Mixes the words into one seed: every recording gets its own stream from
// (seed, subject, task, trial), so generating a subset of a data set yields
// the same recordings as generating all of it.
RandomStream MakeRandomStream(std::initializer_list<uint64_t> words);

uint64_t NextBits(RandomStream* stream);
// Uniform in [0, 1).
double Uniform01(RandomStream* stream);
// Uniform in [low, high).
double Uniform(RandomStream* stream, double low, double high);
// Standard normal deviate (Box-Muller, one value per call).
double Gaussian(RandomStream* stream);
// True with the given probability.
bool Chance(RandomStream* stream, double probability);
// -1 or +1 with equal probability.
double RandomSign(RandomStream* stream);
// Integer in [low, high], both included.
int UniformInt(RandomStream* stream, int low, int high);

#endif
