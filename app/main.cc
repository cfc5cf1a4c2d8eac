#include "app/updater_app.h"

int main(int argc, char** argv) {
  tevra::UpdaterApp app(argc, argv);
  if (!app.InitInstance()) {
    return 0;
  }
  return QApplication::exec();
}
