// Runs the window tests inside one QApplication on the offscreen platform (no display needed).
#include <QApplication>

#include <gtest/gtest.h>

#include <clocale>

#include "platform/codepage.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::setlocale(LC_ALL, "");
  RefreshSystemCodePage();
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
