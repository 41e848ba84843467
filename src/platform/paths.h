#pragma once
#include <functional>
#include <stdexcept>
#include <string>

namespace facset {

// Directory of the running program, with its trailing "/".
std::string ExecutableDir();

// Raised when the tool has no folder of its own for its files; the message says
// why and what to do.
class EFilesDir : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The folder the tool keeps its files in (facconfig.ini, the language file,
// DEBUG.LOG, the records database), with its trailing "/":
//   FACSET_HOME when set and not empty;
//   else the program's own folder when the program is not installed (a folder
//   named bin or sbin, or the build's install folder, never serves) and this
//   user may write there: the portable layout;
//   else $XDG_CONFIG_HOME/facset, or $HOME/.config/facset when that is unset or
//   relative; without HOME either, there is none.
// The folder is created when missing (mode 0700) and must be this user's: owned
// by them and not writable by group or others unless sticky. Resolved once per
// process; throws EFilesDir when there is no such folder.
std::string FilesDir();

// The rule of FilesDir() without side effects, for callers that must not create
// anything and for tests. `env` returns nullptr for an unset variable;
// `writable` tells whether this user may create files in a directory.
struct FilesDirInputs {
  std::string exeDir;
  std::function<const char*(const char*)> env;
  std::function<bool(const std::string&)> writable;
  std::string cwd;  // makes a relative FACSET_HOME absolute
  std::string installBinDir;  // where the build installs its programs
};
// Throws EFilesDir when neither FACSET_HOME, the program's folder, an absolute
// XDG_CONFIG_HOME nor HOME gives a folder.
std::string ResolveFilesDir(const FilesDirInputs& in);

// True for the folder of an installed program, which never keeps files beside
// itself: one named bin or sbin (/usr/bin, /usr/local/bin, ~/bin, <prefix>/bin)
// or `installBinDir`.
bool IsInstalledProgramDir(const std::string& exeDir, const std::string& installBinDir);

// "" when `dir` is a folder this user owns that no one else may write to (group
// or others may only with the sticky bit), else why not, for the files folder.
std::string CheckOwnFolder(const std::string& dir);

// Creates `dir` and its missing parents (mode 0700, as the tool's own folder is
// private to its user). Empty on success, else why not: "cannot create PATH: reason".
std::string MakeDirs(const std::string& dir);

// For tests: make FilesDir() return `dir` (a trailing "/" is added, nothing is
// checked); "" restores.
void OverrideFilesDir(const std::string& dir);

}  // namespace facset
