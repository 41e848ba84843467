// A shift in one window: N downloads (default 500) from the real window,
// clicked through its download button, UDP and serial alternating, every
// tenth with a firmware image, against one scale-sim. Every run is checked
// against what the scale stored and what the station database recorded;
// resident memory and open file descriptors after the last run are compared
// with their values after the tenth.
//
//   QT_QPA_PLATFORM=offscreen build/bench/app/facset_shift_bench [runs]
//
// Exit status 1 when a run is wrong or the growth is past 5 MB or 0 fds.

#include <dirent.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/form_widgets.h"
#include "app/main_form.h"
#include "app/window_download.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "protocol/scale_link.h"
#include "records/records.h"
#include "support/scripted_dialogs.h"
#include "support/sim_process.h"

using namespace facset;

namespace {

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int OpenFds() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    --n;  // the directory stream itself
  }
  return n;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 500;
  testing::SimProcess sim({}, true);
  testing::TempDir dir;
  OverrideFilesDir(dir.path());
  std::string image(8192 + 256 * 48, '\0');  // 48 blocks sent
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 3);
  std::ofstream(dir.file("image.hex"), std::ios::binary) << image;
  std::ofstream(dir.file("facconfig.ini"), std::ios::binary)
      << "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n[port]\r\nip=127.0.0.1\r\ncom=1\r\nuse com=0\r\n"
      << "[factory]\r\nIsDownkDownProg=0\r\nbinFilePath=" << dir.file("image.hex") << "\r\n[serial]\r\nCOM1="
      << sim.ptyPath() << "\r\n";
  CreateScaleComm();
  OverrideLinkUdpPort(sim.udpPort());
  ConfigStartup();
  ScriptedDialogs dialogs;  // the save question: No
  int wrong = 0;
  long rss10 = 0;
  int fds10 = 0;
  std::vector<std::string> sentBlocks;
  const auto start = std::chrono::steady_clock::now();
  {
    TMainForm form(QStringList{});
    form.SetDownloadHandler(WindowDownload);
    form.show();
    for (int run = 1; run <= runs; ++run) {
      const bool serial = run % 2 == 0;
      const bool firmware = run % 10 == 0;
      form.chkUseCom->setChecked(serial);
      form.ChkDownProg->setChecked(firmware);
      form.cbb1->setCurrentIndex(run % 5);  // each run its own block
      form.cbb2->setCurrentIndex(run / 5 % 5);
      form.lstMsg->clear();
      form.btnDownload->click();
      const ParamBlock& b = form.Params().Block;
      const std::string block(reinterpret_cast<const char*>(b.data()), b.size());
      sentBlocks.push_back(block);
      const QString log = form.lstMsg->toPlainText();
      bool ok = ReadAll(sim.paramFile()) == block && log.contains(" set ok ! ");
      if (firmware) {
        ok = ok && log.contains("Update completed") &&
             ReadAll(sim.firmwareFile()).substr(32 * 256, image.size() - 32 * 256 - 2) ==
                 image.substr(32 * 256, image.size() - 32 * 256 - 2);
      }
      if (!ok) {
        ++wrong;
        std::fprintf(stderr, "run %d (%s%s) wrong:\n%s\n", run, serial ? "serial" : "udp",
                     firmware ? ", firmware" : "", log.toUtf8().constData());
      }
      if (run == 10) {
        rss10 = ResidentKb();
        fds10 = OpenFds();
      }
    }
    // Every record right: one per run, in order, each with the block the
    // scale got, its transport and the firmware's outcome.
    const ReadResult r = ReadRecords(dir.path());
    if (!r || r.records.size() != static_cast<std::size_t>(runs)) {
      ++wrong;
      std::fprintf(stderr, "%zu records for %d runs\n", r.records.size(), runs);
    } else {
      for (int run = 1; run <= runs; ++run) {
        const DownloadRecord& rec = r.records[static_cast<std::size_t>(runs - run)];  // newest first
        const bool serial = run % 2 == 0;
        const bool firmware = run % 10 == 0;
        const bool right =
            rec.block && std::string(reinterpret_cast<const char*>(rec.block->data()), rec.block->size()) ==
                             sentBlocks[static_cast<std::size_t>(run - 1)] &&
            rec.outcome == RunOutcome::Ok && rec.transport == (serial ? "serial" : "udp") &&
            (firmware ? rec.blocksSent == 48 && rec.firmwareOutcome != StepOutcome::NotAsked
                      : rec.firmwareOutcome == StepOutcome::NotAsked);
        if (!right) {
          ++wrong;
          std::fprintf(stderr, "record of run %d wrong: %s %s %s\n", run, rec.transport.c_str(),
                       std::string(Spell(rec.outcome)).c_str(), std::string(Spell(rec.firmwareOutcome)).c_str());
        }
      }
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long rssEnd = ResidentKb();
  const int fdsEnd = OpenFds();
  std::printf("%d downloads (udp/serial alternating, every tenth with a 48-block image) in %.1f s, %d wrong\n", runs,
              secs, wrong);
  std::printf("resident memory after run 10: %ld kB, after run %d: %ld kB (%+ld kB)\n", rss10, runs, rssEnd,
              rssEnd - rss10);
  std::printf("open fds after run 10: %d, after run %d: %d (%+d)\n", fds10, runs, fdsEnd, fdsEnd - fds10);
  LangShutdown();
  CloseToolConfig();
  DestroyScaleComm();
  OverrideFilesDir("");
  const bool grew = rssEnd - rss10 > 5 * 1024 || fdsEnd != fds10;
  return wrong == 0 && !grew ? 0 : 1;
}
