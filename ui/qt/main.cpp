// VantorTool: the application object and the program's start.
#include <QApplication>
#include <QGuiApplication>

#include "VantorToolWindow.h"

namespace vantor::qt {

// The application: its name (the executable's name, "VantorTool") is the
// caption of its message boxes; it shows the main window modally and ends
// when the window closes. Nothing is stored on the way out.
class CVantorToolApp : public QApplication {
 public:
  CVantorToolApp(int& argc, char** argv) : QApplication(argc, argv) {
    setWindowIcon(AppIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("vantortool"));
  }

  int InitInstance() {
    VantorToolWindow window;
    window.exec();
    return 0;
  }
};

}  // namespace vantor::qt

int main(int argc, char** argv) {
  vantor::qt::CVantorToolApp app(argc, argv);
  return app.InitInstance();
}
