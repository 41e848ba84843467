#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/paths.h"

namespace facset {
namespace {

TEST(Paths, ExecutableDirIsTheTestBinarysFolder) {
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / "platform_tests"));
}

TEST(Paths, OverrideAddsSlashAndEmptyRestores) {
  const std::string real = FilesDir();
  OverrideFilesDir("/tmp/facset-x");
  EXPECT_EQ(FilesDir(), "/tmp/facset-x/");
  OverrideFilesDir("/tmp/facset-y/");
  EXPECT_EQ(FilesDir(), "/tmp/facset-y/");
  OverrideFilesDir("");
  EXPECT_EQ(FilesDir(), real);
}

// Where the files live, for every combination that decides it.
TEST(Paths, FilesDirRule) {
  struct Case {
    const char* name;
    const char* exeDir;
    bool exeWritable;
    const char* facsetHome;
    const char* xdg;
    const char* home;
    std::string want;  // "" when there is no folder
  };
  const Case cases[] = {
      {"portable folder", "/opt/fs/", true, nullptr, "/x", "/home/op", "/opt/fs/"},
      {"read-only folder, default config", "/opt/fs/", false, nullptr, nullptr, "/home/op", "/home/op/.config/facset/"},
      {"read-only folder, XDG_CONFIG_HOME", "/opt/fs/", false, nullptr, "/cfg/", "/home/op", "/cfg/facset/"},
      {"empty XDG_CONFIG_HOME", "/opt/fs/", false, nullptr, "", "/home/op", "/home/op/.config/facset/"},
      {"relative XDG_CONFIG_HOME is ignored", "/opt/fs/", false, nullptr, "cfg", "/home/op", "/home/op/.config/facset/"},
      {"FACSET_HOME beats a writable folder", "/opt/fs/", true, "/srv/st1", "/cfg", "/home/op", "/srv/st1/"},
      {"FACSET_HOME beats XDG", "/opt/fs/", false, "/srv/st1/", "/cfg", "/home/op", "/srv/st1/"},
      {"relative FACSET_HOME", "/opt/fs/", false, "st1", nullptr, "/home/op", "/work/here/st1/"},
      {"empty FACSET_HOME is unset", "/opt/fs/", true, "", nullptr, "/home/op", "/opt/fs/"},
      // Installed programs never keep files beside themselves, even where they may write (root).
      {"installed in /usr/bin", "/usr/bin/", true, nullptr, nullptr, "/root", "/root/.config/facset/"},
      {"installed in a prefix", "/opt/facset/bin", true, nullptr, "/cfg", "/home/op", "/cfg/facset/"},
      {"the build's install folder", "/usr/lib/facset/", true, nullptr, nullptr, "/home/op", "/home/op/.config/facset/"},
      {"a folder merely ending in bin is portable", "/opt/cabin/", true, nullptr, nullptr, "/home/op", "/opt/cabin/"},
      {"installed, FACSET_HOME still counts", "/usr/bin/", true, "/srv/st1", nullptr, "/root", "/srv/st1/"},
      // No HOME: never a shared folder such as /tmp in its place.
      {"no HOME", "/opt/fs/", false, nullptr, nullptr, nullptr, ""},
      {"empty HOME", "/usr/bin/", true, nullptr, "relative", "", ""},
      {"no HOME but XDG_CONFIG_HOME", "/usr/bin/", true, nullptr, "/cfg", nullptr, "/cfg/facset/"},
  };
  for (const Case& c : cases) {
    FilesDirInputs in;
    in.exeDir = c.exeDir;
    in.cwd = "/work/here";
    in.installBinDir = "/usr/lib/facset";
    in.env = [&](const char* n) -> const char* {
      const std::string name = n;
      if (name == "FACSET_HOME") return c.facsetHome;
      if (name == "XDG_CONFIG_HOME") return c.xdg;
      if (name == "HOME") return c.home;
      return nullptr;
    };
    in.writable = [&](const std::string& d) {
      EXPECT_EQ(d, c.exeDir) << c.name;
      return c.exeWritable;
    };
    if (c.want.empty()) {
      try {
        ResolveFilesDir(in);
        ADD_FAILURE() << c.name << ": no error";
      } catch (const EFilesDir& e) {
        EXPECT_STREQ(e.what(), "HOME is not set: the tool needs HOME or FACSET_HOME to find the folder of its files")
            << c.name;
      }
    } else {
      EXPECT_EQ(ResolveFilesDir(in), c.want) << c.name;
    }
  }
}

// The folder is made on first use, so a first start in a fresh account works.
TEST(Paths, FilesDirCreatesTheFolder) {
  char tmpl[] = "/tmp/facset-paths-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string home = std::string(tmpl) + "/a/b";
  ::setenv("FACSET_HOME", home.c_str(), 1);
  EXPECT_EQ(FilesDir(), home + "/");
  EXPECT_TRUE(std::filesystem::is_directory(home));
  ::unsetenv("FACSET_HOME");
  std::filesystem::remove_all(tmpl);
}

TEST(Paths, MakeDirsSaysWhyItFailed) {
  char tmpl[] = "/tmp/facset-paths-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string base = tmpl;
  EXPECT_EQ(MakeDirs(base + "/x/y/"), "");
  EXPECT_TRUE(std::filesystem::is_directory(base + "/x/y"));
  EXPECT_EQ(MakeDirs(base + "/x/y"), "") << "an existing folder is fine";
  std::FILE* f = std::fopen((base + "/file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(MakeDirs(base + "/file/sub"), "cannot create " + base + "/file/sub: Not a directory");
  EXPECT_EQ(MakeDirs(base + "/file"), "cannot create " + base + "/file: Not a directory");
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace facset
