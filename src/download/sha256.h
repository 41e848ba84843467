#pragma once
// SHA-256 as the records and --json name the bytes sent.

#include <cstddef>
#include <string>

namespace facset {

// Lower-case hex.
std::string Sha256Hex(const void* data, std::size_t size);

}  // namespace facset
