#include "rng.hpp"

#include <bit>
#include <random>

namespace velmora {

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b;
  d = std::rotl(d ^ a, 16);
  c += d;
  b = std::rotl(b ^ c, 12);
  a += b;
  d = std::rotl(d ^ a, 8);
  c += d;
  b = std::rotl(b ^ c, 7);
}

// The per-thread stream behind unseeded generators, keyed once from the OS entropy source.
ChaCha12Rng& thread_entropy_rng() {
  thread_local ChaCha12Rng rng = [] {
    std::random_device device;  // getrandom(2) on Linux
    ChaChaKey key;
    for (auto& word : key) word = static_cast<std::uint32_t>(device());
    return ChaCha12Rng(key);
  }();
  return rng;
}

}  // namespace

void chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t nonce, int rounds,
                  std::uint32_t out[16]) {
  std::uint32_t input[16] = {kSigma[0],
                             kSigma[1],
                             kSigma[2],
                             kSigma[3],
                             key[0],
                             key[1],
                             key[2],
                             key[3],
                             key[4],
                             key[5],
                             key[6],
                             key[7],
                             static_cast<std::uint32_t>(counter),
                             static_cast<std::uint32_t>(counter >> 32),
                             static_cast<std::uint32_t>(nonce),
                             static_cast<std::uint32_t>(nonce >> 32)};
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int i = 0; i < rounds; i += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

ChaChaKey pcg32_expand_key(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 6364136223846793005ULL;
  constexpr std::uint64_t kInc = 11634580027462260723ULL;
  std::uint64_t state = seed;
  ChaChaKey key;
  for (auto& word : key) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    word = std::rotr(xorshifted, static_cast<int>(state >> 59));
  }
  return key;
}

void ChaCha12Rng::refill() {
  for (std::size_t b = 0; b < kBufferWords / 16; ++b) {
    chacha_block(key_, counter_++, 0, 12, buffer_.data() + 16 * b);
  }
  index_ = 0;
}

ChaCha12Rng make_rng(std::optional<std::uint64_t> seed) {
  if (seed) return ChaCha12Rng(pcg32_expand_key(*seed));
  ChaCha12Rng& source = thread_entropy_rng();
  ChaChaKey key;
  for (auto& word : key) word = source.next_u32();
  return ChaCha12Rng(key);
}

}  // namespace velmora
