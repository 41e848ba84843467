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

inline constexpr std::int64_t kFirmwareBlockSize = 256;
// Blocks 0..31 (the first 8 KiB) are counted in the progress, never sent.
inline constexpr std::int64_t kFirmwareFirstSentBlock = 32;
// Block numbers travel in 16 bits: a larger image would wrap onto the start
// (15/0) and finish (15/1) requests.
inline constexpr std::int64_t kFirmwareMaxBlocks = 65536;
inline constexpr std::int64_t kFirmwareMaxBytes = kFirmwareMaxBlocks * kFirmwareBlockSize;

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
// cannot be read or holds more than kFirmwareMaxBytes is CannotRead. Never
// blocks on a named pipe.
ImageLoad LoadFirmwareImage(const std::string& path);

}  // namespace facset
