#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "lang/lang.h"
#include "platform/paths.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::FileExists;
using testing::FileSizeLimit;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr std::string_view kNoSetCn = "\xCE\xB4\xC9\xE8\xD6\xC3";  // GBK of the Chinese "not set"

// The executable's folder is a fresh temp folder; the process-wide state is
// released after each test.
class LangStartupTest : public ::testing::Test {
 protected:
  void SetUp() override { OverrideFilesDir(dir_.path()); }
  void TearDown() override {
    LangShutdown();
    CloseToolConfig();
    OverrideFilesDir("");
  }
  std::string At(const std::string& name) const { return dir_ / name; }

  TempDir dir_;
};

TEST_F(LangStartupTest, FirstRunInEmptyFolderCreatesBothFiles) {
  ConfigStartup();
  ASSERT_TRUE(ToolConfigIni);
  EXPECT_EQ(ToolConfigIni->path(), At("facconfig.ini"));
  EXPECT_EQ(ReadFileBytes(At("facconfig.ini")), "[Set]\r\nlngstr=_cn\r\nIsEnabled=1\r\n");
  EXPECT_EQ(CurrentLanguage().Suffix(), "_cn");
  EXPECT_EQ(CurrentLanguage().FilePath(), At("kelvaset_cn.lng"));
  IniFile lang(At("kelvaset_cn.lng"));
  for (const CatalogEntry& e : CatalogTable()) EXPECT_EQ(lang.ReadString(e.section, e.key, ""), TrimBlanks(e.chinese));
  EXPECT_EQ(LangCatalog("sNoSet"), kNoSetCn);
  // Stored with its leading blank; read without it.
  EXPECT_EQ(LangCatalog("sSaveparameters"), "\xB1\xA3\xB4\xE6\xB2\xCE\xCA\xFD");
}

struct SuffixCase {
  const char* name;
  const char* configFile;     // facconfig.ini before the start
  const char* langFile;       // language file expected
  const char* suffix;         // CurrentLanguage().Suffix() afterwards
  bool chinese;
  const char* lngstrAfter;    // "Set"/"lngstr" in facconfig.ini afterwards
};

TEST_F(LangStartupTest, SuffixSelectsFileAndCatalog) {
  const SuffixCase cases[] = {
      {"english", "[Set]\r\nlngstr=_en\r\n", "kelvaset_en.lng", "_en", false, "_en"},
      {"upper-case Chinese", "[Set]\r\nlngstr=_CN\r\n", "kelvaset_CN.lng", "_CN", true, "_CN"},
      {"empty suffix, not rewritten", "[Set]\r\nlngstr=\r\n", "kelvaset.lng", "", true, ""},
      {"a new language", "[Set]\r\nlngstr=_de\r\n", "kelvaset_de.lng", "_de", false, "_de"},
      {"first-run marker", "[Set]\r\nlngstr=notset\r\n", "kelvaset_cn.lng", "_cn", true, "_cn"},
      {"marker in other case is a suffix", "[Set]\r\nlngstr=NotSet\r\n", "kelvasetNotSet.lng", "NotSet", false,
       "NotSet"},
      {"other sections only", "[port]\r\nip=127.0.0.1\r\n", "kelvaset_cn.lng", "_cn", true, "_cn"},
  };
  for (const SuffixCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    OverrideFilesDir(dir.path());
    WriteFileBytes(dir / "facconfig.ini", c.configFile);
    ConfigStartup();
    EXPECT_EQ(CurrentLanguage().Suffix(), c.suffix);
    EXPECT_EQ(CurrentLanguage().FilePath(), dir / c.langFile);
    EXPECT_TRUE(FileExists(dir / c.langFile));
    EXPECT_EQ(CurrentLanguage().Chinese(), c.chinese);
    EXPECT_EQ(LangCatalog("sNoSet"), c.chinese ? kNoSetCn : "Not set");
    IniFile config(dir / "facconfig.ini");
    EXPECT_EQ(config.ReadString("Set", "lngstr", "<missing>"), c.lngstrAfter);
    EXPECT_EQ(config.ReadString("Set", "IsEnabled", ""), "1");
    LangShutdown();
    CloseToolConfig();
  }
}

