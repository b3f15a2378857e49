// The zlib stream writer of the mzML writer's arrays (see deflate.hpp).
//
// The input is cut into blocks of at most 65,535 bytes, the most a stored
// block holds. A block is first turned into symbols by greedy matching,
// counting how often each symbol occurs; then its size in bits is worked out
// three ways (the fixed codes, codes built from the counts from 2 KiB of
// input on, stored bytes) and it is written the smallest way. Every block is
// therefore at most its stored size, which bounds the output before anything
// is written.

#include "tools/deflate.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace kelvara::tools {
namespace {

constexpr std::size_t kBlockSize = 65535;
// Blocks shorter than this are written with the fixed codes (or stored):
// codes of a block's own cost a sort and a header that a few hundred bytes
// rarely pay back: they took two thirds of the time on GC-MS spectra, and
// on the TTFL profile spectra's m/z arrays of about 1,200 bytes gained 1% of
// size for a fifth of a conversion's time (docs/benchmarks.md, "Deflate
// library").
constexpr std::size_t kOwnCodesFrom = 2048;
constexpr unsigned kHashBits = 15;
constexpr std::size_t kWindow = 32768;
constexpr std::size_t kMinMatch = 4;
constexpr std::size_t kMaxMatch = 258;
// Stamps are 32-bit, so a longer input is matched in stretches of this many
// bytes (plus at most a block), and no match reaches back before the start
// of its stretch.
constexpr std::size_t kStretch = std::size_t{1} << 30;
constexpr std::uint32_t kRestampAbove = std::uint32_t{1} << 31;

constexpr unsigned kLitLenSymbols = 286;
constexpr unsigned kDistSymbols = 30;
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kMaxBits = 15;
constexpr unsigned kMaxLengthBits = 7;

constexpr std::array<std::uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> kDistBase = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                                      33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                                      1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The extra bits of the code-length code's symbols: 16 repeats the last
// length 3 to 6 times, 17 and 18 give 3 to 10 and 11 to 138 zeros.
constexpr std::array<std::uint8_t, 19> kRepeatExtraBits = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order the code-length code's lengths are sent in.
constexpr std::array<std::uint8_t, 19> kLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The length symbol (0 to 28, i.e. 257 to 285) of every match length.
constexpr std::array<std::uint8_t, kMaxMatch + 1> make_length_codes() {
  std::array<std::uint8_t, kMaxMatch + 1> codes{};
  for (std::size_t c = 0; c < kLengthBase.size(); ++c) {
    for (std::size_t n = 0; n < (std::size_t{1} << kLengthExtra[c]) && kLengthBase[c] + n <= kMaxMatch; ++n) {
      codes[kLengthBase[c] + n] = static_cast<std::uint8_t>(c);
    }
  }
  codes[kMaxMatch] = 28;  // 258 has its own symbol, not symbol 284's last value
  return codes;
}
constexpr auto kLengthCode = make_length_codes();

// The distance symbol of a distance from 1 to 32,768: two per power of two.
inline unsigned dist_code(unsigned dist) {
  const unsigned d = dist - 1;
  if (d < 4) return d;
  const auto top = static_cast<unsigned>(std::bit_width(d)) - 1;
  return 2 * top + ((d >> (top - 1)) & 1);
}

// A symbol's code, bits reversed so that they go out first bit first.
struct Code {
  std::uint16_t bits;
  std::uint8_t length;
};

constexpr std::array<std::uint8_t, 256> kReversedByte = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) {
    unsigned r = 0;
    for (unsigned i = 0; i < 8; ++i) r |= ((v >> i) & 1u) << (7 - i);
    table[v] = static_cast<std::uint8_t>(r);
  }
  return table;
}();

// How many codes have each length from 0 to 15 (count[0] unused).
using LengthCounts = std::array<std::uint32_t, kMaxBits + 1>;

