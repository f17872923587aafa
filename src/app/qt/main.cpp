// Program entry of the window: the application object, the main window
// FVantroUpdate and its start-up, then Qt's event loop until the window closes.

#include <QApplication>
#include <QTimer>

#include "app/HostSystem.h"
#include "app/qt/ComMainForm.h"
#include "app/qt/QtEventLoop.h"

namespace {

// Development aid: with MX_SCREENSHOT=file.png the window saves a picture of
// itself shortly after it is shown and the program ends.
void ScreenshotOnRequest(QWidget& window) {
  const QString path = qEnvironmentVariable("MX_SCREENSHOT");
  if (path.isEmpty()) return;
  QTimer::singleShot(500, &window, [&window, path] {
    window.grab().save(path);
    QCoreApplication::exit(0);
  });
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  mx::SetUpApplication();

  mx::QtEventLoop loop;
  mx::FormServices services;
  // A fatal connect error ends the program by its default name
  // "mx_7410Update.exe": Windows lists it so, and on Linux it also matches
  // the executable "mx_7410Update".
  services.settingsDirectory = mx::SettingsDirectory();
  mx::TFVantroUpdate FVantroUpdate(loop, std::move(services));
  try {
    FVantroUpdate.Form().FormCreate();
  } catch (const mx::UpdaterForm::OperationAborted&) {
    // A failed port listing ends start-up silently; the window opens as it is.
  }
  FVantroUpdate.ShowCentred();
  ScreenshotOnRequest(FVantroUpdate);
  return QApplication::exec();
}
