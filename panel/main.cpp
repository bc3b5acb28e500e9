// kelvorn-panel: the test panel on the boards attached to this machine.
#include <QApplication>

#include "d2xx/LibftdiDriver.h"
#include "panel/CommandLine.h"
#include "panel/frmTest.h"

int main(int argc, char** argv) {
    if (const auto status = commandline::Handle(
            argc, argv, "kelvorn-panel",
            "The test panel for the Kelvorn USB I/O boards attached to this machine."))
        return *status;
    QApplication app(argc, argv);
    d2xx::LibftdiDriver driver;
    frmTest panel(driver);
    panel.show();
    return app.exec();
}
