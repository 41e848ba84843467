// Appends COUNT records with target TAG to the database in FOLDER, as a
// download process would; the tests run several at once.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/records.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: records_appender FOLDER COUNT TAG\n");
    return 2;
  }
  const int count = std::atoi(argv[2]);
  for (int i = 0; i < count; ++i) {
    facset::DownloadRecord r;
    r.startUtc = facset::UtcNowIso();
    r.endUtc = r.startUtc;
    r.program = "records_appender";
    r.target = argv[3];
    r.log = {std::string(argv[3]) + " " + std::to_string(i)};
    const facset::AppendResult a = facset::AppendRecord(argv[1], r);
    if (!a) {
      std::fprintf(stderr, "error %d %s\n", static_cast<int>(a.error->code), a.error->reason.c_str());
      return 3;
    }
  }
  return 0;
}
