#pragma once
// The parameter block, its definitions and the parameter file format, without
// widgets: shared by the window and facset-cli.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/param_math.h"
#include "lang/lang.h"
#include "platform/ini_file.h"

namespace facset {

inline constexpr std::uint8_t kBlockMarker = 0xA6;  // byte 0 after every load
inline constexpr int kFirstDefByte = 14;             // bytes 14..255 carry definitions
// The two-choice row at this byte enables the text row after it (byte 20)
// exactly when it is not at its first entry.
inline constexpr int kCouplingListByte = 19;
inline constexpr int kCoupledFieldByte = 20;

// The definition of one block byte (only bytes 14..255 are ever used).
// Texts are held exactly as read ("\r" and "\n" stay two characters).
struct ParamDef {
  std::string Option0;  // suffix "0"
  std::string Option1;  // suffix "1"
  std::string Note;     // suffix "x": non-empty makes a list numeric
  std::string Caption;  // suffix "t": shown only when non-empty and Width > 0
  std::int32_t Width = 0;  // suffix "n"
  std::int32_t Kind = 0;   // suffix "k": 1 = text parameter

  bool operator==(const ParamDef&) const = default;
};

// Suffixes of the definition keys, in reading and writing order.
inline constexpr std::array<char, 6> kDefSuffixes = {'0', '1', 'x', 't', 'n', 'k'};

namespace detail {
constexpr std::array<char, 256 * 9> MakeByteKeyChars() {
  std::array<char, 256 * 9> c{};
  for (int n = 0; n < 256; ++n) {
    char* k = c.data() + n * 9;
    const char pre[] = "byte[";
    for (int i = 0; i < 5; ++i) k[i] = pre[i];
    char digits[3] = {' ', ' ', ' '};
    if (n >= 100) {
      digits[0] = char('0' + n / 100), digits[1] = char('0' + n / 10 % 10), digits[2] = char('0' + n % 10);
    } else if (n >= 10) {
      digits[0] = char('0' + n / 10), digits[1] = char('0' + n % 10);
    } else {
      digits[0] = char('0' + n);
    }
    k[5] = digits[0], k[6] = digits[1], k[7] = digits[2], k[8] = ']';
  }
  return c;
}
inline constexpr std::array<char, 256 * 9> kByteKeyChars = MakeByteKeyChars();
constexpr std::array<std::string_view, 256> MakeByteKeys() {
  std::array<std::string_view, 256> k{};
  for (int n = 0; n < 256; ++n) k[n] = std::string_view(kByteKeyChars.data() + n * 9, 9);
  return k;
}
}  // namespace detail

// "byte[0  ]", "byte[42 ]", "byte[255]": nine characters each.
inline constexpr std::array<std::string_view, 256> ByteKeys = detail::MakeByteKeys();

// Byte key of `n` followed by one definition suffix: "byte[14 ]t".
std::string DefKey(int n, char suffix);

// Default of "port"/"ip" (a private LAN address; nothing here ever sends to it).
inline constexpr std::string_view kDefaultDeviceIp = "192.168.1.87";

// Everything a parameter file stores.
struct ParamSet {
  ParamSet() { Block[0] = kBlockMarker; }

  ParamBlock Block{};
  std::array<ParamDef, 256> Defs{};  // entries 0..13 stay empty
  std::string DeviceIp{kDefaultDeviceIp};
  std::int32_t ComIndex = 0;
  bool UseCom = false;
  std::int32_t bdgbIndex = 0;
  std::int32_t TaggbIndex = 0;
  bool IsEnabled = true;
  // "0=0" twice (not set, manual), then one "name=value" line per region.
  std::vector<std::string> GravityRegions{"0=0", "0=0"};
  bool DownProg = true;      // "factory"/"IsDownkDownProg": firmware box checked
  std::string BinFilePath;   // "factory"/"binFilePath", trimmed on load
  // "factory"/"binFilePathUtf8": the firmware path as UTF-8 when GBK cannot
  // hold it (BinFilePath then has "?" in its place); empty otherwise.
  std::string BinFilePathUtf8;
  // "facset"/"IncreaseAfterDownload": the numeric row (its byte) whose value
  // goes up by one after each download whose block the scale acknowledged;
  // 0 for none. A key of ours, written only into files that use it.
  std::int32_t IncreaseByte = 0;

