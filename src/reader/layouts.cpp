// The table of layouts. Its order is the probe order, which decides the
// layout of a file holding the entries of several, and the order of the
// LayoutData alternatives.

#include "reader/layouts.hpp"

#include <array>
#include <variant>

namespace kelvara::reader {
namespace {

constexpr std::array<const Layout*, 4> kLayouts = {
    &kGcmsLayout,
    &kTtflProfileLayout,
    &kQtofCentroidLayout,
    &kSingleQuadLayout,
};
static_assert(kLayouts.size() == std::variant_size_v<LayoutData>, "one layout per LayoutData alternative");

}  // namespace

std::span<const Layout* const> layouts() { return kLayouts; }

const Layout& layout_of(const LayoutData& data) { return *kLayouts[data.index()]; }

}  // namespace kelvara::reader
