#pragma once
// The firmware image as it is sent: read once into memory before the scale is
// asked into its upgrade mode, so that every block, the size and the sha256
// the record keeps come from the same bytes, whatever happens to the file
// during the run.

#include <cstdint>
#include <string>
#include <vector>

#include "download/verdict.h"

namespace facset {

struct FirmwareImage {
  std::string path;  // the file-system name, as given (bytes)
  std::vector<std::uint8_t> bytes;
  std::string sha256;  // of `bytes`
  std::int64_t size() const { return static_cast<std::int64_t>(bytes.size()); }
  // 256-byte blocks, the last one possibly short.
  std::int64_t blocks() const;
  // Blocks that go on the line.
  std::int64_t blocksToSend() const;
};

struct ImageLoad {
  StepOutcome failure = StepOutcome::NotRun;  // NoFile or CannotRead when the image is not there
  std::string why;                            // CannotRead: the reason, UTF-8
  FirmwareImage image;                        // its path always; its bytes when failure is NotRun
  bool ok() const { return failure == StepOutcome::NotRun; }
};

// Reads the whole file at `path` (its name bytes used as they are, UTF-8 or
// not). A missing file (or a folder) is NoFile; a file that is not regular,
// cannot be read or holds more than pbus::kMaxImageBytes (its blocks could
// not all be numbered) is CannotRead. Never blocks on a named pipe.
ImageLoad LoadFirmwareImage(const std::string& path);

}  // namespace facset
