// The window tests' main: one QApplication for the whole program, offscreen
// unless chosen otherwise.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  const QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
