// kelvorn-panel: the test panel on the boards attached to this machine.
#include <QApplication>

#include "d2xx/LibftdiDriver.h"
#include "panel/frmTest.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    d2xx::LibftdiDriver driver;
    frmTest panel(driver);
    panel.show();
    return app.exec();
}
