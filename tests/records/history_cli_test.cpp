// facset-cli history, run as the real program on a database the test fills in
// the program's folder.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <sstream>

#include "params/param_model.h"
#include "records/records.h"
#include "sample_record.h"
#include "support/run_process.h"
#include "support/temp_files.h"

using namespace facset;
using facset::testing::ProcessResult;
using facset::testing::RunProcess;
using facset::testing::TempDir;

namespace {

// A copy of facset-cli in its own folder, which is also the tool's folder
// under any rule that picks it (beside the program, or FACSET_HOME).
class HistoryCli : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_ / "facset-cli";
    std::filesystem::copy_file(FACSET_CLI_PATH, program_);
  }
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), "history");
    return RunProcess(program_, args, {"FACSET_HOME=" + dir_.path()});
  }
  std::int64_t Add(const std::string& start, const std::string& target, const std::string& outcome) {
    const DownloadRecord r = facset::testing::SampleRecord(start, target, outcome);
    const AppendResult a = AppendRecord(dir_.path(), r);
    EXPECT_TRUE(a);
    return a.id;
  }
  std::string DbPath() const { return dir_ / std::string(kRecordsFileName); }

  TempDir dir_;
  std::string program_;
};

// RFC 4180 reader: quoted fields may hold commas, doubled quotes and line breaks.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false, wasQuoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field.push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field.push_back(c);
      }
    } else if (c == '"' && field.empty() && !wasQuoted) {
      quoted = wasQuoted = true;
    } else if (c == ',') {
      row.push_back(field);
      field.clear();
      wasQuoted = false;
    } else if (c == '\n') {
      row.push_back(field);
      rows.push_back(row);
      row.clear();
      field.clear();
      wasQuoted = false;
    } else {
      field.push_back(c);
    }
  }
  EXPECT_FALSE(quoted) << "unterminated quote";
  EXPECT_TRUE(field.empty() && row.empty()) << "last row not ended";
  return rows;
}

QJsonArray ParseJsonArray(const std::string& text) {
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &err);
  EXPECT_EQ(err.error, QJsonParseError::NoError) << err.errorString().toStdString() << "\n" << text;
  EXPECT_TRUE(doc.isArray());
  return doc.array();
}

}  // namespace

// Each filter, in each of the three forms: the same records, newest first.
TEST_F(HistoryCli, FiltersInEveryFormat) {
  const std::int64_t a = Add("2026-12-09T23:59:59.000Z", "127.0.0.2", "ok");
  const std::int64_t b = Add("2026-12-10T08:01:00.000Z", "127.0.0.3", "failed");
  const std::int64_t c = Add("2026-12-10T00:02:00.000Z", "127.0.0.2", "aborted");
  const std::int64_t d = Add("2026-12-10T09:03:00.000Z", "127.0.0.2", "ok");

  struct Case {
    std::vector<std::string> args;
    std::vector<std::int64_t> ids;
  };
  const Case cases[] = {
      {{}, {d, b, c, a}},
      {{"--since", "2026-12-10"}, {d, b, c}},
      {{"--since", "2026-12-10T08:01Z"}, {d, b}},
      {{"--target", "127.0.0.2"}, {d, c, a}},
      {{"--failed"}, {b, c}},
      {{"--failed", "--target", "127.0.0.2", "--since", "2026-12-10 00:00:00"}, {c}},
      {{"--since", "2027-01-01"}, {}},
  };
  for (const Case& k : cases) {
    const std::string name = ::testing::PrintToString(k.args);
    auto csvArgs = k.args, jsonArgs = k.args;
    csvArgs.push_back("--csv");
    jsonArgs.push_back("--json");
    const ProcessResult table = Run(k.args), csv = Run(csvArgs), json = Run(jsonArgs);
    ASSERT_EQ(table.status, 0) << name << table.err;
    ASSERT_EQ(csv.status, 0) << name << csv.err;
    ASSERT_EQ(json.status, 0) << name << json.err;

    std::vector<std::int64_t> fromTable, fromCsv, fromJson;
    std::istringstream lines(table.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("ID", 0), 0u) << name;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::int64_t id = 0;
      std::string start, outcome, target, sha;
      words >> id >> start >> outcome >> target >> sha;
      fromTable.push_back(id);
      EXPECT_EQ(sha.size(), 64u) << line;  // the block's sha256 on every line
    }
    const auto rows = ParseCsv(csv.out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0][0], "id");
    for (std::size_t i = 1; i < rows.size(); ++i) {
      ASSERT_EQ(rows[i].size(), rows[0].size()) << name;
      fromCsv.push_back(std::stoll(rows[i][0]));
    }
    for (const auto& v : ParseJsonArray(json.out)) fromJson.push_back(v.toObject()["id"].toInteger());
    EXPECT_EQ(fromTable, k.ids) << name;
    EXPECT_EQ(fromCsv, k.ids) << name;
    EXPECT_EQ(fromJson, k.ids) << name;
  }
}

