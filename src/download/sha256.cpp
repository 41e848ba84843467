#include "download/sha256.h"

#include <QByteArrayView>
#include <QCryptographicHash>

namespace facset {

std::string Sha256Hex(const void* data, std::size_t size) {
  return QCryptographicHash::hash(QByteArrayView(static_cast<const char*>(data), static_cast<qsizetype>(size)),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

}  // namespace facset