TEST_F(LangStartupTest, IsEnabledIsWrittenOnlyWhenMissingOrBlank) {
  const struct {
    const char* config;
    const char* after;
  } cases[] = {
      {"[Set]\r\nlngstr=_en\r\nIsEnabled=0\r\n", "0"},
      {"[Set]\r\nlngstr=_en\r\nIsEnabled=  \r\n", "1"},
      {"[Set]\r\nlngstr=_en\r\n", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    WriteFileBytes(At("facconfig.ini"), c.config);
    ConfigStartup();
    EXPECT_EQ(ToolConfigIni->ReadString("Set", "IsEnabled", ""), c.after);
    LangShutdown();
    CloseToolConfig();
  }
}

TEST_F(LangStartupTest, HandEditsSurviveAndBlankEntriesComeBack) {
  WriteFileBytes(At("facconfig.ini"), "[Set]\r\nlngstr=_de\r\n");
  ConfigStartup();
  LangShutdown();
  {
    IniFile lang(At("kelvaset_de.lng"));
    lang.WriteString("Strings", "sConnectFail", "Verbindung fehlgeschlagen");
    lang.WriteString("Strings", "sNoSet", "   ");
    lang.WriteString("MainForm", "Caption", "");
  }
  ConfigStartup();
  EXPECT_EQ(LangCatalog("sConnectFail"), "Verbindung fehlgeschlagen");
  EXPECT_EQ(LangCatalog("sNoSet"), "Not set");
  EXPECT_EQ(LangWindowText("MainForm", "Caption"), std::optional<std::string>("Tarvik sCales factory"));
}

TEST_F(LangStartupTest, LookupsFollowTheFileAndFallBackToTheKey) {
  ConfigStartup();
  EXPECT_EQ(LangCatalog("sNoSuchKey"), "sNoSuchKey");
  EXPECT_EQ(LangCatalog("a\\rb"), "a\rb");
  {
    // Another program (a translator's editor) changes the file while the tool runs.
    IniFile other(At("kelvaset_cn.lng"));
    other.WriteString("Strings", "sNoSet", "edited\\r\\nby hand");
    other.WriteString("MainForm", "Label9.Caption", "");
  }
  EXPECT_EQ(LangCatalog("sNoSet"), "edited\r\nby hand");
  EXPECT_EQ(LangWindowText("MainForm", "Label9.Caption"), std::optional<std::string>(""));
  EXPECT_EQ(LangWindowText("MainForm", "Label8.Caption"), std::nullopt);
  EXPECT_EQ(LangWindowText("MainForm", "label5.caption"), std::optional<std::string>("\xB1\xEA\xB5\xD8\xD6\xD8\xC1\xA6"));

  LangShutdown();
  EXPECT_TRUE(CurrentLanguage().Suffix().empty());
  EXPECT_TRUE(CurrentLanguage().FilePath().empty());
  EXPECT_EQ(LangCatalog("sNoSet"), "sNoSet");
  EXPECT_EQ(LangWindowText("MainForm", "Caption"), std::nullopt);
}

TEST_F(LangStartupTest, StartUpFailsWithTheIniError) {
  // The executable's folder is a regular file: nothing can be created below it.
  WriteFileBytes(At("file"), "x");
  OverrideFilesDir(At("file"));
  try {
    ConfigStartup();
    FAIL() << "start-up should have failed";
  } catch (const EIniError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + At("file") + "/facconfig.ini: Not a directory");
  }
}

TEST_F(LangStartupTest, SwitchTakesTheLanguageOfTheParameterFile) {
  ConfigStartup();
  const std::string cnBefore = ReadFileBytes(At("kelvaset_cn.lng"));
  const std::string params = At("params.ini");
  WriteFileBytes(params, "[Set]\r\nlngstr=_en\r\n");
  int applied = 0;
  SwitchLanguage(params, [&] {
    ++applied;
    EXPECT_EQ(LangCatalog("sNoSet"), "Not set");  // texts are applied in the new language
  });
  EXPECT_EQ(applied, 1);
  EXPECT_EQ(CurrentLanguage().Suffix(), "_en");
  EXPECT_EQ(CurrentLanguage().FilePath(), At("kelvaset_en.lng"));
  EXPECT_EQ(LangCatalog("Label5.Caption"), "Label5.Caption");  // a window key, not a message
  EXPECT_EQ(LangWindowText("MainForm", "Label5.Caption"), std::optional<std::string>("target\rgravity"));
  EXPECT_EQ(ReadFileBytes(params), "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n");
  EXPECT_EQ(ReadFileBytes(At("kelvaset_cn.lng")), cnBefore);
  // facconfig.ini keeps its own language; only a save writes the new suffix.
  EXPECT_EQ(ToolConfigIni->ReadString("Set", "lngstr", ""), "_cn");

  // A parameter file without "lngstr" means Chinese, whatever was in force.
  WriteFileBytes(params, "[factory]\r\nbyte[1  ]=2\r\n");
  SwitchLanguage(params, [] {});
  EXPECT_EQ(CurrentLanguage().Suffix(), "_cn");
  EXPECT_EQ(LangCatalog("sNoSet"), kNoSetCn);
  EXPECT_EQ(ReadFileBytes(params), "[factory]\r\nbyte[1  ]=2\r\n[Set]\r\nIsEnabled=1\r\n");
}

