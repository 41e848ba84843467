#include <gtest/gtest.h>

#include <set>
#include <string>

#include "lang/lang.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::FileSizeLimit;
using testing::InodeOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

const CatalogEntry& Entry(std::string_view key) {
  for (const CatalogEntry& e : CatalogTable()) {
    if (e.key == key) return e;
  }
  throw std::runtime_error("no catalog entry " + std::string(key));
}

TEST(CatalogTable, SectionsKeysAndTextsAsStored) {
  auto table = CatalogTable();
  ASSERT_EQ(table.size(), 52u);
  std::set<std::string> strings, form;
  for (std::size_t i = 0; i < table.size(); ++i) {
    auto& into = i < 34 ? strings : form;
    EXPECT_EQ(table[i].section, i < 34 ? "Strings" : "MainForm") << i;
    EXPECT_TRUE(into.insert(std::string(table[i].key)).second) << "duplicate key " << table[i].key;
    EXPECT_FALSE(table[i].english.empty());
    EXPECT_FALSE(table[i].chinese.empty());
  }
  EXPECT_EQ(table.front().key, "sLongscreen");
  EXPECT_EQ(table[33].key, "sLenNotGreater");
  EXPECT_EQ(table[34].key, "Caption");
  EXPECT_EQ(table.back().key, "Label2.Caption");

  // GBK bytes, leading blanks and the full-width colon exactly.
  EXPECT_EQ(Entry("sSaveparameters").chinese, " \xB1\xA3\xB4\xE6\xB2\xCE\xCA\xFD");
  EXPECT_EQ(Entry("sNoSet").chinese, "\xCE\xB4\xC9\xE8\xD6\xC3");
  EXPECT_EQ(Entry("sProgVerAndCheckSum").chinese,
            "\xB3\xCC\xD0\xF2\xB0\xE6\xB1\xBE: V %4.4d  \xB3\xCC\xD0\xF2\xD0\xA3\xD1\xE9\xD7\xD6:%4.4x");
  EXPECT_EQ(Entry("sConnectFail").chinese, "\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC!");
  EXPECT_EQ(Entry("Label2.Caption").english, "Message\xA3\xBA");
  EXPECT_EQ(Entry("Label2.Caption").chinese, "\xD0\xC5\xCF\xA2\xA3\xBA");
  EXPECT_EQ(Entry("Label5.Caption").english, "target\\rgravity");
  EXPECT_EQ(Entry("Label5.Caption").chinese, "\xB1\xEA\xB5\xD8\xD6\xD8\xC1\xA6");
  EXPECT_EQ(Entry("sSaveFile").chinese.front(), ' ');
  EXPECT_EQ(Entry("sNotGreaterMax").chinese.front(), ' ');
  EXPECT_EQ(Entry("Caption").english, "Tarvik sCales factory");
}

// The whole file a fill into an empty file must produce: both sections, table order.
std::string ExpectedFullFile(bool chinese) {
  std::string s;
  std::string_view section;
  for (const CatalogEntry& e : CatalogTable()) {
    if (e.section != section) {
      section = e.section;
      s += "[" + std::string(section) + "]\r\n";
    }
    s += std::string(e.key) + "=" + std::string(chinese ? e.chinese : e.english) + "\r\n";
  }
  return s;
}

TEST(FillLangCatalog, EmptyFileGetsAll52EntriesInOrder) {
  for (bool chinese : {true, false}) {
    TempDir dir;
    const std::string path = dir / "kelvaset_x.lng";
    WriteFileBytes(path, "");
    IniFile lang(path);
    FillLangCatalog(lang, chinese);
    const std::string text = ReadFileBytes(path);
    EXPECT_EQ(text, ExpectedFullFile(chinese)) << "chinese=" << chinese;
    if (!chinese) {
      EXPECT_NE(text.find("\r\nLabel5.Caption=target\\rgravity\r\n"), std::string::npos);
    }
  }
}

TEST(FillLangCatalog, KeepsOwnTextsAndRestoresBlankOnes) {
  TempDir dir;
  const std::string path = dir / "kelvaset_cn.lng";
  const std::string original =
      "; translated by hand\r\n"
      "[Strings]\r\n"
      "sConnectFail=Verbindung fehlgeschlagen\r\n"
      "sNoSet=   \r\n"
      "\r\n"
      "[MainForm]\r\n"
      "Caption=\r\n";
  WriteFileBytes(path, original);
  IniFile lang(path);
  FillLangCatalog(lang, true);

  EXPECT_EQ(lang.ReadString("Strings", "sConnectFail", ""), "Verbindung fehlgeschlagen");
  EXPECT_EQ(lang.ReadString("Strings", "sNoSet", ""), Entry("sNoSet").chinese);
  EXPECT_EQ(lang.ReadString("MainForm", "Caption", ""), Entry("Caption").chinese);
  for (const CatalogEntry& e : CatalogTable()) {
    EXPECT_FALSE(TrimBlanks(lang.ReadString(e.section, e.key, "")).empty()) << e.key;
  }
  const std::string text = ReadFileBytes(path);
  EXPECT_EQ(text.rfind("; translated by hand\r\n[Strings]\r\nsConnectFail=Verbindung fehlgeschlagen\r\n", 0), 0u);
  // Missing entries land at the end of their own section, before the next one.
  EXPECT_LT(text.find("sLenNotGreater="), text.find("[MainForm]"));
  EXPECT_EQ(text.find("sConnectFail=", text.find("sConnectFail=") + 1), std::string::npos);
}

TEST(FillLangCatalog, CompleteFileIsNotRewritten) {
  TempDir dir;
  const std::string path = dir / "kelvaset_en.lng";
  {
    IniFile lang(path);
    FillLangCatalog(lang, false);
  }
  const std::string before = ReadFileBytes(path);
  const ino_t inode = InodeOf(path);
  IniFile lang(path);
  FillLangCatalog(lang, true);  // the flag does not matter: nothing is missing
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(InodeOf(path), inode) << "a complete file must not be replaced";
}

TEST(FillLangCatalog, FailedFillLeavesTheFileUnchanged) {
  TempDir dir;
  const std::string path = dir / "kelvaset_cn.lng";
  const std::string original = "[Strings]\r\nsNoSet=kept\r\n";
  WriteFileBytes(path, original);
  IniFile lang(path);
  {
    FileSizeLimit limit(256);  // far less than the catalog needs
    try {
      FillLangCatalog(lang, true);
      ADD_FAILURE() << "the fill should have failed";
    } catch (const EIniError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + path + ": File too large");
    }
  }
  EXPECT_EQ(ReadFileBytes(path), original);
}

}  // namespace
}  // namespace facset
