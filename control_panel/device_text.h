#pragma once
// Text from a device or the user as one plain line, safe for the message pane and the console:
// nothing in it can start a new entry, be taken for another line or drive a terminal.
#include <string>

#include <QString>

// The line in the two forms it is shown in.
struct CleanText {
  std::string console;  // UTF-8, for the console logger
  QString pane;         // for the message pane
};

// Tab, line feed and carriage return show as a blank; every other control character (C0, DEL,
// C1), the line and paragraph separators, the text document's frame markers (which would start
// a new entry) and the object replacement character show as the replacement character.
QString OneLine(QString text);

// The same for UTF-8 text: a byte sequence that is not UTF-8 also shows as the replacement
// character. Printable ASCII, the common case, is taken as it is.
CleanText CleanLine(const std::string& text);
