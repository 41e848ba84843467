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

inline constexpr std::string_view kToolConfigName = "facconfig.ini";

// True when `suffix` is "_cn" (any letter case) or empty.
bool UseChineseCatalog(std::string_view suffix);

// The language in force: its suffix, the path of its language file and that
// file, held and replaced together. One instance, CurrentLanguage().
class Language {
 public:
  Language() = default;
  Language(std::string suffix, std::unique_ptr<IniFile> file);
  Language(Language&&) noexcept = default;
  Language& operator=(Language&&) noexcept = default;

  const std::string& Suffix() const { return suffix_; }   // e.g. "_cn"; may be empty
  const std::string& FilePath() const { return path_; }   // LangFileName(Suffix())
  IniFile* File() const { return file_.get(); }           // null when none is open
  // The one test for "the Chinese catalog": every text chosen between the
  // built-in Chinese and English asks this.
  bool Chinese() const { return UseChineseCatalog(suffix_); }

 private:
  friend void LangOpen(const IniFile& ini);
  std::string suffix_;
  std::string path_;
  std::unique_ptr<IniFile> file_;
};

Language& CurrentLanguage();

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
// takes the suffix from "Set"/"lngstr" of `ini`, opens its language file when
// none is open and fills the missing catalog entries into it. Throws EIniError
// (the language is then in force, its file open but incomplete).
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

// A text of the window beyond the written catalog (the Stop button, the
// progress figures, the reasons of a failed write, the file questions): the
// translator's "Strings" entry when the language file holds a non-blank one,
// else the built-in text, Chinese or English as the language in force says.
// These keys are never written into the language file.
std::string LangText(std::string_view key);
// The built-in text of such a key (GBK for Chinese); the key itself when unknown.
std::string WindowTextBuiltIn(std::string_view key, bool chinese);

// Every "\r" becomes CR, then every "\n" becomes LF; letter case counts.
std::string UnescapeText(std::string_view text);

// The language switch of the open command, after the chosen parameter file was
// loaded: opens `paramFilePath` as a temporary INI file, closes the language
// file, runs LangSetup on the parameter file, then `applyTextsAndRebuild`
// (apply the window texts, regenerate the parameter controls). The temporary
// file is closed on every path.
// The new language is made whole before it replaces the old one: when
// LangSetup fails the previous language stays in force, so lookups keep
// answering in it; the EIniError propagates and `applyTextsAndRebuild` is not
// called.
void SwitchLanguage(const std::string& paramFilePath, const std::function<void()>& applyTextsAndRebuild);

// Process end: no language in force any more (file closed, suffix and path cleared).
void LangShutdown();
// Closes ToolConfigIni (the window's destruction does this).
void CloseToolConfig();

}  // namespace facset