  bool operator==(const ParamSet&) const = default;
};

// The firmware path as a file-system (UTF-8) path, and setting it: a path GBK
// can hold is stored in GBK as ever; another one also as UTF-8, used on load
// only while the GBK key still matches it (a tool that rewrote the GBK key wins).
std::string FirmwarePathOf(const ParamSet& ps);
void SetFirmwarePath(ParamSet& ps, std::string_view utf8);

// Block (all zero, byte 0 = 0xA6, bytes 1..255 from "factory"), the definitions
// of bytes 14..255 (every one replaced, present or not) and the link settings.
void ReadBlockAndDefs(const IniFile& ini, ParamSet& ps);

// A byte key whose value a hand edit left outside a byte: not a number, or a
// number outside 0..255. The block takes what the file format makes of it
// (the low 8 bits; not a number reads as 0), which may not be what was meant.
struct ByteOutsideRange {
  int byte = 0;          // 1..255
  std::string text;      // the value as the file holds it
  std::uint8_t sent = 0; // the byte the block holds
};
// Every such key of "factory" in byte order; byte 0 is never read.
std::vector<ByteOutsideRange> BytesOutsideRange(const IniFile& ini);

struct RegionTable {
  std::vector<std::string> lines;  // GravityRegions: "0=0", "0=0", then the region lines
  std::vector<std::string> names;  // region names only: names[i] belongs to lines[i + 2]
};
// Section "Aregb", keys "Aregb0", "Aregb1", ...: stops at the first value that is
// blank; a value without "=" is skipped.
RegionTable ReadRegionTable(const IniFile& ini);

// The text after the first "=" of a GravityRegions line ("" when none).
std::string RegionValue(std::string_view line);

// Everything the window load reads, in its order: region table, bdgbIndex and
// TaggbIndex, ReadBlockAndDefs, IsDownkDownProg, binFilePath (trimmed), IsEnabled.
// Returns the region names for the two gravity lists (after their two fixed entries).
std::vector<std::string> LoadParamSet(const IniFile& ini, ParamSet& ps);

// Writes every key of the file format in its order ("port", "factory" with the
// 255 bytes and the definitions of 14..255, "Aregb" renumbered from 0 and ended
// by an empty key, "Set"
// "IsEnabled" and "lngstr" = langSuffix) as one atomic replacement of the file:
// all keys or none. Other keys and sections are kept. Throws EIniError, the file
// then unchanged.
void SaveParams(IniFile& ini, const ParamSet& ps, std::string_view langSuffix);

// Header of the set-value view: four blanks, then the column numbers.
inline constexpr std::string_view kSetValuesHeader =
    "    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
// Row r (0..15): "0R:" and sixteen " XX" (upper-case hex), 51 characters.
std::string SetValuesLine(const ParamBlock& block, int row);
// The 16 rows of the view.
std::vector<std::string> SetValuesText(const ParamBlock& block);

// Gravity at bytes first..first+2 (8 or 11): 24-bit big-endian k, k / 10000.
std::int32_t GravityRaw(const ParamBlock& block, int first);
// The same as text with four decimals and ".": "9.7892", "0.0000".
std::string GravityText(const ParamBlock& block, int first);
// k := integer part of ((g + 0.0000001) * 10000), stored as three bytes at first..first+2
// (first must be 8 or 11). The caller checks the range first.
void GravityToBytes(ParamBlock& block, int first, double g);
inline constexpr double kGravityMin = 9.7;
inline constexpr double kGravityMax = 9.9;
// A gravity in metres per second squared with four decimals: "9.7000".
std::string GravityValueText(double g);
// Byte 7 while the calibration-site list names a gravity (manual or a region).
inline constexpr std::uint8_t kCalibrationGravitySet = 0x62;
// A decimal number with "." as the decimal point, optional sign and blanks around
// it; nullopt for anything else ("", ".", "abc", "9,8"). Independent of the locale.
std::optional<double> ParseDecimal(std::string_view text);

}  // namespace facset