// Text that breaks naive CSV and JSON writers comes back whole.
TEST_F(HistoryCli, AwkwardTextSurvivesCsvAndJson) {
  DownloadRecord r;
  r.startUtc = "2026-12-10T04:00:00.000Z";
  r.target = "COM1 /dev/ttyUSB0";
  r.paramFile = "/srv/a,b \"quoted\"\nnext line.ini";
  r.error = " leading blank\r\nand CR LF\t";
  r.station = "称-3";
  r.operatorName = std::string("bad\xFFutf8");
  r.log = {"\x01 control", "\r\n\r\nLast Update Time:x"};
  ASSERT_TRUE(AppendRecord(dir_.path(), r));

  const ProcessResult csv = Run({"--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto rows = ParseCsv(csv.out);
  ASSERT_EQ(rows.size(), 2u);
  std::map<std::string, std::string> byName;
  for (std::size_t i = 0; i < rows[0].size(); ++i) byName[rows[0][i]] = rows[1].at(i);
  EXPECT_EQ(byName["param_file"], r.paramFile);
  EXPECT_EQ(byName["error"], r.error);
  EXPECT_EQ(byName["station"], r.station);
  EXPECT_EQ(byName["target"], r.target);

  const ProcessResult json = Run({"--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const QJsonObject o = ParseJsonArray(json.out).at(0).toObject();
  EXPECT_EQ(o["param_file"].toString().toStdString(), r.paramFile);
  EXPECT_EQ(o["error"].toString().toStdString(), r.error);
  EXPECT_EQ(o["station"].toString().toStdString(), r.station);
  EXPECT_EQ(o["operator"].toString().toStdString(), "bad\xEF\xBF\xBDutf8");
  EXPECT_EQ(o["log"].toArray().at(1).toString().toStdString(), r.log[1]);
  EXPECT_TRUE(o["block"].isNull());
  EXPECT_TRUE(o["exit_code"].isNull());
}

TEST_F(HistoryCli, ShowPrintsOneRecordWithItsBlock) {
  Add("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");
  const std::int64_t id = Add("2026-12-10T04:05:00.000Z", "127.0.0.3", "failed");
  const ReadResult stored = ReadRecord(dir_.path(), id);
  ASSERT_TRUE(stored);
  const DownloadRecord& r = stored.records[0];

  const ProcessResult show = Run({"--show", std::to_string(id)});
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_NE(show.out.find(r.blockSha256), std::string::npos);
  EXPECT_NE(show.out.find("127.0.0.3"), std::string::npos);
  EXPECT_EQ(show.out.find("127.0.0.2"), std::string::npos);  // only that record
  // Log lines indented, also those inside a message with CR LF.
  EXPECT_NE(show.out.find("log:\n   connect ...127.0.0.3\n   connect ok \n  \n  \n  Last Update Time:"),
            std::string::npos)
      << show.out;
  std::string view = std::string(kSetValuesHeader) + "\n";
  for (const std::string& l : SetValuesText(*r.block)) view += l + "\n";
  EXPECT_NE(show.out.find(view), std::string::npos) << show.out;

  const ProcessResult json = Run({"--show", std::to_string(id), "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const QJsonArray a = ParseJsonArray(json.out);
  ASSERT_EQ(a.size(), 1);
  const QJsonObject o = a.at(0).toObject();
  EXPECT_EQ(o["id"].toInteger(), id);
  EXPECT_EQ(o["block"].toString().size(), 512);
  EXPECT_EQ(o["block"].toString().left(2), "a6");
  EXPECT_EQ(o["log"].toArray().size(), 4);
}

TEST_F(HistoryCli, RefusalsAndExitCodes) {
  Add("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{"--show", "99"}, 1, "no record 99"},
      {{"--show", "x1"}, 2, "--show needs a record number"},
      {{"--show", "0"}, 2, "--show needs a record number"},
      {{"--show", "1", "--failed"}, 2, "--show takes no filter"},
      {{"--since", "2026-13-01"}, 2, "--since takes a UTC date"},
      {{"--since"}, 2, "--since needs a value"},
      {{"--target", "a", "--target", "b"}, 2, "given twice"},
      {{"--json", "--csv"}, 2, "exclude each other"},
      {{"--verbose"}, 2, "unknown option --verbose"},
      {{"extra"}, 2, "unexpected argument extra"},
  };
  for (const Case& c : cases) {
    const ProcessResult p = Run(c.args);
    EXPECT_EQ(p.status, c.status) << ::testing::PrintToString(c.args) << p.err;
    EXPECT_NE(p.err.find(c.message), std::string::npos) << p.err;
    EXPECT_TRUE(p.out.empty()) << p.out;
  }
}

TEST_F(HistoryCli, NoDatabaseAndANewerOne) {
  const ProcessResult none = Run({"--json"});
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, "[]\n");
  EXPECT_FALSE(facset::testing::FileExists(DbPath()));  // reading never creates it

  Add("2026-12-10T04:00:00.000Z", "127.0.0.2", "ok");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const ProcessResult newer = Run({});
  EXPECT_EQ(newer.status, 1);
  EXPECT_NE(newer.err.find("newer program"), std::string::npos) << newer.err;
}
