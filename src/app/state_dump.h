#pragma once
// A state dump for the end-to-end tests, which drive the real window with real
// X input: with FACSET_STATE_DUMP=<file> set, every SIGUSR1 writes what the
// window shows (block, Modified, focus, modal box, each named control with its
// screen geometry and text) into that file, replaced atomically. Unset, nothing
// is installed.

namespace facset {

class TMainForm;

void InstallStateDump(TMainForm& form);

}  // namespace facset
