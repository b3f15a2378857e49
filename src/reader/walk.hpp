// The walk over a layout's index, and the decode budget it keeps.
//
// Every layout's walk (src/reader/layouts/) follows one loop: for each index position, find the scan's
// byte range in the scan data, skip it when the range runs backwards or past
// the end, decode the bytes in place, and hand the records to the sink.
// Retention times of the LC-MS layouts are looked up by index position,
// never by record number, so a skipped scan does not shift the times of
// later ones. Every record is counted against the decode budget (Emitter)
// before it reaches the sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.hpp"
#include "raw/records.hpp"
#include "reader/build.hpp"
#include "reader/layouts.hpp"
#include "reader/open.hpp"

namespace kelvara::reader {

// Room at the end of a sink's value arrays, grown when a spectrum needs
// more than is left. When the arrays cannot grow, the slots are refused
// (see PointSpace): the decoder fails the scan and the walk the decode.
class ArraySpace final : public raw::PointSpace {
 public:
  explicit ArraySpace(ValueArrays* arrays) : arrays_(arrays) {}
  raw::PointSlots slots(std::size_t points) noexcept override {
    if (arrays_->room() < points && !arrays_->grow(points)) return refuse(points);
    return {arrays_->place_mz(points), arrays_->place_intensity(points)};
  }

 private:
  ValueArrays* arrays_;
};

// Hands records to the sink while keeping count of the decoded bytes; the
// first record that would pass the budget stops the walk with an error.
// The decoders write each spectrum's points to space(): into lists, or
// straight into the sink's value arrays when it gives them.
class Emitter final : public ScanOut {
 public:
  Emitter(SpectrumSink& sink, std::uint64_t stream_bytes, std::uint64_t slack)
      : sink_(sink),
        arrays_(sink.value_arrays()),
        array_space_(arrays_),
        stream_bytes_(stream_bytes),
        slack_(slack),
        budget_(decode_budget(stream_bytes, slack)) {}

  raw::PointSpace& space() override {
    if (arrays_ != nullptr) return array_space_;
    return lists_;
  }

  // The spectrum of `points` points just written to space(). Past the
  // budget, the walk ends with an error, and whatever the spectrum left in
  // the value arrays goes with the failed decode.
  bool emit(std::size_t position, std::size_t points, const SpectrumInfo& info) override {
    if (arrays_ != nullptr) return emit_placed(position, points, info);
    return emit(position, std::move(lists_.mz), std::move(lists_.intensity), info);
  }

  // A spectrum with its lists, decoded here or on another thread.
  bool emit(std::size_t position, std::vector<double>&& mz, std::vector<float>&& intensity,
            const SpectrumInfo& info) {
    const std::size_t points = mz.size();
    if (!spend(position, points)) return false;
    return sink_.add(std::move(mz), std::move(intensity), info) || out_of_memory(position, points);
  }

  // A spectrum whose values are in the sink's arrays already, or are copied
  // there by a decoding thread apart from this call.
  bool emit_placed(std::size_t position, std::size_t points, const SpectrumInfo& info) {
    if (!spend(position, points)) return false;
    return sink_.add_placed(points, info) || out_of_memory(position, points);
  }

  // Fails the walk: the sink could not make room for the `points` values
  // of the spectrum at `position`. Returns false, to stop the walk.
  bool out_of_memory(std::size_t position, std::size_t points) {
    return out_of_memory("room for the " + num(points) + " values of the spectrum at index position " + num(position));
  }
  // The same for `what`, which names what the room was for.
  bool out_of_memory(std::string what) {
    error_ = Error::out_of_memory(std::move(what));
    return false;
  }

  bool refused(std::size_t position) override {
    const std::size_t points = space().refused();
    if (points == 0) return false;
    return !out_of_memory(num(points * kDecodeBytesPerPoint) + " bytes for the " + num(points) +
                          " points of the scan at index position " + num(position));
  }

  // A sink that could not keep a dropped scan's reason stops the walk.
  bool more() const override { return !error_.has_value(); }

  // A scan left out, with why; the sink keeps or ignores it.
  void drop(std::size_t position, Error&& reason) override {
    if (!sink_.drop(position, reason)) out_of_memory("room for the reason the scan at index position " + num(position) + " was dropped");
  }
  bool failed() const { return error_.has_value(); }
  ValueArrays* value_arrays() { return arrays_; }
  std::uint64_t budget() const { return budget_; }

  Result<std::size_t> finish() && {
    if (error_) return Unexpected<Error>(std::move(*error_));
    return count_;
  }

 private:
  // Counts a spectrum of `points` points against the budget; false, with the
  // error set, when it would pass it.
  bool spend(std::size_t position, std::size_t points) {
    const std::uint64_t cost = decoded_bytes(points);
    if (cost > budget_ - spent_) {
      error_ = Error::budget(
          "decoded spectra exceed the decode budget of " + std::to_string(budget_) + " bytes (" +
          std::to_string(kDecodeBudgetPerStreamByte) + " per byte of the " + std::to_string(stream_bytes_) +
          " stream bytes, plus " + std::to_string(slack_) + ") at index position " +
          std::to_string(position) + "; the index addresses the scan data more often than an acquisition can");
      return false;
    }
    spent_ += cost;
    ++count_;
    return true;
  }

  SpectrumSink& sink_;
  ValueArrays* const arrays_;
  ArraySpace array_space_;
  raw::PointLists lists_;
  std::uint64_t stream_bytes_;
  std::uint64_t slack_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
  std::size_t count_ = 0;
  std::optional<Error> error_;
};

// Walks ranges of one file's index with its layout's walk; the walks of one
// decode, on any thread, share the layout's walk state. Scans are cut out of
// the layout's scan data held whole, or out of the pieces a streaming walk
// read for one window.
class Walker {
 public:
  explicit Walker(const LayoutData& data)
      : data_(data),
        layout_(layout_of(data)),
        whole_(layout_.scan_data(data)),
        state_(layout_.walk_state != nullptr ? layout_.walk_state(data) : nullptr) {}

  std::size_t operator()(std::size_t begin, std::size_t end, ScanOut& out) {
    return layout_.walk(data_, state_.get(), whole_, begin, end, out);
  }
  std::size_t operator()(const ScanBytes& scans, std::size_t begin, std::size_t end, ScanOut& out) {
    return layout_.walk(data_, state_.get(), scans, begin, end, out);
  }

 private:
  const LayoutData& data_;
  const Layout& layout_;
  const ScanBytes whole_;
  std::unique_ptr<WalkState> state_;
};

}  // namespace kelvara::reader