// The canonical codes of the given code lengths, `count` codes of each
// length, for symbols[0, n): every symbol with a code, in ascending order.
// The codes of other symbols are left as they are.
template <std::size_t N>
constexpr void assign_codes(const std::array<std::uint8_t, N>& lengths, const LengthCounts& count,
                            const std::uint16_t* symbols, std::size_t n, std::array<Code, N>& codes) {
  std::array<unsigned, kMaxBits + 1> next{};
  unsigned code = 0;
  for (unsigned bits = 1; bits <= kMaxBits; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t s = symbols[k];
    const unsigned length = lengths[s];
    const unsigned c = next[length]++;
    const unsigned reversed = (unsigned{kReversedByte[c & 0xFF]} << 8 | kReversedByte[c >> 8]) >> (16 - length);
    codes[s] = {static_cast<std::uint16_t>(reversed), static_cast<std::uint8_t>(length)};
  }
}

template <std::size_t N>
constexpr std::array<Code, N> make_codes(const std::array<std::uint8_t, N>& lengths) {
  LengthCounts count{};
  std::array<std::uint16_t, N> symbols{};
  for (std::size_t s = 0; s < N; ++s) {
    ++count[lengths[s]];
    symbols[s] = static_cast<std::uint16_t>(s);
  }
  std::array<Code, N> codes{};
  assign_codes(lengths, count, symbols.data(), N, codes);
  return codes;
}

constexpr std::array<std::uint8_t, 288> make_fixed_litlen_lengths() {
  std::array<std::uint8_t, 288> lengths{};
  for (std::size_t s = 0; s < 288; ++s) lengths[s] = static_cast<std::uint8_t>(s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8);
  return lengths;
}
constexpr std::array<std::uint8_t, 288> kFixedLitLenLengths = make_fixed_litlen_lengths();
constexpr std::array<Code, 288> kFixedLitLen = make_codes(kFixedLitLenLengths);
constexpr std::array<std::uint8_t, kDistSymbols> kFixedDistLengths = [] {
  std::array<std::uint8_t, kDistSymbols> lengths{};
  lengths.fill(5);
  return lengths;
}();
constexpr std::array<Code, kDistSymbols> kFixedDist = make_codes(kFixedDistLengths);

inline std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The number of equal bytes at a and b, at most `limit`.
inline std::size_t match_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  while (n + 8 <= limit) {
    const std::uint64_t diff = load64(a + n) ^ load64(b + n);
    if (diff != 0) {
      const auto zeros = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
      return n + static_cast<std::size_t>(zeros) / 8;
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

inline std::uint32_t hash(std::uint32_t four_bytes) { return (four_bytes * 2654435761u) >> (32 - kHashBits); }

std::uint32_t adler32(const std::uint8_t* p, std::size_t n) {
  // 5552 is the most bytes before the sums can overflow 32 bits.
  constexpr std::uint32_t kMod = 65521;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  while (n > 0) {
    std::size_t k = std::min<std::size_t>(n, 5552);
    n -= k;
    for (; k >= 4; k -= 4, p += 4) {
      a += p[0];
      b += a;
      a += p[1];
      b += a;
      a += p[2];
      b += a;
      a += p[3];
      b += a;
    }
    for (; k > 0; --k) {
      a += *p++;
      b += a;
    }
    a %= kMod;
    b %= kMod;
  }
  return b << 16 | a;
}

// Bits go out first bit first through a 64-bit buffer. After each put the
// whole buffer is stored and the output moves on by its whole bytes, so
// there is no branch on how full the buffer is; the store reaches up to 8
// bytes past the last whole byte, which the output has room for. At most 7
// bits wait between puts.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* out) : out_(out) {}

  // `value` fits in `n` bits, n <= 56.
  void put(std::uint64_t value, unsigned n) {
    bits_ |= value << count_;
    count_ += n;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out_, &bits_, 8);
    } else {
      for (unsigned i = 0; i < 8; ++i) out_[i] = static_cast<std::uint8_t>(bits_ >> (8 * i));
    }
    out_ += count_ >> 3;
    bits_ >>= count_ & ~7u;
    count_ &= 7;
  }

  // Pads to a whole byte and writes out what waits.
  void align() {
    if (count_ > 0) *out_++ = static_cast<std::uint8_t>(bits_);
    bits_ = 0;
    count_ = 0;
  }

  void bytes(const std::uint8_t* data, std::size_t n) {
    if (n != 0) std::memcpy(out_, data, n);
    out_ += n;
  }

  unsigned pending() const { return count_; }
  std::uint8_t* end() const { return out_; }

 private:
  std::uint8_t* out_;
  std::uint64_t bits_ = 0;
  unsigned count_ = 0;
};

