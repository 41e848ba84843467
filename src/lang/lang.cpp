#include "lang/lang.h"

#include <utility>
#include <vector>

#include "platform/paths.h"

namespace facset {

std::unique_ptr<IniFile> ToolConfigIni;

Language::Language(std::string suffix, std::unique_ptr<IniFile> file)
    : suffix_(std::move(suffix)), path_(LangFileName(suffix_)), file_(std::move(file)) {}

Language& CurrentLanguage() {
  static Language current;
  return current;
}

namespace {
constexpr std::string_view kSetSection = "Set";
bool g_catalogFallback = false;

// The built-in text of a "Strings" key in the language in force.
const CatalogEntry* BuiltInString(std::string_view key) {
  for (const CatalogEntry& e : CatalogTable()) {
    if (e.section == kStringsSection && e.key == key) return &e;
  }
  return nullptr;
}
}  // namespace

void SetLangCatalogFallback(bool on) { g_catalogFallback = on; }

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
  return EqualsFoldedAscii(suffix, "_cn");
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
  if (ini.ReadString(kSetSection, "IsEnabled", "").empty()) ini.WriteBool(kSetSection, "IsEnabled", true);
  LangOpen(ini);
}

void LangOpen(const IniFile& ini) {
  Language& lang = CurrentLanguage();
  lang.suffix_ = ini.ReadString(kSetSection, "lngstr", "_cn");
  lang.path_ = LangFileName(lang.suffix_);
  if (!lang.file_) lang.file_ = std::make_unique<IniFile>(lang.path_, LinkPolicy::Refuse);
  FillLangCatalog(*lang.file_, lang.Chinese());
}

void ConfigStartup() {
  ToolConfigIni = std::make_unique<IniFile>(FilesDir() + std::string(kToolConfigName), LinkPolicy::Refuse);
  if (ToolConfigIni->ReadString(kSetSection, "lngstr", "notset") == "notset") {
    ToolConfigIni->WriteString(kSetSection, "lngstr", "_cn");
  }
  LangSetup(*ToolConfigIni);
}

std::string LangCatalog(std::string_view key) {
  const Language& lang = CurrentLanguage();
  std::string v;
  bool found = false;
  if (lang.File() != nullptr) {
    try {
      v = lang.File()->ReadString(kStringsSection, key, g_catalogFallback ? std::string_view() : key);
      found = true;
    } catch (const EIniError&) {
      // A file grown past the INI limit gives no text.
    }
  }
  if (g_catalogFallback && TrimBlanks(v).empty()) {
    if (const CatalogEntry* e = BuiltInString(key)) {
      return UnescapeText(TrimBlanks(lang.Chinese() ? e->chinese : e->english));
    }
    found = false;
  }
  return UnescapeText(found ? std::string_view(v) : key);
}

std::optional<std::string> LangWindowText(std::string_view section, std::string_view key) {
  const IniFile* file = CurrentLanguage().File();
  if (file == nullptr) return std::nullopt;
  try {
    std::optional<std::string> v = file->FindString(section, key);
    if (v) *v = UnescapeText(*v);
    return v;
  } catch (const EIniError&) {
    return std::nullopt;  // a file grown past the INI limit holds no text
  }
}

void SwitchLanguage(const std::string& paramFilePath, const std::function<void()>& applyTextsAndRebuild) {
  IniFile paramFile(paramFilePath);
  // The new language is set up with no file open (so that LangOpen opens the
  // one it names) and replaces the old one only once it is complete.
  Language previous = std::exchange(CurrentLanguage(), Language());
  try {
    LangSetup(paramFile);
  } catch (...) {
    CurrentLanguage() = std::move(previous);
    throw;
  }
  previous = Language();
  if (applyTextsAndRebuild) applyTextsAndRebuild();
}

void LangShutdown() { CurrentLanguage() = Language(); }

void CloseToolConfig() { ToolConfigIni.reset(); }

}  // namespace facset
