// Validating an allocation table and walking its chains.
#include "cfb/chain.hpp"

#include <algorithm>
#include <utility>

#include "cfb/header.hpp"

namespace kelvara::cfb {
namespace {

// No unit has this number: it is a marker.
constexpr std::uint32_t kNone = kFreeSect;

}  // namespace

ChainTable::ChainTable(std::vector<std::uint32_t> entries, std::uint64_t unit_count, UnitNames names)
    : next_(std::move(entries)), unit_count_(unit_count), names_(names) {
  if (next_.size() > unit_count_) next_.resize(static_cast<std::size_t>(unit_count_));
  mark_loops();
}

// The links form a functional graph: each unit has at most one successor.
// Following links from every unit not yet seen, and stamping each unit with
// the number of the walk that reached it first, a walk either leaves the
// table (a marker, a bad link, a unit without an entry), runs into units an
// earlier walk stamped, or meets its own stamp; in the last case the unit
// met lies on a loop, which is then followed round once to mark it. Every
// unit is stamped once and marked at most once.
void ChainTable::mark_loops() {
  const std::size_t n = next_.size();
  on_loop_.assign(n, false);
  std::vector<std::uint32_t> stamp(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (stamp[i] != 0) continue;
    // n is below MAXREGSECT, so i + 1 fits and is never 0.
    const auto walk = static_cast<std::uint32_t>(i + 1);
    std::size_t u = i;
    while (u < n && stamp[u] == 0) {
      stamp[u] = walk;
      u = next_[u];
    }
    if (u < n && stamp[u] == walk) {
      std::size_t v = u;
      do {
        on_loop_[v] = true;
        v = next_[v];
      } while (v != u);
    }
  }
}

Expected<std::vector<std::uint32_t>, Error> ChainTable::walk_to_end(std::uint32_t start, const std::string& what) const {
  return follow(start, nullptr, what);
}

Expected<std::vector<std::uint32_t>, Error> ChainTable::walk(std::uint32_t start, std::uint64_t needed,
                                                             const std::string& what) const {
  return follow(start, &needed, what);
}

// Each step checks the unit it reaches; no unit is collected twice (a walk
// that reaches a loop stops when it comes back to the loop's first unit),
// so a walk ends after at most unit_count steps whatever the table holds.
Expected<std::vector<std::uint32_t>, Error> ChainTable::follow(std::uint32_t start, const std::uint64_t* needed,
                                                               const std::string& what) const {
  const UnitNames& t = names_;
  std::vector<std::uint32_t> units;
  if (needed) units.reserve(static_cast<std::size_t>(std::min(*needed, unit_count_)));
  std::uint32_t current = start;
  std::uint32_t previous = kNone;
  std::uint32_t loop_entry = kNone;
  while (true) {
    if (needed && units.size() == *needed) return units;
    if (current == kEndOfChain && !needed) return units;
    if (current == kEndOfChain) {
      return fail("the chain of " + what + " ends after " + num(units.size()) + " " + t.unit + "s, but its size needs " +
                  num(*needed));
    }
    if (current > kMaxRegSect) {
      const std::string where = units.empty() ? std::string("as its first ") + t.unit
                                              : std::string("in the ") + t.table + " entry of " + t.unit + " " + num(previous);
      return fail("the chain of " + what + " holds " + sector_text(current) + " " + where + ", where a " + t.unit +
                  " number was expected");
    }
    if (current >= unit_count_) {
      std::string message = std::string(t.unit) + " " + num(current) + " in the chain of " + what +
                            " lies past the end of " + t.space + " (" + num(unit_count_) + " " + t.unit + "s)";
      if (file_bytes_ == 0) return fail(std::move(message));
      // Sector n ends where sector n + 1 would start, after the header.
      return fail_past_end(std::move(message), file_bytes_, (std::uint64_t{current} + 2) * sector_bytes_);
    }
    if (current < on_loop_.size() && on_loop_[current]) {
      if (current == loop_entry) {
        return fail("the chain of " + what + " loops back to " + t.unit + " " + num(current) + " after " +
                    num(units.size()) + " " + t.unit + "s");
      }
      if (loop_entry == kNone) loop_entry = current;
    }
    units.push_back(current);
    if (needed && units.size() == *needed) return units;
    if (current >= next_.size()) {
      return fail(std::string(t.unit) + " " + num(current) + " in the chain of " + what + " has no " + t.table +
                  " entry (the " + t.table + " has " + num(next_.size()) + " entries)");
    }
    previous = current;
    current = next_[current];
  }
}

}  // namespace kelvara::cfb
