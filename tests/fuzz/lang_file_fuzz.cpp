// Any bytes as a language file, which translators edit: filling in the catalog
// keeps every entry they wrote, completes every other one, and lookups give
// what the file holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_file.h"
#include "lang/lang.h"

using namespace facset;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool chinese = in.ConsumeBool();
  const std::string& path = fuzzing::ScratchFile();
  fuzzing::PutFile(path, in.ConsumeRemainingBytesAsString());

  const auto table = CatalogTable();
  std::vector<std::string> before;
  {
    const IniFile file(path);
    for (const CatalogEntry& e : table) before.push_back(file.ReadString(e.section, e.key, ""));
  }
  {
    IniFile file(path);
    FillLangCatalog(file, chinese);
  }
  fuzzing::Backdate(path);
  CurrentLanguage() = Language(chinese ? "_cn" : "_en", std::make_unique<IniFile>(path));
  for (std::size_t i = 0; i < table.size(); ++i) {
    const CatalogEntry& e = table[i];
    const std::string after = CurrentLanguage().File()->ReadString(e.section, e.key, "");
    if (!TrimBlanks(before[i]).empty() ? after != before[i] : TrimBlanks(after).empty()) std::abort();
    if (e.section == kStringsSection && LangCatalog(e.key) != UnescapeText(after)) std::abort();
    if (e.section == kMainFormSection && LangWindowText(e.section, e.key) != UnescapeText(after)) std::abort();
  }
  LangShutdown();
  return 0;
}
