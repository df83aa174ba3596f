#include "device_text.h"

#include <utility>

namespace {

// Printable ASCII needs no cleaning (the common case, and cheap to check).
bool PrintableAscii(const std::string& text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

}  // namespace

QString OneLine(QString text) {
  for (QChar& c : text) {
    const ushort u = c.unicode();
    if (u == '\t' || u == '\n' || u == '\r') {
      c = QLatin1Char(' ');
    } else if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == QChar::LineSeparator ||
               u == QChar::ParagraphSeparator || u == 0xfdd0 || u == 0xfdd1 ||
               u == QChar::ObjectReplacementCharacter) {
      c = QChar::ReplacementCharacter;
    }
  }
  return text;
}

CleanText CleanLine(const std::string& text) {
  if (PrintableAscii(text)) {
    return {text, QString::fromLatin1(text.data(), static_cast<int>(text.size()))};
  }
  QString pane = OneLine(QString::fromStdString(text));
  std::string console = pane.toStdString();
  return {std::move(console), std::move(pane)};
}
