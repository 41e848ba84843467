#pragma once
// scale-sim's output files. scale-sim may run in a shared folder (the package
// installs it in /usr/bin, and any local user can send it a block), so an
// output file is never opened through its name: it is made afresh under an
// unpredictable name beside it (O_EXCL), then renamed over the name. A link
// planted at the name is replaced, never followed.

#include <cstddef>
#include <string>

namespace facset::sim {

// A new, empty file at `path` as above; returns its descriptor (write-only),
// or -1 with errno set.
int CreateReplacing(const std::string& path);
// `path` replaced as a whole by `n` bytes of `data`.
bool ReplaceWith(const std::string& path, const void* data, std::size_t n);

}  // namespace facset::sim
