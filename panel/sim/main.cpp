// kelvorn-panel-sim: the test panel on simulated boards, next to the virtual board that shows
// and drives them.
#include <QApplication>

#include "d2xx/SimDriver.h"
#include "panel/CommandLine.h"
#include "panel/frmTest.h"
#include "panel/sim/frmVirtualBoard.h"

int main(int argc, char** argv) {
    const bool display = commandline::PrepareDisplay(argc, argv, "kelvorn-panel-sim");
    QApplication app(argc, argv);
    if (const auto status = commandline::Handle(
            display, "The Kelvorn test panel on simulated boards, next to a virtual board."))
        return *status;
    d2xx::SimDriver sim;
    frmVirtualBoard board(sim);
    frmTest panel(sim);
    panel.show();
    board.ShowBeside(panel);
    return app.exec();
}