TEST_F(LangStartupTest, FailedSwitchKeepsThePreviousLanguage) {
  ConfigStartup();
  const struct {
    const char* name;
    std::string params;
    rlim_t limit;
  } cases[] = {
      // Rewriting the large parameter file breaks the limit: the "IsEnabled"
      // write fails before the new language file is opened.
      {"IsEnabled write fails", "[Set]\r\nlngstr=_en\r\n[pad]\r\nfiller=" + std::string(4000, 'x') + "\r\n", 2048},
      // Nothing to write into the parameter file; the new catalog does not fit.
      {"catalog fill fails", "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n", 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string params = At("params.ini");
    WriteFileBytes(params, c.params);
    bool applied = false;
    {
      FileSizeLimit limit(c.limit);
      EXPECT_THROW(SwitchLanguage(params, [&] { applied = true; }), EIniError);
    }
    EXPECT_FALSE(applied);
    EXPECT_EQ(ReadFileBytes(params), c.params);
    EXPECT_EQ(CurrentLanguage().Suffix(), "_cn");
    EXPECT_EQ(CurrentLanguage().FilePath(), At("kelvaset_cn.lng"));
    EXPECT_EQ(LangCatalog("sNoSet"), kNoSetCn);
    EXPECT_FALSE(FileExists(At("kelvaset_en.lng")));
  }
}

TEST(UnescapeText, BackslashRAndN) {
  const struct {
    std::string_view in, out;
  } cases[] = {
      {"target\\rgravity", "target\rgravity"},
      {"a\\r\\nb", "a\r\nb"},
      {"\\n\\n", "\n\n"},
      {"\\R\\N stay", "\\R\\N stay"},
      {"\\\\r", "\\\r"},  // no escape for the backslash itself
      {"ends with \\", "ends with \\"},
      {"C:\\new\\rates", "C:\new\rates"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UnescapeText(c.in), c.out) << c.in;
}

TEST(UseChineseCatalog, CnInAnyCaseOrEmpty) {
  const struct {
    std::string_view suffix;
    bool chinese;
  } cases[] = {{"_cn", true}, {"_CN", true}, {"_Cn", true}, {"", true},      {"_en", false},
               {"_de", false}, {"cn", false}, {"_cn ", false}, {"_cnx", false}};
  for (const auto& c : cases) EXPECT_EQ(UseChineseCatalog(c.suffix), c.chinese) << c.suffix;
}

TEST(LangFileName, StaysBesideTheExecutable) {
  OverrideFilesDir("/opt/facset");
  EXPECT_EQ(LangFileName("_cn"), "/opt/facset/kelvaset_cn.lng");
  EXPECT_EQ(LangFileName(""), "/opt/facset/kelvaset.lng");
  EXPECT_EQ(LangFileName("/../../etc/x"), "/opt/facset/kelvaset_.._.._etc_x.lng");
  OverrideFilesDir("");
}

}  // namespace
}  // namespace facset

