#include "util/sha256.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "util/stream.h"

// x86 processors since about 2017 (Intel Goldmont and Ice Lake, AMD Zen)
// have SHA-256 instructions: the compression runs several times faster
// there, which lets a sync hash a fresh checkout about as fast as it reads.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZUD_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace zud {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr size_t kFileChunk = 64 * 1024;

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

#ifdef ZUD_SHA256_X86

bool ProcessorHasShaExtensions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return ssse3 && sse41 && (ebx & bit_SHA) != 0;
}

// The compression function on the SHA extensions. The state is kept as the
// instructions want it: one register holds A, B, E, F, the other C, D, G, H.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaExtensions(
    uint32_t* state, const uint8_t* blocks, size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    // w[g]: the message words 4g..4g+3; the last four groups in turn.
    __m128i w[4];
    for (int g = 0; g < 16; ++g) {
      __m128i& words = w[g % 4];
      if (g < 4) {
        words = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * g)), byte_swap);
      } else {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
        __m128i next = _mm_sha256msg1_epu32(words, w[(g + 1) % 4]);
        next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g + 3) % 4], w[(g + 2) % 4], 4));
        words = _mm_sha256msg2_epu32(next, w[(g + 3) % 4]);
      }
      __m128i k = _mm_add_epi32(
          words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      k = _mm_shuffle_epi32(k, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

std::atomic<bool> use_extensions{ProcessorHasShaExtensions()};

#endif

}  // namespace

bool UseSha256Extensions(bool use) {
#ifdef ZUD_SHA256_X86
  use_extensions = use && ProcessorHasShaExtensions();
  return use_extensions;
#else
  (void)use;
  return false;
#endif
}

void TSha256::Reset() {
  state_ = kInitialState;
  buffered_ = 0;
  length_ = 0;
}

void TSha256::Compress(const uint8_t* blocks, size_t count) {
#ifdef ZUD_SHA256_X86
  if (use_extensions.load(std::memory_order_relaxed)) {
    return CompressWithShaExtensions(state_.data(), blocks, count);
  }
#endif
  uint32_t w[64];
  for (; count > 0; --count, blocks += 64) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBE32(blocks + 4 * i);
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    // Eight rounds per pass with the variables renamed instead of shifted,
    // so the compiler keeps them in registers without moves between rounds.
#define ZUD_SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                        \
  do {                                                                                     \
    const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + \
                        kRoundConstants[i] + w[i];                                         \
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c)); \
    d += t1;                                                                               \
    h = t1 + t2;                                                                           \
  } while (0)
    for (int i = 0; i < 64; i += 8) {
      ZUD_SHA256_ROUND(a, b, c, d, e, f, g, h, i + 0);
      ZUD_SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1);
      ZUD_SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2);
      ZUD_SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3);
      ZUD_SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4);
      ZUD_SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5);
      ZUD_SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6);
      ZUD_SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7);
    }
#undef ZUD_SHA256_ROUND
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
  }
}

void TSha256::Update(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  length_ += size;
  if (buffered_ > 0) {
    const size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
    std::memcpy(buffer_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < 64) return;
    Compress(buffer_.data(), 1);
    buffered_ = 0;
  }
  // Whole blocks straight from the caller's bytes, without a copy.
  Compress(p, size / 64);
  p += size / 64 * 64;
  size %= 64;
  if (size > 0) std::memcpy(buffer_.data(), p, size);
  buffered_ = size;
}

std::array<uint8_t, 32> TSha256::Final() {
  const uint64_t bits = length_ * 8;
  // A 1 bit, zeros up to 56 bytes into a block, then the length in bits.
  buffer_[buffered_++] = 0x80;
  if (buffered_ > 56) {
    std::memset(buffer_.data() + buffered_, 0, 64 - buffered_);
    Compress(buffer_.data(), 1);
    buffered_ = 0;
  }
  std::memset(buffer_.data() + buffered_, 0, 56 - buffered_);
  StoreBE32(buffer_.data() + 56, static_cast<uint32_t>(bits >> 32));
  StoreBE32(buffer_.data() + 60, static_cast<uint32_t>(bits));
  Compress(buffer_.data(), 1);
  std::array<uint8_t, 32> digest;
  for (int i = 0; i < 8; ++i) StoreBE32(digest.data() + 4 * i, state_[i]);
  Reset();
  return digest;
}

std::string HexOfDigest(const std::array<uint8_t, 32>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(64, '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return hex;
}

std::string Sha256Hex(std::string_view data) {
  TSha256 hasher;
  hasher.Update(data);
  return HexOfDigest(hasher.Final());
}

std::string Sha256HexOfFile(const std::string& path, const std::function<bool()>& stop) {
  TFileStream file(path, TFileStream::Mode::kRead);
  // Read until the end rather than up to Size(): a pipe or a file still
  // growing has no size worth trusting.
  const auto chunk = std::make_unique<uint8_t[]>(kFileChunk);
  TSha256 hasher;
  for (;;) {
    if (stop && stop()) return std::string();
    const int64_t got = file.Read(chunk.get(), kFileChunk);
    if (file.Failed()) return std::string();
    if (got <= 0) break;
    hasher.Update(chunk.get(), static_cast<size_t>(got));
  }
  return HexOfDigest(hasher.Final());
}

}  // namespace zud