// Huffman code lengths of weights[0, n), sorted ascending (Moffat and
// Katajainen's in-place method): on return weights[i] is the length of the
// i-th symbol's code. n >= 2.
void minimum_redundancy(std::uint32_t* a, std::size_t n) {
  a[0] += a[1];
  std::size_t root = 0;
  std::size_t leaf = 2;
  for (std::size_t next = 1; next < n - 1; ++next) {
    if (leaf >= n || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = static_cast<std::uint32_t>(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = static_cast<std::uint32_t>(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  a[n - 2] = 0;
  for (std::size_t next = n - 2; next-- > 0;) a[next] = a[a[next]] + 1;
  std::size_t available = 1;
  std::size_t used = 0;
  std::uint32_t depth = 0;
  std::ptrdiff_t top = static_cast<std::ptrdiff_t>(n) - 2;
  std::ptrdiff_t next = static_cast<std::ptrdiff_t>(n) - 1;
  while (available > 0) {
    while (top >= 0 && a[top] == depth) {
      ++used;
      --top;
    }
    while (available > used) {
      a[next--] = depth;
      --available;
    }
    available = 2 * used;
    ++depth;
    used = 0;
  }
}

// Code lengths of at most `max_bits` for the symbols counted in freq[0, n):
// Huffman's, with the few longer ones shortened and others lengthened to
// pay for them. Unused symbols get no code, but a code always has two
// symbols at least, as decoders expect. Ties go by symbol number, so the
// lengths depend on the counts alone. `present` receives the symbols with
// a code, in ascending order, and `present_count` their number.
template <std::size_t N>
LengthCounts build_lengths(const std::array<std::uint32_t, N>& freq, std::size_t n, unsigned max_bits,
                           std::array<std::uint8_t, N>& lengths, std::array<std::uint16_t, N>& present,
                           std::size_t& present_count) {
  LengthCounts count{};
  // Symbols by count, then by number: a counting sort while the counts are
  // small, as they are in the blocks of short arrays.
  std::array<std::uint16_t, N> sorted;
  std::array<std::uint32_t, N> depth;
  std::size_t used = 0;
  std::uint32_t most = 0;
  lengths.fill(0);
  // Without branches: which symbols are used is as good as random.
  for (std::size_t s = 0; s < n; ++s) {
    sorted[used] = static_cast<std::uint16_t>(s);
    used += (std::uint64_t{freq[s]} + 0xFFFFFFFFu) >> 32;  // 1 for a used symbol
    most = std::max(most, freq[s]);
  }
  if (used < 2) {
    const std::size_t only = used == 1 ? sorted[0] : 0;
    const std::size_t other = only == 0 ? 1 : 0;
    lengths[only] = lengths[other] = 1;
    present[0] = static_cast<std::uint16_t>(std::min(only, other));
    present[1] = static_cast<std::uint16_t>(std::max(only, other));
    present_count = 2;
    count[1] = 2;
    return count;
  }
  std::copy_n(sorted.begin(), used, present.begin());
  present_count = used;
  constexpr std::uint32_t kCountingSortBelow = 1024;
  if (most < kCountingSortBelow) {
    std::array<std::uint16_t, kCountingSortBelow + 1> start;
    std::fill_n(start.begin(), most + 2, std::uint16_t{0});
    for (std::size_t i = 0; i < used; ++i) ++start[freq[sorted[i]] + 1];
    for (std::uint32_t f = 1; f <= most; ++f) start[f] = static_cast<std::uint16_t>(start[f] + start[f - 1]);
    std::array<std::uint16_t, N> by_count;
    for (std::size_t i = 0; i < used; ++i) by_count[start[freq[sorted[i]]]++] = sorted[i];
    std::copy_n(by_count.begin(), used, sorted.begin());
  } else {
    std::stable_sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(used),
                     [&](std::uint16_t a, std::uint16_t b) { return freq[a] < freq[b]; });
  }
  for (std::size_t i = 0; i < used; ++i) depth[i] = freq[sorted[i]];
  minimum_redundancy(depth.data(), used);
  for (std::size_t i = 0; i < used; ++i) ++count[std::min<std::uint32_t>(depth[i], max_bits)];
  // Codes folded down to max_bits overfill the code space; move codes one
  // level deeper until it is exactly full again.
  std::uint64_t total = 0;
  for (unsigned bits = 1; bits <= max_bits; ++bits) total += std::uint64_t{count[bits]} << (max_bits - bits);
  while (total > (std::uint64_t{1} << max_bits)) {
    --count[max_bits];
    for (unsigned bits = max_bits - 1; bits > 0; --bits) {
      if (count[bits] != 0) {
        --count[bits];
        count[bits + 1] += 2;
        break;
      }
    }
    --total;
  }
  // The rarest symbols take the longest codes.
  std::size_t i = 0;
  for (unsigned bits = max_bits; bits > 0; --bits) {
    for (std::uint32_t k = 0; k < count[bits]; ++k) lengths[sorted[i++]] = static_cast<std::uint8_t>(bits);
  }
  return count;
}

// The first place from `at` on where lengths[] differs from `value`;
// lengths[] ends in a byte that differs from every value.
inline std::size_t run_end(const std::uint8_t* lengths, std::size_t at, unsigned value) {
  const std::uint64_t spread = 0x0101010101010101ull * value;
  for (;; at += 8) {
    const std::uint64_t diff = load64(lengths + at) ^ spread;
    if (diff != 0) {
      const auto zeros = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
      return at + static_cast<std::size_t>(zeros) / 8;
    }
  }
}

// A block's symbol counts and, for a block with codes of its own, the codes
// and their description in the block header.
struct BlockCodes {
  // Filled before use: nothing is cleared that is written anyway.
  std::array<std::uint32_t, 288> litlen_freq;
  std::array<std::uint32_t, kDistSymbols> dist_freq;
  std::array<std::uint8_t, 288> litlen_lengths;
  std::array<std::uint8_t, kDistSymbols> dist_lengths;
  std::array<Code, 288> litlen;
  std::array<Code, kDistSymbols> dist;
  std::array<std::uint32_t, 19> length_freq;
  std::array<std::uint8_t, 19> length_lengths;
  std::array<Code, 19> length_codes;
  // The symbols with a code of the block's own, ascending.
  std::array<std::uint16_t, 288> litlen_present;
  std::array<std::uint16_t, kDistSymbols> dist_present;
  std::size_t litlen_used = 0;
  std::size_t dist_used = 0;
  // The run-length coded code lengths: symbol 0 to 18 and its extra bits.
  // (Two places to spare: a short run's copies are written two at a time.)
  std::array<std::uint8_t, kLitLenSymbols + kDistSymbols + 2> rle_symbol;
  std::array<std::uint8_t, kLitLenSymbols + kDistSymbols + 2> rle_extra;
  std::size_t rle_count = 0;
  unsigned hlit = 0;
  unsigned hdist = 0;
  unsigned hclen = 0;

  void add_rle(unsigned symbol, unsigned extra) {
    rle_symbol[rle_count] = static_cast<std::uint8_t>(symbol);
    rle_extra[rle_count++] = static_cast<std::uint8_t>(extra);
    ++length_freq[symbol];
  }

  // Builds the block's own codes and returns the bits of its header after
  // the 3 block-type bits.
  std::uint64_t build() {
    const LengthCounts litlen_counts =
        build_lengths(litlen_freq, kLitLenSymbols, kMaxBits, litlen_lengths, litlen_present, litlen_used);
    const LengthCounts dist_counts =
        build_lengths(dist_freq, kDistSymbols, kMaxBits, dist_lengths, dist_present, dist_used);
    hlit = kLitLenSymbols;
    while (hlit > 257 && litlen_lengths[hlit - 1] == 0) --hlit;
    hdist = kDistSymbols;
    while (hdist > 1 && dist_lengths[hdist - 1] == 0) --hdist;
    // The lengths, then 8 bytes no length equals, so that a run's end is
    // found 8 lengths at a time.
    std::array<std::uint8_t, kLitLenSymbols + kDistSymbols + 8> all;
    std::copy_n(litlen_lengths.begin(), hlit, all.begin());
    std::copy_n(dist_lengths.begin(), hdist, all.begin() + hlit);
    const std::size_t n = hlit + hdist;
    std::fill_n(all.begin() + static_cast<std::ptrdiff_t>(n), 8, std::uint8_t{0xFF});
    length_freq.fill(0);
    rle_count = 0;
    for (std::size_t i = 0; i < n;) {
      const unsigned value = all[i];
      const std::size_t end = run_end(all.data(), i + 1, value);
      std::size_t run = end - i;
      i = end;
      if (value == 0) {
        for (; run >= 11; run -= std::min<std::size_t>(run, 138)) add_rle(18, static_cast<unsigned>(std::min<std::size_t>(run, 138) - 11));
        if (run >= 3) {
          add_rle(17, static_cast<unsigned>(run - 3));
          run = 0;
        }
      } else {
        add_rle(value, 0);
        --run;
        for (; run >= 3; run -= std::min<std::size_t>(run, 6)) add_rle(16, static_cast<unsigned>(std::min<std::size_t>(run, 6) - 3));
      }
      // What is left, 0 to 2 copies of the length itself, without a loop.
      rle_symbol[rle_count] = rle_symbol[rle_count + 1] = static_cast<std::uint8_t>(value);
      rle_extra[rle_count] = rle_extra[rle_count + 1] = 0;
      rle_count += run;
      length_freq[value] += static_cast<std::uint32_t>(run);
    }
    std::array<std::uint16_t, 19> length_present;
    std::size_t length_used = 0;
    const LengthCounts length_counts =
        build_lengths(length_freq, 19, kMaxLengthBits, length_lengths, length_present, length_used);
    hclen = 19;
    while (hclen > 4 && length_lengths[kLengthOrder[hclen - 1]] == 0) --hclen;
    assign_codes(litlen_lengths, litlen_counts, litlen_present.data(), litlen_used, litlen);
    assign_codes(dist_lengths, dist_counts, dist_present.data(), dist_used, dist);
    assign_codes(length_lengths, length_counts, length_present.data(), length_used, length_codes);
    std::uint64_t bits = 5 + 5 + 4 + 3 * std::uint64_t{hclen} + 2 * length_freq[16] + 3 * length_freq[17] +
                         7 * length_freq[18];
    for (std::size_t s = 0; s < 19; ++s) bits += std::uint64_t{length_freq[s]} * length_lengths[s];
    return bits;
  }

  void write_header(BitWriter& out) const {
    out.put(hlit - 257, 5);
    out.put(hdist - 1, 5);
    out.put(hclen - 4, 4);
    for (unsigned k = 0; k < hclen; ++k) out.put(length_lengths[kLengthOrder[k]], 3);
    for (std::size_t k = 0; k < rle_count; ++k) {
      const unsigned symbol = rle_symbol[k];
      const Code code = length_codes[symbol];
      out.put(code.bits | std::uint64_t{rle_extra[k]} << code.length, code.length + kRepeatExtraBits[symbol]);
    }
  }
};

// The bits of a block's symbols under the fixed codes, extra bits left out.
std::uint64_t fixed_symbol_bits(const BlockCodes& block) {
  std::uint64_t bits = 0;
  for (std::size_t s = 0; s < kLitLenSymbols; ++s) bits += std::uint64_t{block.litlen_freq[s]} * kFixedLitLenLengths[s];
  for (std::size_t s = 0; s < kDistSymbols; ++s) bits += std::uint64_t{block.dist_freq[s]} * kFixedDistLengths[s];
  return bits;
}

// The bits of a block's symbols under the fixed codes and under its own,
// extra bits left out (they are the same under both).
struct SymbolBits {
  std::uint64_t fixed = 0;
  std::uint64_t own = 0;
};

// Every used symbol has a code of the block's own, so only those are summed.
SymbolBits symbol_bits(const BlockCodes& block) {
  SymbolBits bits;
  for (std::size_t k = 0; k < block.litlen_used; ++k) {
    const std::size_t s = block.litlen_present[k];
    bits.fixed += std::uint64_t{block.litlen_freq[s]} * kFixedLitLenLengths[s];
    bits.own += std::uint64_t{block.litlen_freq[s]} * block.litlen_lengths[s];
  }
  for (std::size_t k = 0; k < block.dist_used; ++k) {
    const std::size_t s = block.dist_present[k];
    bits.fixed += std::uint64_t{block.dist_freq[s]} * kFixedDistLengths[s];
    bits.own += std::uint64_t{block.dist_freq[s]} * block.dist_lengths[s];
  }
  return bits;
}

// A stored block of data[0, size), size at most kBlockSize: its type bits,
// the padding to a whole byte, the length and its complement, the bytes.
void put_stored(BitWriter& out, const std::uint8_t* data, std::size_t size, bool final) {
  out.put(final ? 1u : 0u, 3);
  out.align();
  const std::uint8_t header[4] = {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                                  static_cast<std::uint8_t>(~size), static_cast<std::uint8_t>(~size >> 8)};
  out.bytes(header, 4);
  out.bytes(data, size);
}

// A match's length and distance, codes and extra bits: at most 48 bits in one put.
template <std::size_t L, std::size_t D>
inline void put_match(BitWriter& out, unsigned length, unsigned distance, const std::array<Code, L>& litlen,
                      const std::array<Code, D>& dist) {
  const unsigned lc = kLengthCode[length];
  const Code lcode = litlen[257 + lc];
  const unsigned dc = dist_code(distance);
  const Code dcode = dist[dc];
  const unsigned length_bits = unsigned{lcode.length} + kLengthExtra[lc];
  const std::uint64_t match = lcode.bits | std::uint64_t{length - kLengthBase[lc]} << lcode.length |
                              (dcode.bits | std::uint64_t{distance - kDistBase[dc]} << dcode.length) << length_bits;
  out.put(match, length_bits + dcode.length + kDistExtra[dc]);
}

template <std::size_t L, std::size_t D>
void write_symbols(BitWriter& out, const std::vector<std::uint32_t>& tokens, const std::array<Code, L>& litlen,
                   const std::array<Code, D>& dist) {
  for (const std::uint32_t token : tokens) {
    const unsigned distance = token >> 9;
    if (distance == 0) {
      const Code code = litlen[token];
      out.put(code.bits, code.length);
      continue;
    }
    put_match(out, token & 511, distance, litlen, dist);
  }
  const Code end = litlen[kEndOfBlock];
  out.put(end.bits, end.length);
}

}  // namespace

Deflater::Deflater() : head_(std::size_t{1} << kHashBits, 0) { tokens_.reserve(kBlockSize + 1); }

Deflater::Match Deflater::match_at(const std::uint8_t* data, std::size_t pos, std::size_t end, std::size_t stretch) {
  if (end - pos < kMinMatch) return {};
  const std::uint32_t four = load32(data + pos);
  std::uint32_t& slot = head_[hash(four)];
  const std::uint32_t seen = slot;
  slot = base_ + static_cast<std::uint32_t>(pos - stretch);
  if (seen < base_) return {};
  const std::size_t candidate = stretch + (seen - base_);
  const std::size_t distance = pos - candidate;
  if (distance > kWindow || load32(data + candidate) != four) return {};
  const std::size_t limit = std::min(kMaxMatch, end - pos);
  const std::size_t length =
      kMinMatch + match_length(data + candidate + kMinMatch, data + pos + kMinMatch, limit - kMinMatch);
  return {static_cast<unsigned>(length), static_cast<unsigned>(distance)};
}

std::uint8_t* Deflater::compress_small(const std::uint8_t* data, std::size_t size, std::uint8_t* begin) {
  // One block, written with the fixed codes as it is matched; the same
  // block stored instead when that is smaller. Stored costs the bits to a
  // whole byte after the 3 type bits, 4 length bytes and the data; the
  // comparison leaves out the type bits, which both ways have.
  BitWriter writer(begin);
  writer.put(1u | 2u, 3);
  std::size_t pos = 0;
  while (pos < size) {
    if (const Match m = match_at(data, pos, size, 0); m.length != 0) {
      put_match(writer, m.length, m.distance, kFixedLitLen, kFixedDist);
      pos += m.length;
    } else {
      const Code code = kFixedLitLen[data[pos++]];
      writer.put(code.bits, code.length);
    }
  }
  const Code end = kFixedLitLen[kEndOfBlock];
  writer.put(end.bits, end.length);
  const std::uint64_t fixed_bits = 8 * std::uint64_t(writer.end() - begin) + writer.pending() - 3;
  const std::uint64_t stored_bits = 5 + 32 + 8 * std::uint64_t{size};
  if (stored_bits < fixed_bits) {
    writer = BitWriter(begin);
    put_stored(writer, data, size, true);
  }
  writer.align();
  return writer.end();
}

void Deflater::compress(const std::uint8_t* data, std::size_t size, std::string& out) {
  // Each block is written no larger than stored: 3 type bits, at most 7 to
  // reach a whole byte, 4 length bytes, the data. A small input's one block
  // is written with the fixed codes first, at most 9 bits a byte. The bit
  // writer stores 8 bytes at a time.
  const bool small = size < kOwnCodesFrom;
  const std::size_t blocks = size / kBlockSize + 1;
  const std::size_t start = out.size();
  out.resize(start + 2 + (small ? size + size / 8 + 3 : size + 6 * blocks) + 4 + 16);
  auto* const begin = reinterpret_cast<std::uint8_t*>(out.data() + start);
  begin[0] = 0x78;  // deflate with a 32 KiB window
  begin[1] = 0x01;  // fastest level; 0x7801 is a multiple of 31
  if (base_ > kRestampAbove) {
    std::fill(head_.begin(), head_.end(), 0u);
    base_ = 1;
  }
  // Every input below the threshold, the empty one too, is one small block.
  BitWriter writer(small ? compress_small(data, size, begin + 2) : begin + 2);
  std::size_t pos = small ? size : 0;
  BlockCodes block;
  std::size_t stretch = 0;
  while (pos < size) {
    const std::size_t block_start = pos;
    const std::size_t block_end = std::min(size, pos + kBlockSize);
    if (pos - stretch >= kStretch) {
      base_ += static_cast<std::uint32_t>(pos - stretch);
      stretch = pos;
      if (base_ > kRestampAbove) {
        std::fill(head_.begin(), head_.end(), 0u);
        base_ = 1;
      }
    }
    tokens_.clear();
    block.litlen_freq.fill(0);
    block.dist_freq.fill(0);
    std::uint64_t extra_bits = 0;
    while (pos < block_end) {
      if (const Match m = match_at(data, pos, block_end, stretch); m.length != 0) {
        tokens_.push_back(static_cast<std::uint32_t>(m.distance << 9 | m.length));
        const unsigned lc = kLengthCode[m.length];
        const unsigned dc = dist_code(m.distance);
        ++block.litlen_freq[257 + lc];
        ++block.dist_freq[dc];
        extra_bits += unsigned{kLengthExtra[lc]} + kDistExtra[dc];
        pos += m.length;
        continue;
      }
      tokens_.push_back(data[pos]);
      ++block.litlen_freq[data[pos]];
      ++pos;
    }
    block.litlen_freq[kEndOfBlock] = 1;
    const bool final = pos == size;
    std::uint64_t fixed_bits = extra_bits;
    std::uint64_t dynamic_bits = ~std::uint64_t{0};
    if (block_end - block_start >= kOwnCodesFrom) {
      const std::uint64_t header_bits = block.build();
      const SymbolBits bits = symbol_bits(block);
      fixed_bits += bits.fixed;
      dynamic_bits = header_bits + bits.own + extra_bits;
    } else {
      fixed_bits += fixed_symbol_bits(block);
    }
    const std::size_t stored_size = block_end - block_start;
    const std::uint64_t stored_bits = (8 - (writer.pending() + 3) % 8) % 8 + 32 + 8 * std::uint64_t{stored_size};
    if (stored_bits < std::min(fixed_bits, dynamic_bits)) {
      put_stored(writer, data + block_start, stored_size, final);
    } else if (fixed_bits <= dynamic_bits) {
      writer.put((final ? 1u : 0u) | 2u, 3);
      write_symbols(writer, tokens_, kFixedLitLen, kFixedDist);
    } else {
      writer.put((final ? 1u : 0u) | 4u, 3);
      block.write_header(writer);
      write_symbols(writer, tokens_, block.litlen, block.dist);
    }
  }
  base_ += static_cast<std::uint32_t>(size - stretch) + 1;
  writer.align();
  const std::uint32_t check = adler32(data, size);
  const std::uint8_t trailer[4] = {static_cast<std::uint8_t>(check >> 24), static_cast<std::uint8_t>(check >> 16),
                                   static_cast<std::uint8_t>(check >> 8), static_cast<std::uint8_t>(check)};
  writer.bytes(trailer, 4);
  out.resize(static_cast<std::size_t>(writer.end() - reinterpret_cast<std::uint8_t*>(out.data())));
}

}  // namespace kelvara::tools
