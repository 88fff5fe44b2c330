#include "ui/qt_text.h"

#include "platform/codepage.h"
#include "res/strings.h"

QString FromSystemText(const std::string& text) {
  return QString::fromStdU16String(MultiByteToWide(text));
}

std::string ToSystemText(const QString& text) {
  return WideToMultiByte(text.toStdU16String());
}

QString ResourceText(int id) {
  return FromSystemText(LoadResString(id));
}
