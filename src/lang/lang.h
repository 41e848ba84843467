#pragma once
// Tool configuration start-up, language files and the message lookup.
//
// All texts are GBK bytes (the Chinese catalog) or ASCII; nothing here converts
// an encoding. Everything runs on the window's thread.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/ini_file.h"
#include "platform/text_rules.h"  // TrimBlanks, for the users of this header

namespace facset {

// ---- The built-in catalog -------------------------------------------------

struct CatalogEntry {
  std::string_view section;  // "Strings" or "MainForm"
  std::string_view key;
  std::string_view english;  // bytes as written into the file ("\r" is two characters)
  std::string_view chinese;  // GBK bytes, leading blanks included
};

inline constexpr std::size_t kCatalogStringsCount = 34;
inline constexpr std::size_t kCatalogMainFormCount = 18;
inline constexpr std::size_t kCatalogCount = kCatalogStringsCount + kCatalogMainFormCount;

// The 52 entries in writing order: all "Strings", then all "MainForm".
std::span<const CatalogEntry, kCatalogCount> CatalogTable();

// The window section of the language file.
inline constexpr std::string_view kMainFormSection = "MainForm";
inline constexpr std::string_view kStringsSection = "Strings";

// ---- Process-wide state ---------------------------------------------------
// Created by ConfigStartup, released by LangShutdown / CloseToolConfig.

extern std::unique_ptr<IniFile> ToolConfigIni;  // facconfig.ini beside the executable
extern std::string LangSuffix;                  // e.g. "_cn"; may be empty
extern std::string LangFilePath;                // FilesDir() + "kelvaset" + suffix + ".lng"
extern std::unique_ptr<IniFile> LangFile;       // the current language file, or null

inline constexpr std::string_view kToolConfigName = "facconfig.ini";

// True when `suffix` is "_cn" (any letter case) or empty.
bool UseChineseCatalog(std::string_view suffix);

// FilesDir() + "kelvaset" + suffix + ".lng".
std::string LangFileName(std::string_view suffix);

// Opens FilesDir() + "facconfig.ini" as ToolConfigIni, writes "Set"/"lngstr"
// = "_cn" when it reads exactly "notset", then LangSetup on it.
// Throws EIniError when a write fails; the caller ends the program with its text.
void ConfigStartup();

// Selects the language named in "Set"/"lngstr" of `ini` (default "_cn"), writes
// "Set"/"IsEnabled" = "1" into `ini` when it is missing or blank, then LangOpen.
// Throws EIniError.
void LangSetup(IniFile& ini);

// The language part of LangSetup, for a caller that must not write `ini`:
// sets LangSuffix and LangFilePath from "Set"/"lngstr" of `ini`, opens the
// language file when none is open and fills the missing catalog entries into
// it. Throws EIniError (the language file is then open but incomplete).
void LangOpen(const IniFile& ini);

// When on, LangCatalog answers a key that the language file cannot give (no
// file, unreadable, entry missing) from the built-in catalog of the language
// in force instead of with the key itself. Off by default.
void SetLangCatalogFallback(bool on);

// Writes every catalog entry that `lang` lacks or holds blank (only blanks or
// control characters), Chinese or English, in catalog order, as one atomic
// replacement of the file: all missing entries or none. Throws EIniError, the
// file then unchanged.
void FillLangCatalog(IniFile& lang, bool useChinese);

// "Strings"/key of the current language file after UnescapeText; the key itself
// (unescaped) when the entry is missing or no language file is open, unless
// SetLangCatalogFallback is on.
std::string LangCatalog(std::string_view key);

// The entry `key` of the window section `section` (e.g. "MainForm",
// "btnopen.Caption") after UnescapeText, or nullopt when the section does not
// hold the key or no language file is open. An entry present but empty gives "".
std::optional<std::string> LangWindowText(std::string_view section, std::string_view key);

// Every "\r" becomes CR, then every "\n" becomes LF; letter case counts.
std::string UnescapeText(std::string_view text);

// The language switch of the open command, after the chosen parameter file was
// loaded: opens `paramFilePath` as a temporary INI file, closes the language
// file, runs LangSetup on the parameter file, then `applyTextsAndRebuild`
// (apply the window texts, regenerate the parameter controls). The temporary
// file is closed on every path.
// When LangSetup fails the previous language stays in force (file, suffix and
// path restored), so lookups keep answering in it; the EIniError propagates and
// `applyTextsAndRebuild` is not called.
void SwitchLanguage(const std::string& paramFilePath, const std::function<void()>& applyTextsAndRebuild);

// Process end: closes the language file and clears LangSuffix and LangFilePath.
void LangShutdown();
// Closes ToolConfigIni (the window's destruction does this).
void CloseToolConfig();

}  // namespace facset
