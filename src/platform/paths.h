#pragma once
#include <functional>
#include <string>

namespace facset {

// Directory of the running program, with its trailing "/".
std::string ExecutableDir();

// The folder the tool keeps its files in (facconfig.ini, the language file,
// DEBUG.LOG), with its trailing "/":
//   FACSET_HOME when set and not empty;
//   else the executable's directory when this user may write there (the portable layout);
//   else $XDG_CONFIG_HOME/facset, or ~/.config/facset when that is unset or relative.
// The folder is created when missing. Resolved once per process.
std::string FilesDir();

// The rule of FilesDir() without side effects, for callers that must not create
// anything and for tests. `env` returns nullptr for an unset variable;
// `writable` tells whether this user may create files in a directory.
struct FilesDirInputs {
  std::string exeDir;
  std::function<const char*(const char*)> env;
  std::function<bool(const std::string&)> writable;
  std::string cwd;  // makes a relative FACSET_HOME absolute
  std::string passwdHome;  // home directory from the user database, used when HOME is unset
};
std::string ResolveFilesDir(const FilesDirInputs& in);

// Creates `dir` and its missing parents (mode 0700, as the tool's own folder is
// private to its user). Empty on success, else why not: "cannot create PATH: reason".
std::string MakeDirs(const std::string& dir);

// For tests: make FilesDir() return `dir` (a trailing "/" is added); "" restores.
void OverrideFilesDir(const std::string& dir);

}  // namespace facset
