// The two windows bench/cpu.sh compares. "panel": the test panel on one simulated board, connected
// through its buttons, with the test pattern running, so that it polls and repaints lamps every
// 100 ms as an operator would see it. "bare": a window of the same size whose 100 ms timer does
// nothing, the least any polling Qt window costs.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "d2xx/SimDriver.h"
#include "panel/frmTest.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool panelMode = argc > 1 && QByteArray(argv[1]) == "panel";
    if (!panelMode && !(argc > 1 && QByteArray(argv[1]) == "bare")) {
        std::fprintf(stderr, "usage: poll_window panel|bare\n");
        return 2;
    }
    if (!panelMode) {
        QWidget window;
        window.setWindowTitle(QStringLiteral("bare-poll"));
        window.resize(477, 174);  // the panel's size with Qt's default font
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [] {});
        tick.start(100);
        window.show();
        return app.exec();
    }
    d2xx::SimDriver sim;
    sim.Add({"A1B2C3", "Kelvorn"});
    frmTest panel(sim);
    panel.show();
    for (const char* name : {"cmdReadSerial", "cmdSerialConnect", "cmdTest"})
        panel.findChild<QPushButton*>(QLatin1String(name))->click();
    if (!panel.TestMode() || sim.OpenHandles() != 1) {
        std::fprintf(stderr, "poll_window: the pattern did not start\n");
        return 1;
    }
    return app.exec();
}
