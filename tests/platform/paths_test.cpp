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
    bool exeWritable;
    const char* facsetHome;
    const char* xdg;
    const char* home;
    const char* passwdHome;
    std::string want;
  };
  const Case cases[] = {
      {"portable folder", true, nullptr, "/x", "/home/op", "", "/opt/fs/"},
      {"read-only folder, default config", false, nullptr, nullptr, "/home/op", "", "/home/op/.config/facset/"},
      {"read-only folder, XDG_CONFIG_HOME", false, nullptr, "/cfg/", "/home/op", "", "/cfg/facset/"},
      {"empty XDG_CONFIG_HOME", false, nullptr, "", "/home/op", "", "/home/op/.config/facset/"},
      {"relative XDG_CONFIG_HOME is ignored", false, nullptr, "cfg", "/home/op", "", "/home/op/.config/facset/"},
      {"no HOME: the user database", false, nullptr, nullptr, nullptr, "/var/op", "/var/op/.config/facset/"},
      {"FACSET_HOME beats a writable folder", true, "/srv/st1", "/cfg", "/home/op", "", "/srv/st1/"},
      {"FACSET_HOME beats XDG", false, "/srv/st1/", "/cfg", "/home/op", "", "/srv/st1/"},
      {"relative FACSET_HOME", false, "st1", nullptr, "/home/op", "", "/work/here/st1/"},
      {"empty FACSET_HOME is unset", true, "", nullptr, "/home/op", "", "/opt/fs/"},
  };
  for (const Case& c : cases) {
    FilesDirInputs in;
    in.exeDir = "/opt/fs/";
    in.cwd = "/work/here";
    in.passwdHome = c.passwdHome;
    in.env = [&](const char* n) -> const char* {
      const std::string name = n;
      if (name == "FACSET_HOME") return c.facsetHome;
      if (name == "XDG_CONFIG_HOME") return c.xdg;
      if (name == "HOME") return c.home;
      return nullptr;
    };
    in.writable = [&](const std::string& d) {
      EXPECT_EQ(d, "/opt/fs/") << c.name;
      return c.exeWritable;
    };
    EXPECT_EQ(ResolveFilesDir(in), c.want) << c.name;
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
