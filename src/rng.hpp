// Random streams of the samplers: a ChaCha12 keystream generator keyed from a 64-bit seed
// (PCG32 expansion) or from a per-thread entropy-seeded stream, the bounded integer draws
// the samplers use, and the per-chunk seeds of seeded parallel runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace velmora {

using ChaChaKey = std::array<std::uint32_t, 8>;

// One ChaCha block in the layout with a 64-bit counter (words 12-13, low word first) and a
// 64-bit nonce (words 14-15). `rounds` is even; the generator uses 12.
void chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t nonce, int rounds,
                  std::uint32_t out[16]);

// Eight 32-bit key words from a 64-bit seed: PCG32 (XSH RR), advancing before each output.
ChaChaKey pcg32_expand_key(std::uint64_t seed);

// ChaCha12 keystream read as 32-bit words, four blocks buffered at a time. Never shared
// between threads; copying it copies the stream position.
class ChaCha12Rng {
 public:
  explicit ChaCha12Rng(const ChaChaKey& key) : key_(key) {}

  std::uint32_t next_u32() {
    if (index_ == kBufferWords) refill();
    return buffer_[index_++];
  }
  std::uint64_t next_u64() {
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return lo | (hi << 32);
  }

  // Uniform in [0, r), r >= 1: 32-bit draws while r fits in 32 bits, 64-bit draws beyond.
  // Always consumes at least one word, also for r = 1.
  std::size_t uniform_index(std::size_t r) {
    if (r <= 0xFFFFFFFFu)
      return static_cast<std::size_t>(uniform_u32(static_cast<std::uint32_t>(r)));
    return static_cast<std::size_t>(uniform_u64(r));
  }
  // Uniform in [0, r), r >= 1, always with 64-bit draws.
  std::uint64_t uniform_u64(std::uint64_t r) {
    const unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * r;
    std::uint64_t result = static_cast<std::uint64_t>(m >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(m);
    if (lo > 0 - r) {
      // The low half is close enough to wrap: one more draw decides the carry.
      const unsigned __int128 m2 = static_cast<unsigned __int128>(next_u64()) * r;
      const std::uint64_t add = static_cast<std::uint64_t>(m2 >> 64);
      if (lo + add < lo) ++result;
    }
    return result;
  }

  std::uint64_t block_counter() const { return counter_; }

 private:
  static constexpr std::size_t kBufferWords = 64;

  std::uint32_t uniform_u32(std::uint32_t r) {
    const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * r;
    std::uint32_t result = static_cast<std::uint32_t>(m >> 32);
    const std::uint32_t lo = static_cast<std::uint32_t>(m);
    if (lo > 0u - r) {
      const std::uint64_t m2 = static_cast<std::uint64_t>(next_u32()) * r;
      const std::uint32_t add = static_cast<std::uint32_t>(m2 >> 32);
      if (static_cast<std::uint32_t>(lo + add) < lo) ++result;
    }
    return result;
  }

  void refill();

  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::size_t index_ = kBufferWords;  // empty: the first draw computes four blocks
};

// A seeded stream, or (no seed) one keyed from the calling thread's entropy-seeded stream.
ChaCha12Rng make_rng(std::optional<std::uint64_t> seed);

// SplitMix64's finaliser applied to x times the 64-bit golden ratio.
constexpr std::uint64_t splitmix64_mix(std::uint64_t x) {
  std::uint64_t z = x * 11400714819323198485ULL;
  z = (z ^ (z >> 30)) * 13787848793156543929ULL;
  z = (z ^ (z >> 27)) * 10723151780598845931ULL;
  return z ^ (z >> 31);
}

// Seed of chunk `k` of a seeded parallel run. The user's seed is mixed before the chunk index
// is added: with (seed + k) alone, chunk k of seed s would be chunk k - 1 of seed s + 1, and
// runs with neighbouring seeds would share most of their streams.
constexpr std::uint64_t chunk_seed(std::uint64_t seed, std::uint64_t k) {
  return splitmix64_mix(splitmix64_mix(seed) + k);
}

}  // namespace velmora
