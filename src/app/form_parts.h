#pragma once
// Pieces the window's source files share: fonts, caption line breaks, the
// key-filter tags of the fields. Private to src/app.

#include <QFont>
#include <QString>
#include <string_view>

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

// Dynamic property of a generated text field: the text it showed last.
inline constexpr const char* kShownTextProp = "facsetShownText";

// Dynamic property naming the key filter of a field.
inline constexpr const char* kKeyFilterProp = "facsetKeyFilter";
// kChoices: the drop-down of a two-choice list, where only printable
// characters other than digits are dropped (Enter and Escape still close it).
enum KeyFilter { kNoFilter = 0, kDigits = 1, kAscii = 2, kGravity = 3, kTypingLimit = 4, kChoices = 5 };

// Text that arrived without key presses (a paste, a drop, a middle click)
// passes the same rule as typed keys: the part of `after` that is new against
// `before` keeps only the characters `filter` lets through. Characters the
// field cannot store (U+FFFD, shown for bytes that are not GBK) go everywhere,
// so the field shows what will be stored. `cursor` gets the position just
// after the kept part of the new text.
QString KeepAllowed(const QString& before, const QString& after, KeyFilter filter, int* cursor = nullptr);

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
