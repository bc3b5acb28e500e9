// The windows bench/cpu.sh and bench/remote.sh compare. "panel": the test panel on one simulated
// board, connected through its buttons, with the test pattern running, so that it polls and
// repaints lamps every 100 ms as an operator would see it. "bare": a window of the same size whose
// 100 ms timer does nothing, the least any polling Qt window costs. "idle": the panel connected to
// the simulated board, polling, the pattern off; "remote URL": the same on the one board behind
// the bridges of the broker at URL.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <string>

#include <memory>

#include "d2xx/SimDriver.h"
#include "mqtt/MqttDriver.h"
#include "panel/frmTest.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode != "panel" && mode != "bare" && mode != "idle" && !(mode == "remote" && argc > 2)) {
        std::fprintf(stderr, "usage: poll_window panel|bare|idle|remote URL\n");
        return 2;
    }
    if (mode == "bare") {
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
    std::unique_ptr<kmqtt::MqttDriver> remote;
    if (mode == "remote") {
        auto where = kmqtt::ParseRemote(argv[2], "", "", "poll-window");
        if (const auto* why = std::get_if<std::string>(&where)) {
            std::fprintf(stderr, "poll_window: %s\n", why->c_str());
            return 2;
        }
        remote = std::make_unique<kmqtt::MqttDriver>(std::get<kmqtt::Remote>(where));
        if (const auto why = remote->Start()) {
            std::fprintf(stderr, "poll_window: %s\n", why->c_str());
            return 1;
        }
    }
    frmTest panel(remote ? static_cast<d2xx::Driver&>(*remote) : sim);
    panel.show();
    for (const char* name : {"cmdReadSerial", "cmdSerialConnect", "cmdTest"})
        if (mode == "panel" || name != std::string("cmdTest"))
            panel.findChild<QPushButton*>(QLatin1String(name))->click();
    if (panel.TestMode() != (mode == "panel") ||
        !panel.findChild<QPushButton*>(QStringLiteral("cmdTest"))->isEnabled()) {
        std::fprintf(stderr, "poll_window: the panel did not connect\n");
        return 1;
    }
    return app.exec();
}
