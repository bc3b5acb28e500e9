// kelvorn-panel: the test panel on the boards attached to this machine.
#include <QApplication>

#include "d2xx/LibftdiDriver.h"
#include "panel/CommandLine.h"
#include "panel/frmTest.h"

int main(int argc, char** argv) {
    const bool display = commandline::PrepareDisplay(argc, argv, "kelvorn-panel");
    QApplication app(argc, argv);
    if (const auto status = commandline::Handle(
            display, "The test panel for the Kelvorn USB I/O boards attached to this machine."))
        return *status;
    d2xx::LibftdiDriver driver;
    frmTest panel(driver);
    panel.show();
    return app.exec();
}
