// Stable ordering of manifest pairs by key.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "manifest/manifest.h"

namespace tov::manifest {

// Positions into `pairs`, ascending by key: unsigned bytes over the common
// length, then the shorter key first. Equal keys keep their input order.
std::vector<std::size_t> key_order(std::span<const Pair> pairs);

}  // namespace tov::manifest
