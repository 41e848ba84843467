#include "lang/lang.h"

#include <utility>
#include <vector>

#include "platform/paths.h"

namespace facset {

std::unique_ptr<IniFile> ToolConfigIni;
std::string LangSuffix;
std::string LangFilePath;
std::unique_ptr<IniFile> LangFile;

namespace {
constexpr std::string_view kSetSection = "Set";
}  // namespace

std::string_view TrimBlanks(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

std::string UnescapeText(std::string_view text) {
  // "\r" first, then "\n"; there is no escape for the backslash itself.
  auto replace = [](std::string_view in, char letter, char with) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
      if (in[i] == '\\' && i + 1 < in.size() && in[i + 1] == letter) {
        out.push_back(with);
        ++i;
      } else {
        out.push_back(in[i]);
      }
    }
    return out;
  };
  if (text.find('\\') == std::string_view::npos) return std::string(text);
  return replace(replace(text, 'r', '\r'), 'n', '\n');
}

bool UseChineseCatalog(std::string_view suffix) {
  if (suffix.empty()) return true;
  if (suffix.size() != 3) return false;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
  return suffix[0] == '_' && lower(suffix[1]) == 'c' && lower(suffix[2]) == 'n';
}

std::string LangFileName(std::string_view suffix) {
  // The suffix comes from whatever parameter file was opened: it must name a
  // file beside the executable, never one elsewhere.
  std::string name = FilesDir() + "kelvaset";
  for (char c : suffix) name.push_back((c == '/' || c == '\0') ? '_' : c);
  name += ".lng";
  return name;
}

void FillLangCatalog(IniFile& lang, bool useChinese) {
  std::vector<const CatalogEntry*> missing;
  for (const CatalogEntry& e : CatalogTable()) {
    if (TrimBlanks(lang.ReadString(e.section, e.key, "")).empty()) missing.push_back(&e);
  }
  // A complete file is not touched at all (it may well be read-only).
  if (missing.empty()) return;
  IniUpdate batch(lang);
  for (const CatalogEntry* e : missing) lang.WriteString(e->section, e->key, useChinese ? e->chinese : e->english);
  batch.Commit();
}

void LangSetup(IniFile& ini) {
  LangSuffix = ini.ReadString(kSetSection, "lngstr", "_cn");
  if (ini.ReadString(kSetSection, "IsEnabled", "").empty()) ini.WriteBool(kSetSection, "IsEnabled", true);
  LangFilePath = LangFileName(LangSuffix);
  if (!LangFile) LangFile = std::make_unique<IniFile>(LangFilePath);
  FillLangCatalog(*LangFile, UseChineseCatalog(LangSuffix));
}

void ConfigStartup() {
  ToolConfigIni = std::make_unique<IniFile>(FilesDir() + std::string(kToolConfigName));
  if (ToolConfigIni->ReadString(kSetSection, "lngstr", "notset") == "notset") {
    ToolConfigIni->WriteString(kSetSection, "lngstr", "_cn");
  }
  LangSetup(*ToolConfigIni);
}

std::string LangCatalog(std::string_view key) {
  if (!LangFile) return UnescapeText(key);
  return UnescapeText(LangFile->ReadString(kStringsSection, key, key));
}

std::optional<std::string> LangWindowText(std::string_view section, std::string_view key) {
  if (!LangFile) return std::nullopt;
  // The INI layer tells "missing" only through the default: a key is absent
  // exactly when two different defaults both come back.
  constexpr std::string_view kProbeA = "\x01", kProbeB = "\x02";
  std::string v = LangFile->ReadString(section, key, kProbeA);
  if (v == kProbeA) {
    v = LangFile->ReadString(section, key, kProbeB);
    if (v == kProbeB) return std::nullopt;
  }
  return UnescapeText(v);
}

void SwitchLanguage(const std::string& paramFilePath, const std::function<void()>& applyTextsAndRebuild) {
  IniFile paramFile(paramFilePath);
  std::unique_ptr<IniFile> previous = std::move(LangFile);
  std::string previousSuffix = LangSuffix;
  std::string previousPath = LangFilePath;
  try {
    LangSetup(paramFile);
  } catch (...) {
    // Keep answering in the language that was in force.
    LangFile = std::move(previous);
    LangSuffix = std::move(previousSuffix);
    LangFilePath = std::move(previousPath);
    throw;
  }
  previous.reset();
  if (applyTextsAndRebuild) applyTextsAndRebuild();
}

void LangShutdown() {
  LangFile.reset();
  LangSuffix.clear();
  LangFilePath.clear();
}

void CloseToolConfig() { ToolConfigIni.reset(); }

}  // namespace facset
