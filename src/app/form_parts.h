#pragma once
// Pieces the window's source files share: fonts, caption line breaks, the
// key-filter tags of the fields. Private to src/app.

#include <QFont>
#include <QString>

class QComboBox;

namespace facset::form {

QFont ArialFont(int pixels);
QFont ArialPoints(int points);
// "宋体": its Latin half is fixed-pitch, which the set-value view relies on.
QFont SongFont(int pixels);

// Line breaks of a caption: CR LF, CR and LF all break the line.
QString CaptionLines(QString s);

// Selects `index` (or nothing when it is out of range) without change handlers.
void SelectQuietly(QComboBox* c, int index);

// Dynamic property naming the key filter of a field.
inline constexpr const char* kKeyFilterProp = "facsetKeyFilter";
enum KeyFilter { kNoFilter = 0, kDigits = 1, kAscii = 2, kGravity = 3, kTypingLimit = 4 };

// The firmware path takes at most this many typed characters; a longer path
// loaded from a file or chosen in the dialog is kept whole, so saving never
// cuts it.
inline constexpr int kFirmwarePathTypingLimit = 255;

class SuspendFlag {
 public:
  explicit SuspendFlag(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
  ~SuspendFlag() { flag_ = saved_; }
  SuspendFlag(const SuspendFlag&) = delete;
  SuspendFlag& operator=(const SuspendFlag&) = delete;

 private:
  bool& flag_;
  bool saved_;
};

}  // namespace facset::form
