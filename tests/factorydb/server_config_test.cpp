// Where the factory database is configured, and what is refused there.
#include <gtest/gtest.h>

#include <cstdlib>

#include "factorydb/server_config.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;

// Sets or clears FACSET_RECORDS_URL for one case.
class UrlVariable {
 public:
  explicit UrlVariable(const char* value) {
    if (value) {
      ::setenv("FACSET_RECORDS_URL", value, 1);
    } else {
      ::unsetenv("FACSET_RECORDS_URL");
    }
  }
  ~UrlVariable() { ::unsetenv("FACSET_RECORDS_URL"); }
};

struct ConfigCase {
  const char* name;
  const char* variable;   // nullptr: unset
  const char* fileText;   // facconfig.ini; nullptr: no file
  bool configured;
  const char* conninfo;   // when configured
  const char* errorPart;  // when refused
};

class ServerConfigCases : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ServerConfigCases, ResolvesOrRefuses) {
  const ConfigCase& c = GetParam();
  TempDir dir;
  if (c.fileText) WriteFileBytes(dir / "facconfig.ini", c.fileText);
  UrlVariable v(c.variable);
  const ServerConfigResult r = ConfiguredServer(dir.path());
  if (c.errorPart) {
    EXPECT_FALSE(r.configured());
    EXPECT_NE(r.error.find(c.errorPart), std::string::npos) << r.error;
    // A refusal never echoes a secret back.
    EXPECT_EQ(r.error.find("s3cret"), std::string::npos) << r.error;
    return;
  }
  EXPECT_TRUE(r.error.empty()) << r.error;
  ASSERT_EQ(r.configured(), c.configured);
  if (c.configured) {
    EXPECT_EQ(r.server->conninfo, c.conninfo);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ServerConfigCases,
    ::testing::Values(
        ConfigCase{"NothingAnywhere", nullptr, nullptr, false, nullptr, nullptr},
        ConfigCase{"FileKey", nullptr, "[port]\nip=127.0.0.1\n[records]\nurl = host=db1 dbname=factory\n", true,
                   "host=db1 dbname=factory", nullptr},
        ConfigCase{"FileKeyBlank", nullptr, "[records]\nurl=  \n", false, nullptr, nullptr},
        ConfigCase{"VariableWinsOverFile", "postgresql://db2/factory", "[records]\nurl=host=db1\n", true,
                   "postgresql://db2/factory", nullptr},
        ConfigCase{"EmptyVariableFallsBackToFile", "", "[records]\nurl=host=db1\n", true, "host=db1", nullptr},
        ConfigCase{"PasswordInUri", "postgresql://line:s3cret@db/factory", nullptr, false, nullptr, "password"},
        ConfigCase{"PasswordKeyInFile", nullptr, "[records]\nurl=host=db password=s3cret\n", false, nullptr,
                   "facconfig.ini [records] url: holds a password"},
        ConfigCase{"Malformed", "host=db dbname", nullptr, false, nullptr, "FACSET_RECORDS_URL: not a connection"},
        ConfigCase{"UnknownKeyword", "hots=db", nullptr, false, nullptr, "hots"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ServerConfig, NamesTheServerForPeopleWithoutSecrets) {
  const auto r = CheckServerConfig("postgresql://line@db7:5433/factory?sslmode=require", "test");
  ASSERT_TRUE(r.configured()) << r.error;
  EXPECT_EQ(r.server->shown, "db7:5433/factory");
}

}  // namespace
}  // namespace facset
