// The window's forwarding against a real PostgreSQL: after each download's
// record the window sends in the background, never waiting; the status line
// says what waits; an outage leaves records waiting until the next download.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QWidget>

#include "app/ui_text.h"
#include "app/window_records.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "station_fixture.h"

namespace facset {
namespace {

using testing::FactoryDatabase;
using testing::FillStation;
using testing::PgValue;
using testing::SharedPgServer;
using testing::TempDir;
using testing::Waiting;
using testing::WriteFileBytes;

// Runs the event loop until `done` or 30 s.
template <typename Pred>
bool Spin(Pred done) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

TEST(WindowForward, SendsAfterEachRecordAndSaysWhatWaits) {
  const std::string db = FactoryDatabase("window");
  TempDir station;
  OverrideFilesDir(station.path());
  WriteFileBytes(station / "facconfig.ini", "[records]\r\nurl=" + db + "\r\n");
  FillStation(station.path(), "line-w", 2);  // left waiting by an earlier session

  QWidget window;
  QLabel status;
  auto* records = new WindowRecords(&status, &window);
  // The start sends what an earlier session left.
  ASSERT_TRUE(Spin([&] { return !records->Forwarding(); }));
  EXPECT_EQ(PgValue(db, "SELECT count(*) FROM facset.records"), "2");
  EXPECT_EQ(status.text(), ToQ(LangText("sRecordsAllSent")));

  // The server goes down: a download's record waits, the line says so.
  SharedPgServer().Stop();
  FillStation(station.path(), "line-w", 1, 10);
  records->RecordAppended();
  EXPECT_TRUE(records->Forwarding()) << "the window must not wait for the sending";
  ASSERT_TRUE(Spin([&] { return !records->Forwarding(); }));
  EXPECT_EQ(Waiting(station.path()), 1);
  EXPECT_EQ(status.text(), ToQ(FormatCatalog(LangText("sRecordsWaiting"), {1})));
  EXPECT_NE(status.toolTip().toStdString().find("factory database"), std::string::npos)
      << status.toolTip().toStdString();

  // Back up: the next download's forwarding takes both.
  SharedPgServer().Start();
  FillStation(station.path(), "line-w", 1, 20);
  records->RecordAppended();
  ASSERT_TRUE(Spin([&] { return !records->Forwarding(); }));
  EXPECT_EQ(PgValue(db, "SELECT count(*) FROM facset.records"), "4");
  EXPECT_EQ(status.text(), ToQ(LangText("sRecordsAllSent")));
  OverrideFilesDir("");
}

}  // namespace
}  // namespace facset

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
