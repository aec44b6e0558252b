// The row walk of the layer search: which entries of a neighbour list have
// not been visited yet. Visited nodes hold the search's mark in a byte per
// node; each search takes a mark above every one stored before, so a node
// is unvisited exactly when its byte is below the mark. The entries are
// tested against the marks as they stood before the walk (a list holds no
// repeats), so the tests carry no dependence on one another and can run side
// by side; the caller marks the fresh ones after.
//
// Stateless and pure; safe to call from any thread on data it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tamsel {

// Bytes `marks` must be readable past the last node's, for the wide loads.
inline constexpr std::size_t kMarkPadding = 4;
// Room `fresh` needs past the list's length, for the wide stores.
inline constexpr std::size_t kFreshPadding = 16;

// Writes the entries of `list` whose mark is below `mark` to fresh[0 ..) in
// list order and returns how many. No byte of `marks` may be above `mark`,
// and every entry must be below 2^31.
std::size_t fresh_entries(std::span<const std::uint16_t> list, const std::uint8_t* marks, std::uint8_t mark,
                          std::uint32_t* fresh);
std::size_t fresh_entries(std::span<const std::uint32_t> list, const std::uint8_t* marks, std::uint8_t mark,
                          std::uint32_t* fresh);

// One implementation of the walk, for both identifier widths.
struct RowWalk {
  const char* name;
  std::size_t (*narrow)(std::span<const std::uint16_t>, const std::uint8_t*, std::uint8_t, std::uint32_t*);
  std::size_t (*wide)(std::span<const std::uint32_t>, const std::uint8_t*, std::uint8_t, std::uint32_t*);
};

// Every implementation this machine can run, the one fresh_entries uses
// last: the tests hold each to the same answers.
std::span<const RowWalk> supported_row_walks();

}  // namespace tamsel
