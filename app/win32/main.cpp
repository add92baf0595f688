#include "app/win32/IrisDeskApp.h"
#include "shell/win32/Win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  irisdesk::CIrisDeskApp app;
  return app.Run();
}
