#pragma once
// The window's download command: the shared download procedure with the
// window as its host (log lines into lstMsg, the save question, the port
// list). Installed as the window's download handler at start-up.

#include "download/download.h"

namespace facset {

class TMainForm;

// btnDownloadClick. btnDownload is disabled for the run; a press while a run
// is active does nothing. Closing the window during a run aborts it, releases
// the port and then asks the close question as usual.
void WindowDownload(TMainForm& form);
// The same with the run's options (its line, the lock wait): tests hand a
// scripted line.
void WindowDownloadWith(TMainForm& form, const RunOptions& options);

}  // namespace facset
