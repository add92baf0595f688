#include "app/qt/IrisDeskApp.h"

int main(int argc, char** argv) {
  irisdesk::CIrisDeskApp app;
  return app.Run(argc, argv);
}