namespace facset {
namespace {

// For a caller that must not write the parameter file and may find the
// language file unusable: the file is never written, and with the fallback on
// a lookup gives the built-in text of the language, never the key.
TEST_F(LangStartupTest, OpenWithoutWritingAndFallBackToTheBuiltInTexts) {
  const std::string params = At("p.ini");
  WriteFileBytes(params, "[Set]\r\nlngstr=_EN\r\n");
  struct Case {
    std::string name;
    std::function<void()> spoil;  // makes the language file unusable, or not
    bool throws;
    std::string startText;        // LangCatalog("sStartUpdating")
  };
  const Case cases[] = {
      {"usable", [] {}, false, "Start updating the program"},
      {"a folder in its place", [&] { std::filesystem::create_directory(At("kelvaset_EN.lng")); }, true,
       "Start updating the program"},
      {"an entry blanked", [&] { WriteFileBytes(At("kelvaset_EN.lng"), "[Strings]\r\nsStartUpdating=\x7F\r\n"); },
       false, "Start updating the program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(At("kelvaset_EN.lng"));
    c.spoil();
    SetLangCatalogFallback(true);
    const IniFile ini(params);
    if (c.throws) {
      EXPECT_THROW(LangOpen(ini), EIniError);
    } else {
      EXPECT_NO_THROW(LangOpen(ini));
    }
    EXPECT_EQ(CurrentLanguage().Suffix(), "_EN");
    EXPECT_EQ(LangCatalog("sStartUpdating"), c.startText);
    EXPECT_EQ(LangCatalog("sUpdate"), "update(%d/%d)");
    EXPECT_EQ(LangCatalog("sNoSuchKey"), "sNoSuchKey");  // not a catalog key: nothing better to show
    LangShutdown();
    SetLangCatalogFallback(false);
  }
  EXPECT_EQ(ReadFileBytes(params), "[Set]\r\nlngstr=_EN\r\n");
  // The Chinese catalog serves a Chinese suffix, trimmed as a file read would be.
  WriteFileBytes(params, "[Set]\r\nlngstr=_cn\r\n");
  std::filesystem::create_directory(At("kelvaset_cn.lng"));
  SetLangCatalogFallback(true);
  EXPECT_THROW(LangOpen(IniFile(params)), EIniError);
  EXPECT_EQ(LangCatalog("sSaveparameters"), "\xB1\xA3\xB4\xE6\xB2\xCE\xCA\xFD");
  SetLangCatalogFallback(false);
}

}  // namespace
}  // namespace facset

namespace facset {
namespace {

// The window's texts beyond the catalog follow the one Chinese test, whatever
// the suffix's spelling: an empty or upper-case suffix once left the Stop
// button and the stop question English in a Chinese window.
TEST_F(LangStartupTest, WindowTextsFollowTheLanguageInForce) {
  const std::string stopCn = "\xCD\xA3\xD6\xB9";  // 停止
  struct Case {
    const char* set;  // section "Set" of facconfig.ini
    std::string stop;
  };
  const Case cases[] = {{"lngstr=_cn", stopCn}, {"lngstr=", stopCn}, {"lngstr=_CN", stopCn},
                        {"lngstr=_en", "Stop"}, {"lngstr=_de", "Stop"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    WriteFileBytes(At("facconfig.ini"), std::string("[Set]\r\n") + c.set + "\r\n");
    ConfigStartup();
    EXPECT_EQ(LangText("sStop"), c.stop);
    EXPECT_EQ(LangText("sStopDownload").substr(0, 2), c.stop == "Stop" ? "A " : "\xD5\xFD");  // 正在下载
    EXPECT_EQ(LangText("sNoSuchText"), "sNoSuchText");
    LangShutdown();
    CloseToolConfig();
  }
  // A translator's entry wins; a blank one does not; none is ever written.
  WriteFileBytes(At("facconfig.ini"), "[Set]\r\nlngstr=_de\r\n");
  ConfigStartup();
  IniFile lang(At("kelvaset_de.lng"));
  EXPECT_EQ(lang.FindString("Strings", "sStop"), std::nullopt);
  lang.WriteString("Strings", "sStop", "Anhalten");
  lang.WriteString("Strings", "sTimeLeft", "  ");
  EXPECT_EQ(LangText("sStop"), "Anhalten");
  EXPECT_EQ(LangText("sTimeLeft"), "%s left");
}

// Telling a missing key from every value it could hold.
TEST_F(LangStartupTest, FindStringTellsMissingFromEmpty) {
  WriteFileBytes(At("x.ini"), "[A]\r\nempty=\r\nbare\r\nv = \"x\" \r\n");
  const IniFile ini(At("x.ini"));
  EXPECT_EQ(ini.FindString("A", "empty"), std::optional<std::string>(""));
  EXPECT_EQ(ini.FindString("a", "EMPTY"), std::optional<std::string>(""));
  EXPECT_EQ(ini.FindString("A", "v"), std::optional<std::string>("x"));
  EXPECT_EQ(ini.FindString("A", "bare"), std::nullopt);
  EXPECT_EQ(ini.FindString("A", "none"), std::nullopt);
  EXPECT_EQ(ini.FindString("B", "empty"), std::nullopt);
  EXPECT_EQ(IniFile(At("missing.ini")).FindString("A", "empty"), std::nullopt);
}

}  // namespace
}  // namespace facset
